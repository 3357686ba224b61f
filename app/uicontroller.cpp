#include "app/uicontroller.h"

#include "api/api.h"
#include "app/loginwidget.h"
#include "app/mainwindow.h"
#include "gui/noticebox.h"
#include "storage/ossapi.h"

#include <QCoreApplication>

UIController::UIController(QObject *parent)
    : QObject(parent)
    , api(new Api)
    , ossApi(new OSSApi)
    , loginWidget(new LoginWidget(api))
    , mainWindow(new MainWindow(api, ossApi))
{
    connect(api, &Api::serverError, this, &UIController::serverError);
    connect(api, &Api::versionError, this, &UIController::versionError);
    connect(api, &Api::tokenError, this, &UIController::tokenError);
    connect(api, &Api::notExistsAccount, this, &UIController::notExistsAccount);
    connect(api, &Api::notMatchPassword, this, &UIController::notMatchPassword);
    connect(api, &Api::notExistsTicket, this, &UIController::notExistsTicket);
    connect(api, &Api::ticketTimeout, this, &UIController::ticketTimeout);
    connect(api, &Api::successLogin, this, &UIController::successLogin);
    connect(mainWindow, &MainWindow::changeUser, this, &UIController::changeUser);
}

UIController::~UIController()
{
    // The windows first: the pages' runs call off their requests through the
    // clients as they go.
    delete mainWindow;
    delete loginWidget;
    delete api;
    delete ossApi;
}

void UIController::start()
{
    loginWidget->show();
}

void UIController::showMessage(const QString &text, std::function<void()> afterClose)
{
    // Never blocks: replies keep being handled while the box is open, and a
    // failure that repeats while it is open adds no second box.
    NoticeBox::show(text, this, std::move(afterClose));
}

void UIController::showLogin()
{
    mainWindow->hide();
    loginWidget->show();
}

void UIController::successLogin()
{
    loginWidget->hide();
    mainWindow->show();
}

void UIController::ticketTimeout()
{
    showMessage(tr("下载编号失效"));
}

void UIController::notExistsTicket()
{
    showMessage(tr("下载编号不存在"));
}

void UIController::notMatchPassword()
{
    showMessage(tr("密码不正确"));
}

void UIController::notExistsAccount()
{
    showMessage(tr("账号不存在"));
}

void UIController::tokenError()
{
    showMessage(tr("登陆超时"), [this] { showLogin(); });
}

void UIController::versionError()
{
    showMessage(tr("系统已经升级，请下载最新版本"), [this] {
        mainWindow->hide();
        loginWidget->hide();
        // With no window left the member has no way to end the program: end it here.
        QCoreApplication::quit();
    });
}

void UIController::serverError()
{
    showMessage(tr("网络连接错误或服务器异常"));
}

void UIController::changeUser()
{
    showLogin();
}
