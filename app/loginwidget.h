#pragma once

#include <QWidget>

class Api;
class QLabel;
class QLineEdit;
class QPushButton;

// The login window: user name, password, links to the site's password-recovery
// and sign-up pages. It logs in by itself with the first remembered account as
// the last step of its construction. Outcomes arrive as Api signals, handled by
// the UI controller.
class LoginWidget : public QWidget
{
    Q_OBJECT

public:
    explicit LoginWidget(Api *api, QWidget *parent = nullptr);
    ~LoginWidget() override;

public Q_SLOTS:
    void openUrl(const QString &url);
    void login();

private:
    void autoLogin();

    QLabel *usernameLabel;
    QLineEdit *usernameEdit;
    QLabel *passwordLabel;
    QLineEdit *passwordEdit;
    QLabel *forgotLink;
    QLabel *registerLink;
    QPushButton *loginButton;
    Api *api;
};
