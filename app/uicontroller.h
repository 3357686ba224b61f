#pragma once

#include <QObject>

#include <functional>

class Api;
class LoginWidget;
class MainWindow;
class OSSApi;

// Creates and owns the long-lived objects, decides which window is visible and
// turns each failure reported by the site client into a message box that
// never blocks: the window change that goes with a failure happens when the
// member closes its box.
class UIController : public QObject
{
    Q_OBJECT

public:
    explicit UIController(QObject *parent = nullptr);
    ~UIController() override;

    void start();

public Q_SLOTS:
    void successLogin();
    void ticketTimeout();
    void notExistsTicket();
    void notMatchPassword();
    void notExistsAccount();
    void tokenError();
    void versionError();
    void serverError();
    void changeUser();

private:
    void showLogin();
    void showMessage(const QString &text, std::function<void()> afterClose = {});

    Api *api;
    OSSApi *ossApi;
    LoginWidget *loginWidget;
    MainWindow *mainWindow;
};
