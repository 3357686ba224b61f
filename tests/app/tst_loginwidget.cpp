#include "api/api.h"
#include "app/loginwidget.h"
#include "store/database.h"
#include "store/user.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDesktopServices>
#include <QLabel>
#include <QLayout>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QUrl>

#include <memory>

namespace {

QByteArray md5Hex(const QString &text)
{
    return QCryptographicHash::hash(text.toUtf8(), QCryptographicHash::Md5).toHex();
}

// The href of the only link in a rich-text label, as the label's own parser reads it.
QString linkTarget(const QLabel *label)
{
    QTextDocument document;
    document.setHtml(label->text());
    for (QTextBlock block = document.begin(); block.isValid(); block = block.next()) {
        for (auto it = block.begin(); !it.atEnd(); ++it) {
            const QTextCharFormat format = it.fragment().charFormat();
            if (format.isAnchor())
                return format.anchorHref();
        }
    }
    return {};
}

} // namespace

// Receives the URLs that the page hands to the desktop, in place of a browser.
class UrlCatcher : public QObject
{
    Q_OBJECT

public:
    QList<QUrl> urls;

public Q_SLOTS:
    void openUrl(const QUrl &url) { urls.append(url); }
};

class TestLoginWidget : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void buildsItsWidgetsWithTheirTexts();
    void withoutRememberedAccountWaitsAndSendsNothing();
    void autoLoginTakesTheFirstRememberedAccount();
    void loginSendsTheFieldsUnchanged_data();
    void loginSendsTheFieldsUnchanged();
    void everyClickSendsOneRequest();
    void linksPointAtTheSitePages_data();
    void linksPointAtTheSitePages();
    void clickingALinkOpensItOnTheDesktop();

private:
    LoginWidget *makePage();
    QLineEdit *usernameEdit() const;
    QLineEdit *passwordEdit() const;
    QLabel *labelWithText(const QString &fragment) const;

    QTemporaryDir dataDir;
    std::unique_ptr<TestHttpServer> server;
    std::unique_ptr<Api> api;
    std::unique_ptr<LoginWidget> page;
};

void TestLoginWidget::initTestCase()
{
    QVERIFY(dataDir.isValid());
    openDatabase(dataDir.path());
}

void TestLoginWidget::init()
{
    QSqlQuery query;
    QVERIFY(query.exec(QStringLiteral("delete from user")));
    server = std::make_unique<TestHttpServer>();
    server->setHandler([](const RecordedRequest &) { return ScriptedResponse::ok("code=1002"); });
    writeSiteConfig(server->baseUrl());
}

void TestLoginWidget::cleanup()
{
    page.reset();
    api.reset();
    server.reset();
    removeSiteConfig();
}

LoginWidget *TestLoginWidget::makePage()
{
    api = std::make_unique<Api>();
    page = std::make_unique<LoginWidget>(api.get());
    return page.get();
}

QLineEdit *TestLoginWidget::usernameEdit() const
{
    for (QLineEdit *edit : page->findChildren<QLineEdit *>()) {
        if (edit->echoMode() == QLineEdit::Normal)
            return edit;
    }
    return nullptr;
}

QLineEdit *TestLoginWidget::passwordEdit() const
{
    for (QLineEdit *edit : page->findChildren<QLineEdit *>()) {
        if (edit->echoMode() == QLineEdit::Password)
            return edit;
    }
    return nullptr;
}

QLabel *TestLoginWidget::labelWithText(const QString &fragment) const
{
    for (QLabel *label : page->findChildren<QLabel *>()) {
        if (label->text().contains(fragment))
            return label;
    }
    return nullptr;
}

void TestLoginWidget::buildsItsWidgetsWithTheirTexts()
{
    makePage();
    QCOMPARE(page->findChildren<QLineEdit *>().size(), 2);
    QCOMPARE(page->findChildren<QLabel *>().size(), 4);
    QVERIFY(labelWithText(QStringLiteral("用户名：")));
    QVERIFY(labelWithText(QStringLiteral("密  码：")));
    QVERIFY(usernameEdit());
    QVERIFY(passwordEdit());
    const QList<QPushButton *> buttons = page->findChildren<QPushButton *>();
    QCOMPARE(buttons.size(), 1);
    QCOMPARE(buttons.first()->text(), QStringLiteral("登录"));
    QCOMPARE(page->layout()->contentsMargins(), QMargins(50, 50, 50, 50));
    // The page leaves title and size to the platform.
    QVERIFY(page->windowTitle().isEmpty());
    QVERIFY(!page->isVisible());

    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QCOMPARE(passwordEdit()->geometry().left(), usernameEdit()->geometry().left());
    QCOMPARE(passwordEdit()->geometry().right(), usernameEdit()->geometry().right());
}

void TestLoginWidget::withoutRememberedAccountWaitsAndSendsNothing()
{
    makePage();
    QVERIFY(usernameEdit()->text().isEmpty());
    QVERIFY(passwordEdit()->text().isEmpty());

    // A click is the barrier: once its request has arrived, an auto-login sent
    // during construction would have arrived before it.
    QTest::mouseClick(page->findChild<QPushButton *>(), Qt::LeftButton);
    QTRY_COMPARE(server->requestCount(), 1);
    QCOMPARE(server->requests().first().body, "username=&password=" + md5Hex(QString()));
}

void TestLoginWidget::autoLoginTakesTheFirstRememberedAccount()
{
    const QByteArray firstDigest = md5Hex(QStringLiteral("first secret"));
    QCOMPARE((User{QStringLiteral("张三"), QString::fromLatin1(firstDigest)}.insert()), 1);
    QCOMPARE((User{QStringLiteral("later"), QString::fromLatin1(md5Hex(QStringLiteral("x")))}.insert()), 1);

    QTest::ignoreMessage(QtDebugMsg, "start auto login");
    makePage();

    // Filled in and sent during construction, before the page is ever shown.
    QCOMPARE(usernameEdit()->text(), QStringLiteral("张三"));
    QVERIFY(passwordEdit()->text().isEmpty());
    QVERIFY(!page->isVisible());

    QTRY_COMPARE(server->requestCount(), 1);
    const RecordedRequest &request = server->requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray("/index.php?m=api&f=login"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("Api-Version"), QByteArray("0.2"));
    QVERIFY(!request.hasHeader("Api-Token"));
    QCOMPARE(request.body, QStringLiteral("username=张三&password=").toUtf8() + firstDigest);
}

void TestLoginWidget::loginSendsTheFieldsUnchanged_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");

    QTest::newRow("plain") << QStringLiteral("alice") << QStringLiteral("secret");
    QTest::newRow("blanks kept") << QStringLiteral(" alice ") << QStringLiteral(" pass word ");
    QTest::newRow("chinese and separators") << QStringLiteral("李&四=1") << QStringLiteral("密码");
    QTest::newRow("empty password") << QStringLiteral("bob") << QString();
}

void TestLoginWidget::loginSendsTheFieldsUnchanged()
{
    QFETCH(QString, username);
    QFETCH(QString, password);

    makePage();
    usernameEdit()->setText(username);
    passwordEdit()->setText(password);
    QTest::mouseClick(page->findChild<QPushButton *>(), Qt::LeftButton);

    QTRY_COMPARE(server->requestCount(), 1);
    QCOMPARE(server->requests().first().body, "username=" + username.toUtf8() + "&password=" + md5Hex(password));
    // The page itself keeps its fields and its button as they were.
    QCOMPARE(usernameEdit()->text(), username);
    QCOMPARE(passwordEdit()->text(), password);
    QVERIFY(page->findChild<QPushButton *>()->isEnabled());
}

void TestLoginWidget::everyClickSendsOneRequest()
{
    makePage();
    QTest::keyClicks(usernameEdit(), QStringLiteral("alice"));
    QTest::keyClicks(passwordEdit(), QStringLiteral("pw"));
    auto *button = page->findChild<QPushButton *>();
    QTest::mouseClick(button, Qt::LeftButton);
    QTest::mouseClick(button, Qt::LeftButton);

    QTRY_COMPARE(server->requestCount(), 2);
    for (const RecordedRequest &request : server->requests())
        QCOMPARE(request.body, "username=alice&password=" + md5Hex(QStringLiteral("pw")));
}

void TestLoginWidget::linksPointAtTheSitePages_data()
{
    QTest::addColumn<bool>("withConfig");
    QTest::addColumn<QString>("domain");
    QTest::addColumn<QString>("prefix");

    QTest::newRow("site domain") << true << QStringLiteral("http://www.zamtu.test")
                                 << QStringLiteral("http://www.zamtu.test");
    QTest::newRow("trailing slash kept") << true << QStringLiteral("http://www.zamtu.test/")
                                         << QStringLiteral("http://www.zamtu.test/");
    QTest::newRow("no config.ini") << false << QString() << QString();
}

void TestLoginWidget::linksPointAtTheSitePages()
{
    QFETCH(bool, withConfig);
    QFETCH(QString, domain);
    QFETCH(QString, prefix);

    removeSiteConfig();
    if (withConfig)
        writeSiteConfig(domain);
    makePage();

    QLabel *forgot = labelWithText(QStringLiteral("忘记密码？"));
    QLabel *signUp = labelWithText(QStringLiteral("注册"));
    QVERIFY(forgot);
    QVERIFY(signUp);
    QCOMPARE(linkTarget(forgot), prefix + QStringLiteral("/index.php?c=user&f=retrieve"));
    QCOMPARE(linkTarget(signUp), prefix + QStringLiteral("/index.php?c=user&f=sign_in"));

    // Register on the left edge, forgot-password on the right.
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QVERIFY(signUp->geometry().right() < forgot->geometry().left());
}

void TestLoginWidget::clickingALinkOpensItOnTheDesktop()
{
    UrlCatcher catcher;
    QDesktopServices::setUrlHandler(QStringLiteral("http"), &catcher, "openUrl");

    makePage();
    page->show();
    QVERIFY(QTest::qWaitForWindowExposed(page.get()));
    QLabel *signUp = labelWithText(QStringLiteral("注册"));
    QLabel *forgot = labelWithText(QStringLiteral("忘记密码？"));
    QTest::mouseClick(signUp, Qt::LeftButton, {}, signUp->rect().center());
    QTest::mouseClick(forgot, Qt::LeftButton, {}, forgot->rect().center());
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));

    QCOMPARE(catcher.urls.size(), 2);
    QCOMPARE(catcher.urls.at(0), QUrl(server->baseUrl() + QStringLiteral("/index.php?c=user&f=sign_in")));
    QCOMPARE(catcher.urls.at(1), QUrl(server->baseUrl() + QStringLiteral("/index.php?c=user&f=retrieve")));
}

QTEST_MAIN(TestLoginWidget)
#include "tst_loginwidget.moc"
