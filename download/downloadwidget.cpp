#include "download/downloadwidget.h"

DownloadWidget::DownloadWidget(Api *, OSSApi *, QWidget *parent) : QWidget(parent) {}
