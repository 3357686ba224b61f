#pragma once

#include <QObject>

class Api;
class LoginWidget;
class MainWindow;
class OSSApi;

// Creates and owns the long-lived objects, decides which window is visible and
// turns each failure reported by the site client into a message box.
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
    static void showMessage(const QString &text);

    Api *api;
    OSSApi *ossApi;
    LoginWidget *loginWidget;
    MainWindow *mainWindow;
};
