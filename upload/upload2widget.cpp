#include "upload/upload2widget.h"

Upload2Widget::Upload2Widget(Api *, OSSApi *, QWidget *parent) : QWidget(parent) {}
