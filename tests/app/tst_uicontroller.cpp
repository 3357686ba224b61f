#include "app/loginwidget.h"
#include "app/mainwindow.h"
#include "app/uicontroller.h"
#include "apptesthelpers.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/upload2widget.h"
#include "upload/uploadrun.h"
#include "messagecatcher.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QBuffer>
#include <QImage>
#include <QLineEdit>
#include <QPushButton>
#include <QSqlQuery>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolBar>
#include <QToolButton>

#include <memory>

namespace {

const QByteArray LOGIN_OK = "code=0000&token=tok";
// Ends a test's own run of the application event loop if the program fails to.
const int GIVE_UP = 42;
const int GIVE_UP_MS = 10000;

enum class Visible { Login, Main, Neither };

Visible visibleWindow()
{
    const bool login = findTopLevel<LoginWidget>(true);
    const bool main = findTopLevel<MainWindow>(true);
    if (login && main)
        qWarning("both windows visible");
    return main ? Visible::Main : login ? Visible::Login : Visible::Neither;
}

} // namespace

Q_DECLARE_METATYPE(Visible)

namespace QTest {
template<>
char *toString(const Visible &visible)
{
    switch (visible) {
    case Visible::Login: return qstrdup("login page");
    case Visible::Main: return qstrdup("main window");
    case Visible::Neither: return qstrdup("no window");
    }
    return nullptr;
}
} // namespace QTest

class TestUIController : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void startShowsOnlyTheLoginPage();
    void reactsToEachLoginOutcome_data();
    void reactsToEachLoginOutcome();
    void versionErrorEndsTheProgramOnceTheBoxIsClosed();
    void twoQuickFailuresOpenTwoBoxes();
    void sameFailureWhileItsBoxIsOpenOpensNoSecondBox();
    void failuresDuringARunShowOneBoxAndTheRunFinishes();
    void closingTheMainWindowEndsTheProgram();
    void successfulAutoLoginShowsTheMainWindowWithoutMessage();
    void loginPageComesBackAsItWas_data();
    void loginPageComesBackAsItWas();

private:
    void startController();
    // Sends a login from the page, as a click would, answered with the given body.
    void loginAnswered(const QByteArray &body, bool dropped = false);
    void logInFirst();

    LoginWidget *loginPage() const { return findTopLevel<LoginWidget>(); }
    MainWindow *mainWindow() const { return findTopLevel<MainWindow>(); }
    QLineEdit *usernameEdit() const;
    QLineEdit *passwordEdit() const;

    QTemporaryDir dataDir;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<UIController> controller;
    QList<ScriptedResponse> answers;
    bool dropEverything = false;
};

void TestUIController::initTestCase()
{
    QVERIFY(dataDir.isValid());
    openDatabase(dataDir.path());
}

void TestUIController::init()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("delete from user")));
    server = std::make_unique<TestHttpServer>();
    answers.clear();
    dropEverything = false;
    server->setHandler([this](const RecordedRequest &) {
        if (dropEverything)
            return ScriptedResponse::dropped();
        return answers.isEmpty() ? ScriptedResponse::ok("code=9999") : answers.takeFirst();
    });
    writeSiteConfig(server->baseUrl());
}

void TestUIController::cleanup()
{
    controller.reset();
    server.reset();
    QVERIFY(visibleMessageBoxes().isEmpty());
}

void TestUIController::startController()
{
    controller = std::make_unique<UIController>();
    controller->start();
    QVERIFY(QTest::qWaitForWindowExposed(loginPage()));
}

QLineEdit *TestUIController::usernameEdit() const
{
    for (QLineEdit *edit : loginPage()->findChildren<QLineEdit *>()) {
        if (edit->echoMode() == QLineEdit::Normal)
            return edit;
    }
    return nullptr;
}

QLineEdit *TestUIController::passwordEdit() const
{
    for (QLineEdit *edit : loginPage()->findChildren<QLineEdit *>()) {
        if (edit->echoMode() == QLineEdit::Password)
            return edit;
    }
    return nullptr;
}

void TestUIController::loginAnswered(const QByteArray &body, bool dropped)
{
    // The network layer resends a request whose connection closed unanswered,
    // so a dropped connection stays dropped.
    dropEverything = dropped;
    answers.append(ScriptedResponse::ok(body));
    // The page may be hidden (main window shown): its slot is what a click runs.
    loginPage()->login();
}

void TestUIController::logInFirst()
{
    loginAnswered(LOGIN_OK);
    QTRY_COMPARE(visibleWindow(), Visible::Main);
}

void TestUIController::startShowsOnlyTheLoginPage()
{
    startController();
    QCOMPARE(visibleWindow(), Visible::Login);
    QVERIFY(!mainWindow()->isVisible());
}

void TestUIController::reactsToEachLoginOutcome_data()
{
    QTest::addColumn<bool>("fromMainWindow");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("dropped");
    QTest::addColumn<QString>("message");
    QTest::addColumn<Visible>("after");

    const QString serverText = QStringLiteral("网络连接错误或服务器异常");
    QTest::newRow("0000 success") << false << LOGIN_OK << false << QString() << Visible::Main;
    QTest::newRow("1004 ticket timeout") << false << QByteArray("code=1004") << false
                                         << QStringLiteral("下载编号失效") << Visible::Login;
    QTest::newRow("1003 no such ticket") << false << QByteArray("code=1003") << false
                                         << QStringLiteral("下载编号不存在") << Visible::Login;
    QTest::newRow("1002 wrong password") << false << QByteArray("code=1002") << false
                                         << QStringLiteral("密码不正确") << Visible::Login;
    QTest::newRow("1001 no such account") << false << QByteArray("code=1001") << false
                                          << QStringLiteral("账号不存在") << Visible::Login;
    QTest::newRow("9001 server fault") << false << QByteArray("code=9001") << false << serverText
                                       << Visible::Login;
    QTest::newRow("connection dropped") << false << QByteArray() << true << serverText << Visible::Login;
    QTest::newRow("empty login reply") << false << QByteArray() << false << serverText << Visible::Login;
    QTest::newRow("1004 on main window") << true << QByteArray("code=1004") << false
                                         << QStringLiteral("下载编号失效") << Visible::Main;
    QTest::newRow("9001 on main window") << true << QByteArray("code=9001") << false << serverText
                                         << Visible::Main;
    QTest::newRow("8002 login expired") << true << QByteArray("code=8002") << false
                                        << QStringLiteral("登陆超时") << Visible::Login;
    QTest::newRow("8002 on login page") << false << QByteArray("code=8002") << false
                                        << QStringLiteral("登陆超时") << Visible::Login;
    QTest::newRow("second success") << true << LOGIN_OK << false << QString() << Visible::Main;
}

void TestUIController::reactsToEachLoginOutcome()
{
    QFETCH(bool, fromMainWindow);
    QFETCH(QByteArray, body);
    QFETCH(bool, dropped);
    QFETCH(QString, message);
    QFETCH(Visible, after);

    startController();
    if (fromMainWindow)
        logInFirst();

    MessageBoxCloser closer;
    loginAnswered(body, dropped);
    if (message.isEmpty()) {
        QTRY_COMPARE(visibleWindow(), after);
        QTRY_COMPARE(server->requestCount(), fromMainWindow ? 2 : 1);
        QVERIFY(closer.seen.isEmpty());
        return;
    }

    QTRY_COMPARE(closer.seen.size(), 1);
    const MessageBoxCloser::Seen &box = closer.seen.first();
    QCOMPARE(box.title, QStringLiteral("提示"));
    QCOMPARE(box.text, message);
    QVERIFY(!box.hasParent);
    QCOMPARE(box.buttonCount, 1);
    QCOMPARE(visibleWindow(), after);
}

void TestUIController::versionErrorEndsTheProgramOnceTheBoxIsClosed()
{
    startController();
    logInFirst();

    MessageBoxCloser closer;
    bool mainVisibleWhileBoxOpen = false;
    QTimer probe;
    connect(&probe, &QTimer::timeout, this, [&] {
        if (!visibleMessageBoxes().isEmpty())
            mainVisibleWhileBoxOpen = mainWindow()->isVisible();
    });
    probe.start(5);

    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, this, [] { QCoreApplication::exit(GIVE_UP); });
    giveUp.start(GIVE_UP_MS);
    QTimer::singleShot(0, this, [&] { loginAnswered("code=8001"); });
    const int result = QCoreApplication::exec();

    QCOMPARE(result, 0);
    QCOMPARE(closer.seen.size(), 1);
    QCOMPARE(closer.seen.first().title, QStringLiteral("提示"));
    QCOMPARE(closer.seen.first().text, QStringLiteral("系统已经升级，请下载最新版本"));
    QVERIFY(mainVisibleWhileBoxOpen);
    QCOMPARE(visibleWindow(), Visible::Neither);
}

void TestUIController::twoQuickFailuresOpenTwoBoxes()
{
    startController();
    MessageBoxCloser closer(2);
    answers.append(ScriptedResponse::ok("code=1001"));
    answers.append(ScriptedResponse::ok("code=1002"));
    loginPage()->login();
    loginPage()->login();

    QTRY_COMPARE(closer.seen.size(), 2);
    QCOMPARE(closer.mostOpenAtOnce, 2);
    QStringList texts{closer.seen.at(0).text, closer.seen.at(1).text};
    texts.sort();
    QCOMPARE(texts, QStringList({QStringLiteral("密码不正确"), QStringLiteral("账号不存在")}));
    QCOMPARE(visibleWindow(), Visible::Login);
}

void TestUIController::sameFailureWhileItsBoxIsOpenOpensNoSecondBox()
{
    startController();
    MessageCatcher replies;
    for (int i = 0; i < 3; ++i)
        answers.append(ScriptedResponse::ok("code=1002"));
    for (int i = 0; i < 3; ++i)
        loginPage()->login();
    // All three replies have been handled; one box stands for them.
    QTRY_COMPARE(replies.messages().count(QStringLiteral("loginReply: \"code=1002\"")), 3);
    QCOMPARE(visibleMessageBoxes().size(), 1);
    QMessageBox *box = visibleMessageBoxes().first();
    QCOMPARE(box->text(), QStringLiteral("密码不正确"));
    QCOMPARE(box->windowTitle(), QStringLiteral("提示"));
    QCOMPARE(box->buttons().size(), 1);

    // Once it is closed, the same failure opens a box again.
    box->buttons().first()->click();
    QTRY_VERIFY(visibleMessageBoxes().isEmpty());
    answers.append(ScriptedResponse::ok("code=1002"));
    loginPage()->login();
    QTRY_COMPARE(visibleMessageBoxes().size(), 1);
    visibleMessageBoxes().first()->buttons().first()->click();
    QTRY_VERIFY(visibleMessageBoxes().isEmpty());
}

void TestUIController::failuresDuringARunShowOneBoxAndTheRunFinishes()
{
    // The storage hosts are reached through the test server as a proxy; every
    // registration is refused with an expired login.
    qputenv("http_proxy", server->baseUrl().toLatin1());
    server->setHandler([](const RecordedRequest &request) {
        if (request.target.startsWith("http://img.zamtu.test/"))
            return ScriptedResponse::withStatus(404);
        if (request.method == "POST" && request.target.startsWith("http://zamtu.oss.zamtu.test"))
            return ScriptedResponse::withStatus(204);
        if (request.target.endsWith("f=login"))
            return ScriptedResponse::ok(LOGIN_OK);
        return ScriptedResponse::ok("code=8002");
    });
    QTemporaryDir pictures;
    QImage image(1500, 600, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray png;
    QBuffer buffer(&png);
    QVERIFY(buffer.open(QIODevice::WriteOnly) && image.save(&buffer, "PNG"));
    const int count = 40;
    for (int i = 0; i < count; ++i) {
        QFile file(pictures.filePath(QStringLiteral("登记%1.png").arg(i)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(png + QByteArray::number(i));
    }

    startController();
    loginPage()->login();
    QTRY_COMPARE(visibleWindow(), Visible::Main);
    auto *page = mainWindow()->findChild<Upload2Widget *>();
    auto *run = page->findChild<UploadRun *>();
    page->findChild<QLineEdit *>(QStringLiteral("folderEdit"))->setText(pictures.path());
    page->clickUpload();

    // The run goes on to its end while the box stays open, and no box piles up.
    QTRY_VERIFY_WITH_TIMEOUT(!run->isRunning(), 20000);
    QCOMPARE(run->counters().total, count);
    QCOMPARE(run->counters().error, count);
    QSqlQuery query;
    query.prepare(QStringLiteral("select count(*) from image where status = :status"));
    query.bindValue(QStringLiteral(":status"), STATUS_REGISTER_FAILED);
    QVERIFY(query.exec());
    QVERIFY(query.next());
    QCOMPARE(query.value(0).toInt(), count);
    QCOMPARE(visibleMessageBoxes().size(), 1);
    QCOMPARE(visibleMessageBoxes().first()->text(), QStringLiteral("登陆超时"));
    // The window change of an expired login comes when its box is closed.
    QCOMPARE(visibleWindow(), Visible::Main);
    visibleMessageBoxes().first()->buttons().first()->click();
    QTRY_COMPARE(visibleWindow(), Visible::Login);
    QVERIFY(visibleMessageBoxes().isEmpty());
    qunsetenv("http_proxy");
}

void TestUIController::closingTheMainWindowEndsTheProgram()
{
    startController();
    logInFirst();

    QTimer giveUp;
    giveUp.setSingleShot(true);
    connect(&giveUp, &QTimer::timeout, this, [] { QCoreApplication::exit(GIVE_UP); });
    giveUp.start(GIVE_UP_MS);
    QTimer::singleShot(0, this, [this] { mainWindow()->close(); });
    QCOMPARE(QCoreApplication::exec(), 0);
    QCOMPARE(visibleWindow(), Visible::Neither);
}

void TestUIController::successfulAutoLoginShowsTheMainWindowWithoutMessage()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("insert into user (username,password) values "
                                      "('alice','5ebe2294ecd0e0f08eab7690d2a6ee69')")));
    answers.append(ScriptedResponse::ok(LOGIN_OK));
    MessageBoxCloser closer;
    controller = std::make_unique<UIController>();
    controller->start();

    QTRY_COMPARE(visibleWindow(), Visible::Main);
    QCOMPARE(server->requestCount(), 1);
    QCOMPARE(server->requests().first().body,
             QByteArray("username=alice&password=5ebe2294ecd0e0f08eab7690d2a6ee69"));
    QVERIFY(closer.seen.isEmpty());
}

void TestUIController::loginPageComesBackAsItWas_data()
{
    QTest::addColumn<bool>("expired");
    QTest::newRow("switch account") << false;
    QTest::newRow("login expired") << true;
}

void TestUIController::loginPageComesBackAsItWas()
{
    QFETCH(bool, expired);

    startController();
    QTest::keyClicks(usernameEdit(), QStringLiteral("alice"));
    QTest::keyClicks(passwordEdit(), QStringLiteral("secret"));
    answers.append(ScriptedResponse::ok(LOGIN_OK));
    QTest::mouseClick(loginPage()->findChild<QPushButton *>(), Qt::LeftButton);
    QTRY_COMPARE(visibleWindow(), Visible::Main);

    auto *tabs = mainWindow()->findChild<QTabWidget *>();
    tabs->setCurrentIndex(1);

    MessageBoxCloser closer;
    if (expired) {
        loginAnswered("code=8002");
        QTRY_COMPARE(closer.seen.size(), 1);
        QCOMPARE(closer.seen.first().text, QStringLiteral("登陆超时"));
    } else {
        QToolBar *bar = mainWindow()->findChild<QToolBar *>();
        QTest::mouseClick(bar->widgetForAction(bar->actions().first()), Qt::LeftButton);
        QVERIFY(closer.seen.isEmpty());
    }
    QCOMPARE(visibleWindow(), Visible::Login);
    QCOMPARE(usernameEdit()->text(), QStringLiteral("alice"));
    QCOMPARE(passwordEdit()->text(), QStringLiteral("secret"));

    // Logging in again brings the main window back as the member left it, and
    // the page does not log in again by itself.
    const int sent = server->requestCount();
    answers.append(ScriptedResponse::ok(LOGIN_OK));
    QTest::mouseClick(loginPage()->findChild<QPushButton *>(), Qt::LeftButton);
    QTRY_COMPARE(visibleWindow(), Visible::Main);
    QCOMPARE(server->requestCount(), sent + 1);
    QCOMPARE(mainWindow()->findChild<QTabWidget *>(), tabs);
    QCOMPARE(tabs->currentIndex(), 1);
}

QTEST_MAIN(TestUIController)
#include "tst_uicontroller.moc"
