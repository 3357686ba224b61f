#include "api/api.h"
#include "base/transferoutcome.h"
#include "store/database.h"
#include "store/user.h"

#include "messagecatcher.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const QByteArray EMPTY_MD5 = "d41d8cd98f00b204e9800998ecf8427e";

// Every signal of Api that reports a failure, by name.
const QList<QByteArray> ERROR_SIGNALS = {"serverError", "versionError", "tokenError", "notExistsAccount",
                                         "notMatchPassword", "notExistsTicket", "ticketTimeout"};

// Records which of the error signals an Api emits.
class ErrorRecorder : public QObject
{
public:
    explicit ErrorRecorder(Api *api)
    {
        connect(api, &Api::serverError, this, [this] { emitted << "serverError"; });
        connect(api, &Api::versionError, this, [this] { emitted << "versionError"; });
        connect(api, &Api::tokenError, this, [this] { emitted << "tokenError"; });
        connect(api, &Api::notExistsAccount, this, [this] { emitted << "notExistsAccount"; });
        connect(api, &Api::notMatchPassword, this, [this] { emitted << "notMatchPassword"; });
        connect(api, &Api::notExistsTicket, this, [this] { emitted << "notExistsTicket"; });
        connect(api, &Api::ticketTimeout, this, [this] { emitted << "ticketTimeout"; });
    }
    QList<QByteArray> emitted;
};

} // namespace

class TestApi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void init();
    void cleanup();

    void requestsAreSentExactly_data();
    void requestsAreSentExactly();
    void loginWithMd5SendsDigestUnchanged();
    void spreadsheetFetchCarriesNoApiHeaders();

    void parseReply_data();
    void parseReply();

    void resultCodesEmitOneSignal_data();
    void resultCodesEmitOneSignal();
    void emptyLoginBodyIsServerError();
    void hangingRequestEndsAsTimeOut();
    void cancelledRequestsTellNoOne();
    void redirectIsNotFollowed();
    void missingDomainEndsInServerError();

    void registrationsFinishingInReverseOrderKeepTheirIds();
    void downloadNumberReplyIsPassedOnWhole();

    void tokenLifeCycle();
    void successfulLoginRemembersAccountAfterSignal();
    void knownAccountIsUpdatedAndDuplicatesCountAsAbsent();
    void failedLoginWritesNothing();

    void spreadsheetIsWritten_data();
    void spreadsheetIsWritten();
    void unwritableSpreadsheetIsLogged();

private:
    RecordedRequest waitForRequest();

    QScopedPointer<QTemporaryDir> dir;
    QScopedPointer<TestHttpServer> server;
    QScopedPointer<Api> api;
};

void TestApi::init()
{
    dir.reset(new QTemporaryDir);
    QVERIFY(dir->isValid());
    openDatabase(dir->path());
    server.reset(new TestHttpServer);
    writeSiteConfig(server->baseUrl());
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("^Domain: \"http://127.0.0.1:\\d+\"$")));
    api.reset(new Api);
}

void TestApi::cleanup()
{
    api.reset();
    server.reset();
    removeSiteConfig();
}

RecordedRequest TestApi::waitForRequest()
{
    const int before = server->requestCount();
    if (!QTest::qWaitFor([&] { return server->requestCount() > before; }, 5000))
        return {};
    return server->requests().last();
}

void TestApi::requestsAreSentExactly_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QByteArray>("method");
    QTest::addColumn<QByteArray>("target");
    QTest::addColumn<bool>("withToken");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("login ascii") << "login" << QStringList{"alice", "secret"} << QByteArray("POST")
                                 << QByteArray("/index.php?m=api&f=login") << false
                                 << "username=alice&password=" + md5Hex("secret").toLatin1();
    QTest::newRow("login raw specials") << "login" << QStringList{"张三&x=1+%E5", "密码 ü"} << QByteArray("POST")
                                        << QByteArray("/index.php?m=api&f=login") << false
                                        << "username=" + QString("张三&x=1+%E5").toUtf8() + "&password="
                                               + md5Hex(QString("密码 ü").toUtf8()).toLatin1();
    QTest::newRow("login empty") << "login" << QStringList{"", ""} << QByteArray("POST")
                                 << QByteArray("/index.php?m=api&f=login") << false
                                 << "username=&password=" + EMPTY_MD5;
    QTest::newRow("oss") << "oss" << QStringList{"7", "0123456789abcdef0123456789abcdef", "红烧肉&辣=+%.jpg"}
                         << QByteArray("POST") << QByteArray("/index.php?m=api&f=oss") << true
                         << "md5=0123456789abcdef0123456789abcdef&name=" + QString("红烧肉&辣=+%.jpg").toUtf8();
    QTest::newRow("download") << "download" << QStringList{"A-1001"} << QByteArray("GET")
                              << QByteArray("/index.php?m=api&f=download&no=A-1001") << true << QByteArray();
}

void TestApi::requestsAreSentExactly()
{
    QFETCH(QString, operation);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, method);
    QFETCH(QByteArray, target);
    QFETCH(bool, withToken);
    QFETCH(QByteArray, body);

    server->enqueue(ScriptedResponse::ok("code=9999"));
    if (operation == QLatin1String("login")) {
        QTest::ignoreMessage(QtDebugMsg, qPrintable(QStringLiteral("\"%1/index.php?m=api&f=login\"").arg(server->baseUrl())));
        api->login(arguments.at(0), arguments.at(1));
    } else if (operation == QLatin1String("oss")) {
        api->oss(arguments.at(0).toInt(), arguments.at(1), arguments.at(2));
    } else {
        api->download(arguments.at(0));
    }

    const RecordedRequest request = waitForRequest();
    QCOMPARE(request.method, method);
    QCOMPARE(request.target, target);
    QCOMPARE(request.header("Content-Type"), QByteArray("application/x-www-form-urlencoded"));
    QCOMPARE(request.header("Api-Version"), QByteArray("0.2"));
    QCOMPARE(request.hasHeader("Api-Token"), withToken);
    QCOMPARE(request.header("Api-Token"), QByteArray()); // no login yet: empty token
    QCOMPARE(request.body, body);
    QVERIFY(request.raw.endsWith(QByteArray("\r\n\r\n" + body)));
}

void TestApi::loginWithMd5SendsDigestUnchanged()
{
    server->enqueue(ScriptedResponse::ok("code=9999"));
    server->enqueue(ScriptedResponse::ok("code=9999"));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("login\"$")));
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("login\"$")));
    api->login(QStringLiteral("alice"), QStringLiteral("secret"));
    const QByteArray hashed = waitForRequest().body;
    api->loginWithMd5(QStringLiteral("alice"), md5Hex("secret"));
    QCOMPARE(waitForRequest().body, hashed);
}

void TestApi::spreadsheetFetchCarriesNoApiHeaders()
{
    server->enqueue(ScriptedResponse::ok("xls"));
    api->excel(QStringLiteral("/files/编号 1.xls"), dir->filePath(QStringLiteral("1.xls")));
    const RecordedRequest request = waitForRequest();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.target, QByteArray("/files/%E7%BC%96%E5%8F%B7%201.xls"));
    QVERIFY(!request.hasHeader("Content-Type"));
    QVERIFY(!request.hasHeader("Api-Version"));
    QVERIFY(!request.hasHeader("Api-Token"));
}

void TestApi::parseReply_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QVariantMap>("expected");

    QTest::newRow("single pair") << "code=1002" << QVariantMap{{"code", "1002"}};
    QTest::newRow("last code wins") << "code=1002&code=0000" << QVariantMap{{"code", "0000"}};
    QTest::newRow("trailing line end kept") << "code=0000\n" << QVariantMap{{"code", "0000\n"}};
    QTest::newRow("value cut at second =") << "token=a=b" << QVariantMap{{"token", "a"}};
    QTest::newRow("percent escapes kept") << "name=%E5+x" << QVariantMap{{"name", "%E5+x"}};
    QTest::newRow("empty key and value") << "=v&k=" << QVariantMap{{"", "v"}, {"k", ""}};
    QTest::newRow("blanks kept") << " code = 0000" << QVariantMap{{" code ", " 0000"}};
    QTest::newRow("part without = skipped") << "code=0000&&junk&" << QVariantMap{{"code", "0000"}};
    QTest::newRow("no = at all") << "hello" << QVariantMap{};
    QTest::newRow("empty") << "" << QVariantMap{};
    QTest::newRow("keys case-sensitive") << "Code=1&code=2" << QVariantMap{{"Code", "1"}, {"code", "2"}};
}

void TestApi::parseReply()
{
    QFETCH(QString, text);
    QFETCH(QVariantMap, expected);

    const QMap<QString, QString> decoded = Api::parseReply(text);
    QCOMPARE(decoded.keys(), expected.keys());
    for (auto it = expected.cbegin(); it != expected.cend(); ++it)
        QCOMPARE(decoded.value(it.key()), it.value().toString());
}

void TestApi::resultCodesEmitOneSignal_data()
{
    QTest::addColumn<QString>("operation");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("drop");
    QTest::addColumn<QByteArray>("expected"); // error signal, "success", or "" for nothing
    QTest::addColumn<int>("failureKind");     // of the tagged failure signal
    QTest::addColumn<QString>("reason");

    const int refused = TransferOutcome::Refused;
    const int again = TransferOutcome::Transient;
    const QList<QPair<QByteArray, QByteArray>> codes = {
        {"9001", "serverError"},      {"8001", "versionError"},    {"8002", "tokenError"},
        {"1001", "notExistsAccount"}, {"1002", "notMatchPassword"}, {"1003", "notExistsTicket"},
        {"1004", "ticketTimeout"},
    };
    for (const QString &operation : {QStringLiteral("login"), QStringLiteral("oss"), QStringLiteral("download")}) {
        const QByteArray op = operation.toLatin1();
        for (const auto &code : codes)
            QTest::addRow("%s %s", op.constData(), code.first.constData()) << operation << 200 << "code=" + code.first << false << code.second
                << (code.first == "9001" ? again : refused) << "返回码 " + QString::fromLatin1(code.first);
        QTest::addRow("%s success", op.constData()) << operation << 200 << QByteArray("code=0000&token=t") << false << QByteArray("success") << 0 << QString();
        QTest::addRow("%s last code wins", op.constData()) << operation << 200 << QByteArray("code=1002&code=0000") << false << QByteArray("success") << 0 << QString();
        QTest::addRow("%s first of two codes loses", op.constData()) << operation << 200 << QByteArray("code=0000&code=1002") << false << QByteArray("notMatchPassword") << refused << "返回码 1002";
        QTest::addRow("%s line end after code", op.constData()) << operation << 200 << QByteArray("code=0000\n") << false << QByteArray() << refused << "返回码 0000%0A";
        QTest::addRow("%s other form of code", op.constData()) << operation << 200 << QByteArray("code=00000") << false << QByteArray() << refused << "返回码 00000";
        QTest::addRow("%s no code", op.constData()) << operation << 200 << QByteArray("token=x") << false << QByteArray() << again << "无返回码";
        QTest::addRow("%s text after NUL ignored", op.constData()) << operation << 200 << QByteArray("code=0000\0&code=1002", 20) << false << QByteArray("success") << 0 << QString();
        QTest::addRow("%s HTTP 500", op.constData()) << operation << 500 << QByteArray("code=0000") << false << QByteArray("serverError") << again << "HTTP 500";
        QTest::addRow("%s HTTP 404", op.constData()) << operation << 404 << QByteArray("code=0000") << false << QByteArray("serverError") << refused << "HTTP 404";
        QTest::addRow("%s dropped connection", op.constData()) << operation << 200 << QByteArray() << true << QByteArray("serverError") << again << "连接被关闭";
    }
    QTest::newRow("oss empty body") << "oss" << 200 << QByteArray() << false << QByteArray() << again << "空回复";
    QTest::newRow("download empty body") << "download" << 200 << QByteArray() << false << QByteArray() << again << "空回复";
    QTest::newRow("login empty body") << "login" << 200 << QByteArray() << false << QByteArray("serverError") << again << "空回复";
}

void TestApi::resultCodesEmitOneSignal()
{
    QFETCH(QString, operation);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, drop);
    QFETCH(QByteArray, expected);
    QFETCH(int, failureKind);
    QFETCH(QString, reason);

    // The network layer sends a request again once when its connection closes
    // unanswered, so a dropped connection stays dropped.
    const ScriptedResponse response = drop ? ScriptedResponse::dropped() : ScriptedResponse::withStatus(status, body);
    server->setHandler([response](const RecordedRequest &) { return response; });

    ErrorRecorder errors(api.data());
    QSignalSpy login(api.data(), &Api::successLogin);
    QSignalSpy oss(api.data(), &Api::successOss);
    QSignalSpy download(api.data(), &Api::successDownload);
    QSignalSpy loginFailed(api.data(), &Api::failLogin);
    QSignalSpy ossFailed(api.data(), &Api::failOss);
    QSignalSpy downloadFailed(api.data(), &Api::failDownload);

    if (operation == QLatin1String("login"))
        api->login(QStringLiteral("u"), QStringLiteral("p"));
    else if (operation == QLatin1String("oss"))
        api->oss(1, QStringLiteral("m"), QStringLiteral("n"));
    else
        api->download(QStringLiteral("1"));

    // Every request ends in exactly one success or one tagged failure.
    QTRY_COMPARE(login.count() + oss.count() + download.count() + loginFailed.count() + ossFailed.count()
                     + downloadFailed.count(),
                 qsizetype(1));

    if (expected == "success") {
        QCOMPARE(login.count() + oss.count() + download.count(), qsizetype(1));
        QVERIFY(errors.emitted.isEmpty());
        return;
    }
    QCOMPARE(login.count() + oss.count() + download.count(), qsizetype(0));
    QCOMPARE(errors.emitted, expected.isEmpty() ? QList<QByteArray>{} : QList<QByteArray>{expected});
    const QSignalSpy &failed = operation == QLatin1String("login") ? loginFailed
        : operation == QLatin1String("oss")                        ? ossFailed
                                                                   : downloadFailed;
    QCOMPARE(failed.count(), 1);
    const QList<QVariant> arguments = failed.first();
    const TransferOutcome outcome = arguments.last().value<TransferOutcome>();
    QCOMPARE(int(outcome.kind), failureKind);
    QCOMPARE(outcome.reason, reason);
    // The failure names its request.
    if (operation == QLatin1String("login"))
        QCOMPARE(arguments.first().toString(), QStringLiteral("u"));
    else if (operation == QLatin1String("oss"))
        QCOMPARE(arguments.mid(0, 2), (QVariantList{1, QStringLiteral("m")}));
    else
        QCOMPARE(arguments.first().toString(), QStringLiteral("1"));
}

void TestApi::hangingRequestEndsAsTimeOut()
{
    server->setHandler([](const RecordedRequest &) { return ScriptedResponse::hanging(); });
    api->setTransferTimeout(300);
    ErrorRecorder errors(api.data());
    QSignalSpy failed(api.data(), &Api::failOss);
    api->oss(4, QStringLiteral("m"), QStringLiteral("n"));
    QVERIFY(failed.wait());
    QCOMPARE(failed.first().last().value<TransferOutcome>().reason, QStringLiteral("超时"));
    QCOMPARE(failed.first().last().value<TransferOutcome>().kind, TransferOutcome::Transient);
    QCOMPARE(errors.emitted, QList<QByteArray>{"serverError"});
}

void TestApi::cancelledRequestsTellNoOne()
{
    server->setHandler([](const RecordedRequest &) { return ScriptedResponse::hanging(); });
    ErrorRecorder errors(api.data());
    QSignalSpy ossFailed(api.data(), &Api::failOss);
    QSignalSpy numberFailed(api.data(), &Api::failDownload);
    QSignalSpy sheet(api.data(), &Api::finishExcel);
    const quint64 registration = api->oss(4, QStringLiteral("m"), QStringLiteral("n"));
    const quint64 number = api->download(QStringLiteral("N"));
    const quint64 spreadsheet = api->excel(QStringLiteral("/N.xls"), dir->filePath(QStringLiteral("N.xls")));
    QTRY_COMPARE(server->requestCount(), 3);

    api->cancel(registration);
    api->cancel(number);
    api->cancel(spreadsheet);
    QCOMPARE(ossFailed.count(), 1);
    QCOMPARE(numberFailed.count(), 1);
    QCOMPARE(sheet.count(), 1);
    for (const QSignalSpy *spy : {&ossFailed, &numberFailed, &sheet})
        QCOMPARE(spy->first().last().value<TransferOutcome>().kind, TransferOutcome::Cancelled);
    QVERIFY(errors.emitted.isEmpty());
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("N.xls"))));
}

void TestApi::emptyLoginBodyIsServerError()
{
    server->enqueue(ScriptedResponse::ok(QByteArray()));
    QSignalSpy serverError(api.data(), &Api::serverError);
    QTest::ignoreMessage(QtDebugMsg, QRegularExpression(QStringLiteral("login\"$")));
    // No "loginReply:" line may follow: any unexpected debug line fails the test.
    QTest::failOnWarning(QRegularExpression(QStringLiteral("loginReply")));
    api->login(QStringLiteral("u"), QStringLiteral("p"));
    QVERIFY(serverError.wait());
}

void TestApi::redirectIsNotFollowed()
{
    server->setHandler([this](const RecordedRequest &request) {
        if (request.target.startsWith("/elsewhere"))
            return ScriptedResponse::ok("code=0000");
        ScriptedResponse response = ScriptedResponse::withStatus(302, "code=1003");
        response.headers.append({"Location", server->baseUrl().toLatin1() + "/elsewhere"});
        return response;
    });
    QSignalSpy notExistsTicket(api.data(), &Api::notExistsTicket);
    QSignalSpy success(api.data(), &Api::successDownload);
    api->download(QStringLiteral("9"));
    QVERIFY(notExistsTicket.wait());
    QTest::qWait(100);
    QCOMPARE(server->requestCount(), 1);
    QCOMPARE(success.count(), 0);
}

void TestApi::missingDomainEndsInServerError()
{
    removeSiteConfig();
    QTest::ignoreMessage(QtDebugMsg, "Domain: \"\"");
    Api bare;
    QSignalSpy serverError(&bare, &Api::serverError);
    QTest::ignoreMessage(QtDebugMsg, "\"/index.php?m=api&f=login\"");
    bare.login(QStringLiteral("u"), QStringLiteral("p"));
    bare.oss(1, QStringLiteral("m"), QStringLiteral("n"));
    bare.download(QStringLiteral("1"));
    QTRY_COMPARE(serverError.count(), 3);
    QCOMPARE(server->requestCount(), 0);
}

void TestApi::registrationsFinishingInReverseOrderKeepTheirIds()
{
    server->setHandler([](const RecordedRequest &request) {
        ScriptedResponse response = ScriptedResponse::ok("code=0000&md5=ignored");
        response.delayMs = request.body.contains("first") ? 300 : 0;
        return response;
    });
    QSignalSpy successOss(api.data(), &Api::successOss);
    api->oss(1, QStringLiteral("aaaa"), QStringLiteral("first"));
    api->oss(2, QStringLiteral("bbbb"), QStringLiteral("second"));
    QTRY_COMPARE(successOss.count(), 2);
    QCOMPARE(successOss.at(0), (QVariantList{2, QStringLiteral("bbbb")}));
    QCOMPARE(successOss.at(1), (QVariantList{1, QStringLiteral("aaaa")}));
}

void TestApi::downloadNumberReplyIsPassedOnWhole()
{
    server->enqueue(ScriptedResponse::ok(QStringLiteral("code=0000&uri=/x/1.xls&category0=热菜&name0=鱼&md50=MIAN").toUtf8()));
    QSignalSpy success(api.data(), &Api::successDownload);
    api->download(QStringLiteral("编号 1"));
    QVERIFY(success.wait());
    QCOMPARE(server->requests().first().target, QByteArray("/index.php?m=api&f=download&no=%E7%BC%96%E5%8F%B7%201"));
    QCOMPARE(success.first().at(0).toString(), QStringLiteral("编号 1"));
    const auto data = success.first().at(1).value<QMap<QString, QString>>();
    QCOMPARE(data.size(), 5);
    QCOMPARE(data.value(QStringLiteral("code")), QStringLiteral("0000"));
    QCOMPARE(data.value(QStringLiteral("category0")), QStringLiteral("热菜"));
}

void TestApi::tokenLifeCycle()
{
    server->setHandler([](const RecordedRequest &request) {
        if (request.body.startsWith("username=first"))
            return ScriptedResponse::ok("code=0000&token=T1");
        if (request.body.startsWith("username=second"))
            return ScriptedResponse::ok("token=T2&code=0000");
        if (request.body.startsWith("username=bad"))
            return ScriptedResponse::ok("code=1002&token=EVIL");
        if (request.body.startsWith("username=notoken"))
            return ScriptedResponse::ok("code=0000");
        return ScriptedResponse::ok("code=0000");
    });
    QSignalSpy login(api.data(), &Api::successLogin);
    QSignalSpy refused(api.data(), &Api::notMatchPassword);
    const auto tokenSent = [this] {
        api->oss(1, QStringLiteral("m"), QStringLiteral("n"));
        return waitForRequest().header("Api-Token");
    };

    QCOMPARE(api->property("token").toString(), QString());
    api->login(QStringLiteral("first"), QStringLiteral("p"));
    QVERIFY(login.wait());
    QCOMPARE(login.last().first().toString(), QStringLiteral("first"));
    QCOMPARE(tokenSent(), QByteArray("T1"));

    api->login(QStringLiteral("bad"), QStringLiteral("p"));
    QVERIFY(refused.wait());
    QCOMPARE(api->property("token").toString(), QStringLiteral("T1"));

    api->login(QStringLiteral("second"), QStringLiteral("p"));
    QVERIFY(login.wait());
    QCOMPARE(tokenSent(), QByteArray("T2"));

    api->login(QStringLiteral("notoken"), QStringLiteral("p"));
    QVERIFY(login.wait());
    const RecordedRequest request = [&] {
        api->download(QStringLiteral("1"));
        return waitForRequest();
    }();
    QVERIFY(request.hasHeader("Api-Token"));
    QCOMPARE(request.header("Api-Token"), QByteArray());
}

void TestApi::successfulLoginRemembersAccountAfterSignal()
{
    server->enqueue(ScriptedResponse::ok("code=0000&token=T"));
    QList<User> storedDuringSignal{User{QStringLiteral("sentinel"), {}}};
    connect(api.data(), &Api::successLogin, this, [&] { storedDuringSignal = User::selectAll(); });

    QSignalSpy login(api.data(), &Api::successLogin);
    api->login(QStringLiteral("张三"), QStringLiteral("密码"));
    QVERIFY(login.wait());

    QVERIFY(storedDuringSignal.isEmpty());
    const QList<User> users = User::selectAll();
    QCOMPARE(users.size(), 1);
    QCOMPARE(users.first().username, QStringLiteral("张三"));
    QCOMPARE(users.first().password, md5Hex(QString("密码").toUtf8()));
}

void TestApi::knownAccountIsUpdatedAndDuplicatesCountAsAbsent()
{
    User{QStringLiteral("alice"), QStringLiteral("old")}.insert();
    User{QStringLiteral("bob"), QStringLiteral("b1")}.insert();
    User{QStringLiteral("bob"), QStringLiteral("b2")}.insert();
    server->setHandler([](const RecordedRequest &) { return ScriptedResponse::ok("code=0000"); });
    QSignalSpy login(api.data(), &Api::successLogin);

    api->loginWithMd5(QStringLiteral("alice"), QStringLiteral("0123456789abcdef0123456789abcdef"));
    QVERIFY(login.wait());
    api->loginWithMd5(QStringLiteral("bob"), QStringLiteral("b3"));
    QVERIFY(login.wait());

    const QList<User> users = User::selectAll();
    QCOMPARE(users.size(), 4);
    QCOMPARE(User::selectByUsername(QStringLiteral("alice")).password, QStringLiteral("0123456789abcdef0123456789abcdef"));
    QCOMPARE(users.last().username, QStringLiteral("bob"));
    QCOMPARE(users.last().password, QStringLiteral("b3"));
}

void TestApi::failedLoginWritesNothing()
{
    server->enqueue(ScriptedResponse::ok("code=1001&token=T"));
    server->enqueue(ScriptedResponse::dropped());
    QSignalSpy notExists(api.data(), &Api::notExistsAccount);
    QSignalSpy serverError(api.data(), &Api::serverError);
    api->login(QStringLiteral("alice"), QStringLiteral("p"));
    QVERIFY(notExists.wait());
    api->login(QStringLiteral("alice"), QStringLiteral("p"));
    QVERIFY(serverError.wait());
    QVERIFY(User::selectAll().isEmpty());
    QCOMPARE(api->property("token").toString(), QString());
}

void TestApi::spreadsheetIsWritten_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<QByteArray>("expected"); // file content afterwards
    QTest::addColumn<QString>("reason");      // of a failure

    const QByteArray sheet("PK\x03\x04\0binary\0sheet", 18);
    QTest::newRow("body written whole") << ScriptedResponse::ok(sheet) << sheet << QString();
    QTest::newRow("empty body gives empty file") << ScriptedResponse::ok(QByteArray()) << QByteArray() << QString();
    QTest::newRow("HTTP error keeps old file") << ScriptedResponse::withStatus(404, "not found") << QByteArray("old")
                                               << QStringLiteral("HTTP 404");
    QTest::newRow("dropped keeps old file") << ScriptedResponse::dropped() << QByteArray("old")
                                            << QStringLiteral("连接被关闭");
    ScriptedResponse truncated = ScriptedResponse::ok(QByteArray(4096, 'x'));
    truncated.truncate = true;
    QTest::newRow("truncated keeps old file") << truncated << QByteArray("old") << QStringLiteral("连接被关闭");
}

void TestApi::spreadsheetIsWritten()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(QByteArray, expected);
    QFETCH(QString, reason);

    const QString target = dir->filePath(QStringLiteral("编号1.xls"));
    QFile old(target);
    QVERIFY(old.open(QIODevice::WriteOnly));
    old.write("old");
    old.close();

    // Every try gets the same answer: the network layer sends a request again
    // once when its connection closes unanswered.
    server->setHandler([response](const RecordedRequest &) { return response; });
    QSignalSpy finished(api.data(), &Api::finishExcel);
    api->excel(QStringLiteral("/sheets/1.xls"), target);
    QVERIFY(finished.wait());
    QCOMPARE(finished.count(), 1);
    QCOMPARE(finished.first().mid(0, 2), (QVariantList{reason.isEmpty(), target}));
    QCOMPARE(finished.first().last().value<TransferOutcome>().reason, reason);
    QCOMPARE([&] {
        QFile file(target);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
    }(), expected);
    QCOMPARE(QDir(dir->path()).entryList(QDir::Files), QStringList{QStringLiteral("编号1.xls")});
}

void TestApi::unwritableSpreadsheetIsLogged()
{
    const QString target = dir->filePath(QStringLiteral("missing-folder/1.xls"));
    server->enqueue(ScriptedResponse::ok("sheet"));
    MessageCatcher catcher;
    QSignalSpy finished(api.data(), &Api::finishExcel);
    api->excel(QStringLiteral("/1.xls"), target);
    QVERIFY(finished.wait());
    QCOMPARE(finished.first().mid(0, 2), (QVariantList{false, target}));
    QCOMPARE(finished.first().last().value<TransferOutcome>().reason, QStringLiteral("写入失败"));
    QVERIFY(catcher.contains(QStringLiteral("Cannot write spreadsheet: \"%1\"").arg(target)));
    QVERIFY(!QFile::exists(target));
    QVERIFY(!QFile::exists(dir->filePath(QStringLiteral("missing-folder"))));
}

QTEST_GUILESS_MAIN(TestApi)
#include "tst_api.moc"
