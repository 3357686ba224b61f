// The site side of the stand-in: login, token and version checks, picture
// registration, download numbers and their spreadsheets.

#include "standinfixture.h"

#include "server/demodata.h"
#include "server/siteapi.h"

#include <QCryptographicHash>
#include <QNetworkProxy>
#include <QSignalSpy>
#include <QRegularExpression>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString SITE = QStringLiteral("http://www.zamtu.test/index.php");
const QString LOGIN = SITE + QStringLiteral("?m=api&f=login");
const QString OSS = SITE + QStringLiteral("?m=api&f=oss");
const QString DOWNLOAD = SITE + QStringLiteral("?m=api&f=download&no=");

QByteArray md5Hex(const QByteArray &text)
{
    return QCryptographicHash::hash(text, QCryptographicHash::Md5).toHex();
}

QList<QPair<QByteArray, QByteArray>> apiHeaders(const QByteArray &version, const QByteArray &token = QByteArray(),
                                                bool withToken = false)
{
    QList<QPair<QByteArray, QByteArray>> headers;
    if (!version.isNull())
        headers.append({"Api-Version", version});
    if (withToken)
        headers.append({"Api-Token", token});
    return headers;
}

} // namespace

class TestServerSite : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void loginReplies_data();
    void loginReplies();
    void requestsNeedVersionAndToken_data();
    void requestsNeedVersionAndToken();
    void registrationIsRecordedFromRawBody();
    void downloadNumberReplies_data();
    void downloadNumberReplies();
    void validNumberListsItsPicturesAndSpreadsheet();
    void originFormReachesTheSiteToo();

private:
    QByteArray loginToken();

    StandInFixture standIn;
};

void TestServerSite::initTestCase()
{
    QVERIFY(standIn.start());
    // A user name with the characters that form-decoding would change.
    QVERIFY(standIn.server().siteStore().addAccount(QStringLiteral("张三+1%41"), QStringLiteral("密码")));
}

QByteArray TestServerSite::loginToken()
{
    const auto answer = standIn.post(LOGIN, "username=demo&password=" + md5Hex(DemoData::PASSWORD.toUtf8()),
                                     apiHeaders("0.2"));
    return answer.body.mid(answer.body.indexOf("token=") + 6);
}

void TestServerSite::loginReplies_data()
{
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QString>("expected"); // a pattern for the whole reply

    const QByteArray demoPassword = md5Hex(DemoData::PASSWORD.toUtf8());
    QTest::newRow("success") << QByteArray("0.2") << "username=demo&password=" + demoPassword
                             << QStringLiteral("code=0000&token=[0-9a-f]{32}");
    QTest::newRow("upper-case digest") << QByteArray("0.2") << "username=demo&password=" + demoPassword.toUpper()
                                       << QStringLiteral("code=0000&token=[0-9a-f]{32}");
    QTest::newRow("raw name, not form-decoded")
        << QByteArray("0.2") << "username=张三+1%41&password=" + md5Hex("密码")
        << QStringLiteral("code=0000&token=[0-9a-f]{32}");
    QTest::newRow("unknown account") << QByteArray("0.2") << "username=nobody&password=" + demoPassword
                                     << QStringLiteral("code=1001");
    QTest::newRow("no user name") << QByteArray("0.2") << QByteArray("password=" + demoPassword)
                                  << QStringLiteral("code=1001");
    QTest::newRow("wrong password") << QByteArray("0.2") << "username=demo&password=" + md5Hex("wrong")
                                    << QStringLiteral("code=1002");
    QTest::newRow("clear-text password") << QByteArray("0.2") << "username=demo&password=" + DemoData::PASSWORD.toUtf8()
                                         << QStringLiteral("code=1002");
    QTest::newRow("old version") << QByteArray("0.1") << "username=demo&password=" + demoPassword
                                 << QStringLiteral("code=8001");
    QTest::newRow("no version") << QByteArray() << "username=demo&password=" + demoPassword
                                << QStringLiteral("code=8001");
}

void TestServerSite::loginReplies()
{
    QFETCH(QByteArray, version);
    QFETCH(QByteArray, body);
    QFETCH(QString, expected);

    const auto answer = standIn.post(LOGIN, body, apiHeaders(version));
    QCOMPARE(answer.error, QNetworkReply::NoError);
    QCOMPARE(answer.status, 200);
    // Anchored: no line end may follow the last value.
    const QRegularExpression pattern(QRegularExpression::anchoredPattern(expected));
    QVERIFY2(pattern.match(QString::fromUtf8(answer.body)).hasMatch(), answer.body.constData());
}

void TestServerSite::requestsNeedVersionAndToken_data()
{
    QTest::addColumn<bool>("isRegistration");
    QTest::addColumn<QByteArray>("version");
    QTest::addColumn<bool>("sendToken");
    QTest::addColumn<QByteArray>("token"); // "valid" is replaced by a fresh login token
    QTest::addColumn<QByteArray>("expected");

    for (const bool registration : {true, false}) {
        const char *kind = registration ? "registration" : "download number";
        QTest::addRow("%s, no token header", kind) << registration << QByteArray("0.2") << false << QByteArray()
                                                   << QByteArray("code=8002");
        QTest::addRow("%s, empty token", kind) << registration << QByteArray("0.2") << true << QByteArray("")
                                               << QByteArray("code=8002");
        QTest::addRow("%s, unknown token", kind) << registration << QByteArray("0.2") << true
                                                 << QByteArray("0123456789abcdef0123456789abcdef")
                                                 << QByteArray("code=8002");
        QTest::addRow("%s, old version, valid token", kind) << registration << QByteArray("0.3") << true
                                                            << QByteArray("valid") << QByteArray("code=8001");
        QTest::addRow("%s, old version, no token", kind) << registration << QByteArray("0.3") << false
                                                         << QByteArray() << QByteArray("code=8001");
    }
}

void TestServerSite::requestsNeedVersionAndToken()
{
    QFETCH(bool, isRegistration);
    QFETCH(QByteArray, version);
    QFETCH(bool, sendToken);
    QFETCH(QByteArray, token);
    QFETCH(QByteArray, expected);

    if (token == "valid")
        token = loginToken();
    const int registrationsBefore = standIn.server().siteStore().registrations().size();
    const auto headers = apiHeaders(version, token, sendToken);
    const auto answer = isRegistration ? standIn.post(OSS, "md5=0123456789abcdef0123456789abcdef&name=a.jpg", headers)
                                       : standIn.get(DOWNLOAD + DemoData::NUMBER, headers);
    QCOMPARE(answer.body, expected);
    QCOMPARE(standIn.server().siteStore().registrations().size(), registrationsBefore);
}

void TestServerSite::registrationIsRecordedFromRawBody()
{
    const QByteArray token = loginToken();
    QCOMPARE(token.size(), 32);
    const QByteArray md5 = md5Hex("picture bytes");

    const auto answer = standIn.post(OSS, "md5=" + md5 + "&name=红烧肉 100%+.jpg", apiHeaders("0.2", token, true));
    QCOMPARE(answer.body, QByteArray("code=0000"));

    const QList<Registration> registrations = standIn.server().siteStore().registrations();
    QVERIFY(!registrations.isEmpty());
    const Registration &last = registrations.last();
    QCOMPARE(last.username, QStringLiteral("demo"));
    QCOMPARE(last.md5, QString::fromLatin1(md5));
    QCOMPARE(last.name, QStringLiteral("红烧肉 100%+.jpg"));
    QVERIFY(qAbs(last.registeredAt.secsTo(QDateTime::currentDateTimeUtc())) < 60);
}

void TestServerSite::downloadNumberReplies_data()
{
    QTest::addColumn<QString>("number");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("unknown") << QStringLiteral("D00000000") << QByteArray("code=1003");
    QTest::newRow("empty") << QString() << QByteArray("code=1003");
    QTest::newRow("expired") << DemoData::EXPIRED_NUMBER << QByteArray("code=1004");
}

void TestServerSite::downloadNumberReplies()
{
    QFETCH(QString, number);
    QFETCH(QByteArray, expected);
    QCOMPARE(standIn.get(DOWNLOAD + number, apiHeaders("0.2", loginToken(), true)).body, expected);
}

void TestServerSite::validNumberListsItsPicturesAndSpreadsheet()
{
    // A number with a Chinese name and a blank, which the client sends unescaped.
    const QString number = QStringLiteral("菜单 7");
    const QList<NumberItem> items{{QStringLiteral("凉菜"), QStringLiteral("拍黄瓜"), QString::fromLatin1(md5Hex("a"))},
                                  {QStringLiteral("主食"), QStringLiteral("米饭"), QStringLiteral("MIAN")},
                                  {QStringLiteral("汤羹"), QStringLiteral("例汤"), QStringLiteral("NO_IMAGE")}};
    QVERIFY(standIn.server().siteStore().putNumber({number, QDateTime::currentDateTimeUtc().addDays(1), items}));

    const auto answer = standIn.get(DOWNLOAD + number, apiHeaders("0.2", loginToken(), true));
    const QString uri = SiteApi::spreadsheetUri(number);
    const QString expected = QStringLiteral("code=0000&uri=") + uri
        + QStringLiteral("&category0=凉菜&name0=拍黄瓜&md50=") + items.at(0).md5
        + QStringLiteral("&category1=主食&name1=米饭&md51=MIAN&category2=汤羹&name2=例汤&md52=NO_IMAGE");
    QCOMPARE(QString::fromUtf8(answer.body), expected);

    // The spreadsheet: header row, then category, name and MD5 of each picture.
    const auto sheet = standIn.get(QStringLiteral("http://www.zamtu.test") + uri);
    QCOMPARE(sheet.status, 200);
    QXmlStreamReader xml(sheet.body);
    QList<QStringList> rows;
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement() && xml.name() == QLatin1String("Row"))
            rows.append(QStringList());
        else if (xml.isStartElement() && xml.name() == QLatin1String("Data"))
            rows.last().append(xml.readElementText());
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    QVERIFY(sheet.body.contains("xmlns=\"urn:schemas-microsoft-com:office:spreadsheet\""));
    QCOMPARE(rows.size(), items.size() + 1);
    for (int i = 0; i < items.size(); ++i) {
        QCOMPARE(rows.at(i + 1), (QStringList{QString::number(i + 1), items.at(i).category, items.at(i).name,
                                              items.at(i).md5}));
    }

    QCOMPARE(standIn.get(QStringLiteral("http://www.zamtu.test/excel/nothing.xls")).status, 404);
}

void TestServerSite::originFormReachesTheSiteToo()
{
    // Without a proxy the request target is a path and the Host header names the site.
    QNetworkAccessManager direct;
    direct.setProxy(QNetworkProxy::NoProxy);
    QNetworkRequest request(QUrl(QStringLiteral("http://127.0.0.1:%1/index.php?m=api&f=login").arg(standIn.port())));
    request.setRawHeader("Host", "www.zamtu.test");
    request.setRawHeader("Api-Version", "0.2");
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    QNetworkReply *reply = direct.post(request, QByteArray("username=nobody&password=x"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait());
    QCOMPARE(reply->readAll(), QByteArray("code=1001"));
    delete reply;
}

QTEST_GUILESS_MAIN(TestServerSite)
#include "tst_server_site.moc"
