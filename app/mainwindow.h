#pragma once

#include <QMainWindow>

class Api;
class DownloadWidget;
class OSSApi;
class QAction;
class QTabWidget;
class Upload2Widget;

// The frame a logged-in member works in: a switch-account toolbar above the
// upload and download pages. It owns its tab widget and both pages, not the
// clients it hands to them.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    MainWindow(Api *api, OSSApi *ossApi, QWidget *parent = nullptr);
    ~MainWindow() override;

Q_SIGNALS:
    void changeUser();

public Q_SLOTS:
    void clickAction(QAction *action);

private:
    QTabWidget *tabWidget;
    Upload2Widget *uploadWidget;
    DownloadWidget *downloadWidget;
    Api *api;
    OSSApi *ossApi;
};
