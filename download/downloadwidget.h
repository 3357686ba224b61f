#pragma once

#include <QWidget>

class Api;
class OSSApi;

// Interim page: being built.
class DownloadWidget : public QWidget
{
    Q_OBJECT

public:
    DownloadWidget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
};
