#include "app/loginwidget.h"

#include "api/api.h"
#include "base/config.h"
#include "store/user.h"

#include <QDebug>
#include <QDesktopServices>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QUrl>
#include <QVBoxLayout>

namespace {

const int PAGE_MARGIN = 50;

QHBoxLayout *row(std::initializer_list<QWidget *> widgets)
{
    auto *layout = new QHBoxLayout;
    for (QWidget *widget : widgets) {
        if (widget)
            layout->addWidget(widget);
        else
            layout->addStretch();
    }
    return layout;
}

} // namespace

LoginWidget::LoginWidget(Api *api, QWidget *parent)
    : QWidget(parent)
    , usernameLabel(new QLabel(tr("用户名：")))
    , usernameEdit(new QLineEdit)
    , passwordLabel(new QLabel(tr("密  码：")))
    , passwordEdit(new QLineEdit)
    , forgotLink(nullptr)
    , registerLink(nullptr)
    , loginButton(nullptr)
    , api(api)
{
    passwordEdit->setEchoMode(QLineEdit::Password);
    // The blanks in "密  码：" only approximate the width of "用户名：" in a
    // proportional font: give both labels the wider width so the fields line up.
    const int labelWidth = qMax(usernameLabel->sizeHint().width(), passwordLabel->sizeHint().width());
    usernameLabel->setMinimumWidth(labelWidth);
    passwordLabel->setMinimumWidth(labelWidth);

    const QString domain = readConfig(QStringLiteral("/Server/domain")).toString();
    forgotLink = new QLabel(QStringLiteral("<a href='") + domain
                            + QStringLiteral("/index.php?c=user&f=retrieve'>忘记密码？</a>"));
    registerLink = new QLabel(QStringLiteral("<a href='") + domain
                              + QStringLiteral("/index.php?c=user&f=sign_in'>注册</a>"));
    loginButton = new QPushButton(tr("登录"));

    connect(forgotLink, &QLabel::linkActivated, this, &LoginWidget::openUrl);
    connect(registerLink, &QLabel::linkActivated, this, &LoginWidget::openUrl);
    connect(loginButton, &QPushButton::clicked, this, &LoginWidget::login);

    // A null entry stands for a stretch.
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(PAGE_MARGIN, PAGE_MARGIN, PAGE_MARGIN, PAGE_MARGIN);
    layout->addLayout(row({usernameLabel, usernameEdit}));
    layout->addLayout(row({passwordLabel, passwordEdit}));
    layout->addLayout(row({registerLink, nullptr, forgotLink}));
    layout->addLayout(row({nullptr, loginButton, nullptr}));

    autoLogin();
}

LoginWidget::~LoginWidget()
{
    delete usernameLabel;
    delete usernameEdit;
    delete passwordLabel;
    delete passwordEdit;
    delete forgotLink;
    delete registerLink;
    delete loginButton;
}

void LoginWidget::openUrl(const QString &url)
{
    QDesktopServices::openUrl(QUrl(url));
}

void LoginWidget::login()
{
    api->login(usernameEdit->text(), passwordEdit->text());
}

void LoginWidget::autoLogin()
{
    const QList<User> users = User::selectAll();
    if (users.isEmpty())
        return;
    const User &user = users.first();
    usernameEdit->setText(user.username);
    qDebug() << "start auto login";
    api->loginWithMd5(user.username, user.password);
}
