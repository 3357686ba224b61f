// The tool's own clients against the stand-in, reached through http_proxy
// under the compiled-in .test host names: proof that both sides agree.

#include "standinfixture.h"

#include "api/api.h"
#include "server/demodata.h"
#include "testsupport.h"
#include "storage/ossapi.h"
#include "store/database.h"

#include <QBuffer>
#include <QElapsedTimer>
#include <QFile>
#include <QImage>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

namespace {

const int WAIT_MS = 10000;

} // namespace

class TestServerClients : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void uploadProbeRegisterAndDownload();
    void siteRefusalsReachTheClientSignals_data();
    void siteRefusalsReachTheClientSignals();
    void uploadSignedWithAnotherSecretFails();
    void injectedFaultsAreFailuresForTheClients_data();
    void injectedFaultsAreFailuresForTheClients();
    void injectedDelayHoldsTheAnswer();

private:
    bool login(Api &api);

    StandInFixture standIn;
    QTemporaryDir work;
};

void TestServerClients::initTestCase()
{
    QVERIFY(standIn.start());
    // Read by the network layer when it first looks for a proxy.
    qputenv("http_proxy", standIn.proxyUrl());
    qunsetenv("no_proxy");
    writeSiteConfig(QStringLiteral("http://www.zamtu.test"));
    openDatabase(work.path());
}

void TestServerClients::init()
{
    standIn.server().options() = ServerOptions::compiledDefaults();
}

bool TestServerClients::login(Api &api)
{
    QSignalSpy success(&api, &Api::successLogin);
    api.login(DemoData::USERNAME, DemoData::PASSWORD);
    return success.wait(WAIT_MS);
}

void TestServerClients::uploadProbeRegisterAndDownload()
{
    Api api;
    OSSApi ossApi;
    QVERIFY(login(api));
    QCOMPARE(api.property("token").toString().size(), 32);

    // A picture the bucket does not hold yet, under a Chinese path.
    QImage image(1200, 1000, QImage::Format_RGB32);
    image.fill(QColor(200, 80, 40));
    const QString path = work.filePath(QStringLiteral("宫保鸡丁.jpg"));
    QVERIFY(image.save(path, "JPG"));
    const QByteArray bytes = readFile(path);
    const QString md5 = md5Hex(bytes);

    QSignalSpy exists(&ossApi, &OSSApi::finishExists);
    ossApi.exists(7, md5);
    QVERIFY(exists.wait(WAIT_MS));
    QCOMPARE(exists.takeFirst().mid(0, 3), (QVariantList{false, 7, md5}));

    QSignalSpy uploaded(&ossApi, &OSSApi::finishUpload);
    ossApi.upload(7, md5, path);
    QVERIFY(uploaded.wait(WAIT_MS));
    QCOMPARE(uploaded.takeFirst().mid(0, 3), (QVariantList{true, 7, md5}));
    QCOMPARE(standIn.server().objectStore().get(md5).value_or(QByteArray()), bytes);

    ossApi.exists(7, md5);
    QVERIFY(exists.wait(WAIT_MS));
    QCOMPARE(exists.takeFirst().mid(0, 3), (QVariantList{true, 7, md5}));

    QSignalSpy registered(&api, &Api::successOss);
    api.oss(7, md5, QStringLiteral("宫保鸡丁.jpg"));
    QVERIFY(registered.wait(WAIT_MS));
    QCOMPARE(registered.takeFirst(), (QVariantList{7, md5}));
    const Registration last = standIn.server().siteStore().registrations().last();
    QCOMPARE(last.username, DemoData::USERNAME);
    QCOMPARE(last.md5, md5);
    QCOMPARE(last.name, QStringLiteral("宫保鸡丁.jpg"));

    // The demo number: its data, its spreadsheet and its first picture.
    QSignalSpy numbers(&api, &Api::successDownload);
    api.download(DemoData::NUMBER);
    QVERIFY(numbers.wait(WAIT_MS));
    const auto data = numbers.first().at(1).value<QMap<QString, QString>>();
    QCOMPARE(data.value(QStringLiteral("category0")), QStringLiteral("凉菜"));
    QCOMPARE(data.value(QStringLiteral("md53")), QStringLiteral("MIAN"));
    QCOMPARE(data.value(QStringLiteral("md54")), QStringLiteral("NO_IMAGE"));

    const QString sheetPath = work.filePath(DemoData::NUMBER + QStringLiteral(".xls"));
    api.excel(data.value(QStringLiteral("uri")), sheetPath);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(sheetPath), WAIT_MS);
    QTRY_VERIFY_WITH_TIMEOUT(readFile(sheetPath).contains(data.value(QStringLiteral("md50")).toLatin1()), WAIT_MS);

    QSignalSpy downloaded(&ossApi, &OSSApi::finishDownload);
    const QString picturePath = work.filePath(QStringLiteral("拍黄瓜.jpg"));
    ossApi.download(0, data.value(QStringLiteral("md50")), picturePath);
    QVERIFY(downloaded.wait(WAIT_MS));
    QCOMPARE(downloaded.takeFirst().mid(0, 2), (QVariantList{true, 0}));
    QCOMPARE(md5Hex(readFile(picturePath)), data.value(QStringLiteral("md50")));
}

void TestServerClients::siteRefusalsReachTheClientSignals_data()
{
    QTest::addColumn<QString>("username");
    QTest::addColumn<QString>("password");
    QTest::addColumn<QString>("number"); // empty: the login itself is refused
    QTest::addColumn<QByteArray>("signal");

    QTest::newRow("unknown account") << QStringLiteral("nobody") << DemoData::PASSWORD << QString()
                                     << QByteArray(SIGNAL(notExistsAccount()));
    QTest::newRow("wrong password") << DemoData::USERNAME << QStringLiteral("wrong") << QString()
                                    << QByteArray(SIGNAL(notMatchPassword()));
    QTest::newRow("unknown number") << DemoData::USERNAME << DemoData::PASSWORD << QStringLiteral("D404")
                                    << QByteArray(SIGNAL(notExistsTicket()));
    QTest::newRow("expired number") << DemoData::USERNAME << DemoData::PASSWORD << DemoData::EXPIRED_NUMBER
                                    << QByteArray(SIGNAL(ticketTimeout()));
}

void TestServerClients::siteRefusalsReachTheClientSignals()
{
    QFETCH(QString, username);
    QFETCH(QString, password);
    QFETCH(QString, number);
    QFETCH(QByteArray, signal);

    Api api;
    QSignalSpy refused(&api, signal.constData());
    QSignalSpy loggedIn(&api, &Api::successLogin);
    api.login(username, password);
    if (!number.isEmpty()) {
        QVERIFY(loggedIn.wait(WAIT_MS));
        api.download(number);
    }
    QVERIFY(refused.wait(WAIT_MS));
}

void TestServerClients::uploadSignedWithAnotherSecretFails()
{
    // The client signs with the compiled-in secret; a bucket that expects
    // another one refuses the form, and the client reports the failure.
    standIn.server().options().accessKeySecret = QStringLiteral("AnotherSecretKey0123456789abcd");
    const QString path = work.filePath(QStringLiteral("refused.bin"));
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("bytes");
    file.close();

    OSSApi ossApi;
    QSignalSpy uploaded(&ossApi, &OSSApi::finishUpload);
    ossApi.upload(3, md5Hex("bytes"), path);
    QVERIFY(uploaded.wait(WAIT_MS));
    QCOMPARE(uploaded.takeFirst().mid(0, 3), (QVariantList{false, 3, md5Hex("bytes")}));
    QVERIFY(!standIn.server().objectStore().contains(md5Hex("bytes")));
}

void TestServerClients::injectedFaultsAreFailuresForTheClients_data()
{
    QTest::addColumn<bool>("drop");
    QTest::newRow("answered 500") << false;
    QTest::newRow("dropped") << true;
}

void TestServerClients::injectedFaultsAreFailuresForTheClients()
{
    QFETCH(bool, drop);
    (drop ? standIn.server().options().dropShare : standIn.server().options().failShare) = 1.0;

    Api api;
    QSignalSpy serverError(&api, &Api::serverError);
    api.login(DemoData::USERNAME, DemoData::PASSWORD);
    QVERIFY(serverError.wait(WAIT_MS));

    OSSApi ossApi;
    QSignalSpy exists(&ossApi, &OSSApi::finishExists);
    const QString stored = standIn.server().objectStore().keys().first();
    ossApi.exists(1, stored);
    QVERIFY(exists.wait(WAIT_MS));
    QCOMPARE(exists.takeFirst().at(0).toBool(), false);
}

void TestServerClients::injectedDelayHoldsTheAnswer()
{
    const int delayMs = 300;
    standIn.server().options().delayMs = delayMs;
    Api api;
    QElapsedTimer timer;
    timer.start();
    QVERIFY(login(api));
    QVERIFY(timer.elapsed() >= delayMs);
}

QTEST_MAIN(TestServerClients)
#include "tst_server_clients.moc"
