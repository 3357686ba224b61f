#include "api/api.h"
#include "app/mainwindow.h"
#include "download/downloadwidget.h"
#include "storage/ossapi.h"
#include "upload/upload2widget.h"

#include <QAction>
#include <QLayout>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

class TestMainWindow : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void hasTitleIconAndFixedSize();
    void showsUploadThenDownloadTab();
    void toolbarSitsInCentralLayoutWithOneTextAction();
    void eachSwitchAccountClickEmitsChangeUserOnce();
    void otherActionsAreIgnored();

private:
    QToolBar *toolBar() const { return window->findChild<QToolBar *>(); }

    Api *api = nullptr;
    OSSApi *ossApi = nullptr;
    MainWindow *window = nullptr;
};

void TestMainWindow::init()
{
    api = new Api;
    ossApi = new OSSApi;
    window = new MainWindow(api, ossApi);
}

void TestMainWindow::cleanup()
{
    delete window;
    delete ossApi;
    delete api;
}

void TestMainWindow::hasTitleIconAndFixedSize()
{
    QCOMPARE(window->windowTitle(), QStringLiteral("Zamtu批量下载工具"));
    QVERIFY(!window->windowIcon().isNull());
    QVERIFY(!window->isVisible());

    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QCOMPARE(window->size(), QSize(800, 600));
    QCOMPARE(window->minimumSize(), QSize(800, 600));
    QCOMPARE(window->maximumSize(), QSize(800, 600));
    window->resize(1024, 768);
    QCOMPARE(window->size(), QSize(800, 600));
}

void TestMainWindow::showsUploadThenDownloadTab()
{
    auto *tabs = window->findChild<QTabWidget *>();
    QVERIFY(tabs);
    QCOMPARE(tabs->count(), 2);
    QCOMPARE(tabs->tabText(0), QStringLiteral("上传图片"));
    QCOMPARE(tabs->tabText(1), QStringLiteral("下载图片"));
    QVERIFY(qobject_cast<Upload2Widget *>(tabs->widget(0)));
    QVERIFY(qobject_cast<DownloadWidget *>(tabs->widget(1)));
    QCOMPARE(tabs->currentIndex(), 0);
    QCOMPARE(tabs->sizePolicy().horizontalPolicy(), QSizePolicy::Expanding);
    QCOMPARE(tabs->sizePolicy().verticalPolicy(), QSizePolicy::Expanding);
}

void TestMainWindow::toolbarSitsInCentralLayoutWithOneTextAction()
{
    QCOMPARE(window->findChildren<QToolBar *>().size(), 1);
    QToolBar *bar = toolBar();
    QCOMPARE(bar->parentWidget(), window->centralWidget());
    QCOMPARE(window->centralWidget()->layout()->indexOf(bar), 0);
    QCOMPARE(window->centralWidget()->layout()->indexOf(window->findChild<QTabWidget *>()), 1);
    QCOMPARE(bar->toolButtonStyle(), Qt::ToolButtonTextOnly);
    QCOMPARE(bar->actions().size(), 1);
    QCOMPARE(bar->actions().first()->text(), QStringLiteral("切换账号"));
}

void TestMainWindow::eachSwitchAccountClickEmitsChangeUserOnce()
{
    window->show();
    QVERIFY(QTest::qWaitForWindowExposed(window));
    QSignalSpy spy(window, &MainWindow::changeUser);
    auto *button = qobject_cast<QToolButton *>(toolBar()->widgetForAction(toolBar()->actions().first()));
    QVERIFY(button);

    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 1);
    QTest::mouseClick(button, Qt::LeftButton);
    QCOMPARE(spy.count(), 2);
}

void TestMainWindow::otherActionsAreIgnored()
{
    QSignalSpy spy(window, &MainWindow::changeUser);
    QAction other(QStringLiteral("切换"));
    window->clickAction(&other);
    QCOMPARE(spy.count(), 0);
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
