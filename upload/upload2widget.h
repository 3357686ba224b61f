#pragma once

#include <QWidget>

class Api;
class OSSApi;

// Interim page: being built.
class Upload2Widget : public QWidget
{
    Q_OBJECT

public:
    Upload2Widget(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
};
