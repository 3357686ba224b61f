// The upload run on its own, with QCoreApplication alone: no widget, no
// display. The storage, picture host and site are one scripted loopback server.

#include "picturefiles.h"
#include "storagestandin.h"

#include "api/api.h"
#include "base/transferoutcome.h"
#include "storage/ossapi.h"
#include "store/database.h"
#include "store/imagequeue.h"
#include "upload/filemd5.h"
#include "upload/uploadrun.h"

#include <QGuiApplication>
#include <QSignalSpy>
#include <QSqlQuery>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

Q_DECLARE_METATYPE(StorageStandIn::Service)
Q_DECLARE_METATYPE(QList<ScriptedResponse>)

namespace {

const int SHORT_TIMEOUT_MS = 250;
const int RUN_MS = 20000;
const QString RETRY = QStringLiteral("第");

// Statuses of the queue rows, keyed by id.
QMap<int, QString> statuses()
{
    QMap<int, QString> result;
    QSqlQuery query(QStringLiteral("select id, status from image"));
    while (query.next())
        result.insert(query.value(0).toInt(), query.value(1).toString());
    return result;
}

ScriptedResponse status(int code)
{
    return ScriptedResponse::withStatus(code, "<Error/>");
}

} // namespace

class TestUploadRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void fileMd5IsTheDigestOfTheWholeFile_data();
    void fileMd5IsTheDigestOfTheWholeFile();
    void runsWithoutWidgetsAndReportsEachOutcome();
    void transientFailuresAreRetriedOthersNot_data();
    void transientFailuresAreRetriedOthersNot();
    void droppedConnectionIsRetried();
    void hangingUploadEndsAsTimeOut();
    void everyThirdStorageConnectionDroppedStillUploadsAll();
    void failedRegistrationEndsThePicture_data();
    void failedRegistrationEndsThePicture();
    void serviceThatNeverAnswersIsGivenUp_data();
    void serviceThatNeverAnswersIsGivenUp();
    void unreadablePictureEndsAsFailureWithoutRequests_data();
    void unreadablePictureEndsAsFailureWithoutRequests();
    void stopEndsEveryPictureAndSendsNothingMore();
    void retrySendsOnlyWhatFailed();
    void resultRowsListEveryPicture();

private:
    QList<QString> makePictures(int count);
    void startRun();
    bool waitForEnd(int timeoutMs = RUN_MS);
    QStringList linesFor(const QString &path) const;
    int retryLines() const;

    StorageStandIn standIn;
    std::unique_ptr<QTemporaryDir> dataDir;
    std::unique_ptr<QTemporaryDir> picturesDir;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<UploadRun> run;
    QStringList log;
    QStringList notices;
    QStringList paths; // by id - 1
};

void TestUploadRun::initTestCase()
{
    QVERIFY(!qobject_cast<QGuiApplication *>(QCoreApplication::instance()));
    standIn.install();
}

void TestUploadRun::init()
{
    dataDir = std::make_unique<QTemporaryDir>();
    picturesDir = std::make_unique<QTemporaryDir>();
    QVERIFY(dataDir->isValid() && picturesDir->isValid());
    openDatabase(dataDir->path());
    standIn.reset();
    api = std::make_unique<Api>();
    ossApi = std::make_unique<OSSApi>();
    api->setTransferTimeout(SHORT_TIMEOUT_MS);
    ossApi->setTransferTimeout(SHORT_TIMEOUT_MS);
    run = std::make_unique<UploadRun>(api.get(), ossApi.get());
    RunPolicy policy;
    policy.retryDelaysMs = {20, 40, 80};
    run->setPolicy(policy);
    log.clear();
    notices.clear();
    paths.clear();
    connect(run.get(), &UploadRun::logLine, this, [this](const QString &line) { log.append(line); });
    connect(run.get(), &UploadRun::notice, this, [this](const QString &line) { notices.append(line); });
}

void TestUploadRun::cleanup()
{
    run.reset();
    ossApi.reset();
    api.reset();
    picturesDir.reset();
    dataDir.reset();
}

// Pictures with names in id order and an MD5 each; returns the MD5s by id - 1.
QList<QString> TestUploadRun::makePictures(int count)
{
    const QByteArray png = pngBytes(1500, 600);
    QList<QString> md5s;
    for (int i = 0; i < count; ++i) {
        const QByteArray bytes = png + QByteArray::number(i);
        paths.append(writeFile(picturesDir->filePath(QStringLiteral("图片%1.png").arg(i, 3, 10, QLatin1Char('0'))), bytes));
        md5s.append(md5Hex(bytes));
    }
    return md5s;
}

void TestUploadRun::startRun()
{
    run->start(picturesDir->path());
}

bool TestUploadRun::waitForEnd(int timeoutMs)
{
    return QTest::qWaitFor([this] { return !run->isRunning(); }, timeoutMs);
}

QStringList TestUploadRun::linesFor(const QString &path) const
{
    QStringList lines;
    for (const QString &line : log) {
        const qsizetype at = line.indexOf(QStringLiteral("：") + path);
        if (at >= 0)
            lines.append(line.left(at + 1) + line.mid(at + 1 + path.size()));
    }
    return lines;
}

int TestUploadRun::retryLines() const
{
    return int(std::count_if(log.cbegin(), log.cend(), [](const QString &line) { return line.startsWith(RETRY); }));
}

void TestUploadRun::fileMd5IsTheDigestOfTheWholeFile_data()
{
    QTest::addColumn<int>("size");
    const int chunk = 256 * 1024; // what the hash reads at a time
    for (int size : {0, 1, chunk - 1, chunk, chunk + 1, 4 * chunk + 7})
        QTest::addRow("%d bytes", size) << size;
}

void TestUploadRun::fileMd5IsTheDigestOfTheWholeFile()
{
    QFETCH(int, size);
    QByteArray bytes(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        bytes[i] = char((i * 7919) % 251);
    const QString path = writeFile(picturesDir->filePath(QStringLiteral("摘要.bin")), bytes);
    QCOMPARE(fileMd5(path), md5Hex(bytes));
    QVERIFY(fileMd5(picturesDir->filePath(QStringLiteral("没有.bin"))).isEmpty());
    QVERIFY(fileMd5(picturesDir->path()).isEmpty());
}

void TestUploadRun::runsWithoutWidgetsAndReportsEachOutcome()
{
    const QList<QString> md5 = makePictures(4);
    standIn.stored.insert(md5.at(0));
    standIn.failingUploads.insert(md5.at(1));
    standIn.refusedRegistrations.insert(md5.at(2));
    QSignalSpy finished(run.get(), &UploadRun::finished);
    QSignalSpy finals(run.get(), &UploadRun::pictureFinished);

    startRun();
    QVERIFY(run->isRunning() && run->isWalking());
    QVERIFY(waitForEnd());

    QCOMPARE(finished.count(), 1);
    QCOMPARE(finals.count(), 4);
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_OSS_FAILED},
                                             {3, STATUS_REGISTER_FAILED}, {4, STATUS_UPLOADED}}));
    const UploadRun::Counters counts = run->counters();
    QCOMPARE(counts.total, 4);
    QCOMPARE(counts.exists, 1);
    QCOMPARE(counts.error, 2);
    QCOMPARE(counts.success, 1);
    QCOMPARE(counts.exists + counts.error + counts.success, counts.total);

    QCOMPARE(linesFor(paths.at(0)), (QStringList{"开始上传：", "图片已存在："}));
    QCOMPARE(linesFor(paths.at(1)), (QStringList{"开始上传：", "发送图片：", "发送失败：（HTTP 403）"}));
    QCOMPARE(linesFor(paths.at(2)), (QStringList{"开始上传：", "发送图片：", "发送成功：", "登记失败：（返回码 9001）"}));
    QCOMPARE(linesFor(paths.at(3)), (QStringList{"开始上传：", "发送图片：", "发送成功：", "上传成功："}));
    QCOMPARE(log.count(QStringLiteral("图片读取完毕！")), 1);
    QVERIFY2(run->summary().startsWith(QStringLiteral("上传完毕：总图片 4，已经存在 1，上传失败 2，上传成功 1，用时 ")),
             qPrintable(run->summary()));
    QCOMPARE(run->picture(2)->reason, QStringLiteral("HTTP 403"));
    QVERIFY(run->hasRetryable());

    // No handler ran inside another: nothing nested an event loop while the
    // server was answering the test's own loop.
    QCOMPARE(standIn.deepestLoopLevel, 0);
}

void TestUploadRun::transientFailuresAreRetriedOthersNot_data()
{
    QTest::addColumn<StorageStandIn::Service>("service");
    QTest::addColumn<QList<ScriptedResponse>>("answers");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<int>("probes");
    QTest::addColumn<int>("uploads");
    QTest::addColumn<int>("retries");

    using S = StorageStandIn;
    const ScriptedResponse ok = ScriptedResponse::withStatus(204);
    const ScriptedResponse absent = status(404);

    QTest::newRow("upload 503 then 204") << S::Upload << QList<ScriptedResponse>{status(503), ok} << STATUS_UPLOADED << QString() << 1 << 2 << 1;
    QTest::newRow("upload 429 then 204") << S::Upload << QList<ScriptedResponse>{status(429), ok} << STATUS_UPLOADED << QString() << 1 << 2 << 1;
    QTest::newRow("upload 403 is final") << S::Upload << QList<ScriptedResponse>{status(403), ok} << STATUS_OSS_FAILED << "HTTP 403" << 1 << 1 << 0;
    QTest::newRow("upload 400 is final") << S::Upload << QList<ScriptedResponse>{status(400), ok} << STATUS_OSS_FAILED << "HTTP 400" << 1 << 1 << 0;
    QTest::newRow("upload 500 every time") << S::Upload << QList<ScriptedResponse>{status(500)} << STATUS_OSS_FAILED << "HTTP 500" << 1 << 4 << 3;
    QTest::newRow("probe 503 then absent") << S::Probe << QList<ScriptedResponse>{status(503), absent} << STATUS_UPLOADED << QString() << 2 << 1 << 1;
    QTest::newRow("probe absent is no failure") << S::Probe << QList<ScriptedResponse>{absent} << STATUS_UPLOADED << QString() << 1 << 1 << 0;
    QTest::newRow("probe 500 every time counts as absent") << S::Probe << QList<ScriptedResponse>{status(500)} << STATUS_UPLOADED << QString() << 4 << 1 << 3;
    QTest::newRow("probe 503 then stored") << S::Probe << QList<ScriptedResponse>{status(503), ScriptedResponse::ok("GIF89a")} << STATUS_EXISTS << QString() << 2 << 0 << 1;
}

void TestUploadRun::transientFailuresAreRetriedOthersNot()
{
    QFETCH(StorageStandIn::Service, service);
    QFETCH(QList<ScriptedResponse>, answers);
    QFETCH(QString, status);
    QFETCH(QString, reason);
    QFETCH(int, probes);
    QFETCH(int, uploads);
    QFETCH(int, retries);

    const QList<QString> md5 = makePictures(1);
    standIn.script(service, md5.first(), answers);
    startRun();
    QVERIFY(waitForEnd());

    QCOMPARE(statuses(), (QMap<int, QString>{{1, status}}));
    QCOMPARE(run->picture(1)->reason, reason);
    QCOMPARE(standIn.requestsFor(StorageStandIn::Probe), probes);
    QCOMPARE(standIn.requestsFor(StorageStandIn::Upload), uploads);
    QCOMPARE(standIn.requestsFor(StorageStandIn::Registration), status == STATUS_UPLOADED ? 1 : 0);
    QCOMPARE(retryLines(), retries);
    for (int attempt = 1; attempt <= retries; ++attempt)
        QVERIFY(log.filter(QStringLiteral("第%1次重试：").arg(attempt) + paths.first()).size() == 1);
}

void TestUploadRun::droppedConnectionIsRetried()
{
    // The network layer itself sends a request again when its connection
    // closes unanswered, as often as it sees fit: enough drops reach the run.
    const QList<QString> md5 = makePictures(1);
    const ScriptedResponse drop = ScriptedResponse::dropped();
    standIn.script(StorageStandIn::Upload, md5.first(), {drop, drop, drop, drop, drop, ScriptedResponse::withStatus(204)});
    startRun();
    QVERIFY(waitForEnd());

    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_UPLOADED}}));
    QVERIFY(retryLines() >= 1);
    QCOMPARE(log.filter(QStringLiteral("第1次重试：") + paths.first() + QStringLiteral("（连接被关闭）")).size(), 1);
    QCOMPARE(standIn.uploads.size(), 6);
}

void TestUploadRun::everyThirdStorageConnectionDroppedStillUploadsAll()
{
    const int pictures = 60;
    const QList<QString> md5 = makePictures(pictures);
    standIn.dropEveryNth = 3;
    startRun();
    QVERIFY(waitForEnd());

    const QMap<int, QString> final = statuses();
    QCOMPARE(final.size(), pictures);
    for (const QString &each : final)
        QCOMPARE(each, STATUS_UPLOADED);
    QCOMPARE(run->counters().success, pictures);
    QVERIFY(notices.isEmpty());
    // Each picture is in the bucket under its key and registered once.
    QCOMPARE(QSet<QString>(standIn.uploads.cbegin(), standIn.uploads.cend()),
             QSet<QString>(md5.cbegin(), md5.cend()));
    QCOMPARE(standIn.registrations.size(), pictures);
}

void TestUploadRun::hangingUploadEndsAsTimeOut()
{
    const QList<QString> md5 = makePictures(1);
    standIn.script(StorageStandIn::Upload, md5.first(), {ScriptedResponse::hanging()});
    startRun();
    QVERIFY(waitForEnd());

    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_OSS_FAILED}}));
    QCOMPARE(run->picture(1)->reason, QStringLiteral("超时"));
    QCOMPARE(standIn.uploads.size(), 4); // the first try and three more
    QCOMPARE(linesFor(paths.first()).last(), QStringLiteral("发送失败：（超时）"));
    QCOMPARE(run->counters().error, 1);
}

void TestUploadRun::failedRegistrationEndsThePicture_data()
{
    QTest::addColumn<ScriptedResponse>("answer");
    QTest::addColumn<QString>("reason");

    QTest::newRow("9001") << ScriptedResponse::ok("code=9001") << "返回码 9001";
    QTest::newRow("1003") << ScriptedResponse::ok("code=1003") << "返回码 1003";
    QTest::newRow("8002") << ScriptedResponse::ok("code=8002") << "返回码 8002";
    QTest::newRow("empty body") << ScriptedResponse::ok({}) << "空回复";
    QTest::newRow("no code") << ScriptedResponse::ok("token=x") << "无返回码";
    QTest::newRow("HTTP 500") << status(500) << "HTTP 500";
    QTest::newRow("dropped connection") << ScriptedResponse::dropped() << "连接被关闭";
    QTest::newRow("hanging") << ScriptedResponse::hanging() << "超时";
}

void TestUploadRun::failedRegistrationEndsThePicture()
{
    QFETCH(ScriptedResponse, answer);
    QFETCH(QString, reason);

    const QList<QString> md5 = makePictures(3);
    standIn.script(StorageStandIn::Registration, md5.at(1), {answer});
    QSignalSpy failed(api.get(), &Api::failOss);
    startRun();
    QVERIFY(waitForEnd());

    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_UPLOADED}, {2, STATUS_REGISTER_FAILED}, {3, STATUS_UPLOADED}}));
    QCOMPARE(run->picture(2)->reason, reason);
    QCOMPARE(linesFor(paths.at(1)).last(), QStringLiteral("登记失败：（") + reason + QStringLiteral("）"));
    const UploadRun::Counters counts = run->counters();
    QCOMPARE(counts.error, 1);
    QCOMPARE(counts.success, 2);
    QCOMPARE(counts.exists + counts.error + counts.success, counts.total);
    // Never sent again by itself: the site may have recorded it already.
    QCOMPARE(failed.count(), 1);
    QCOMPARE(retryLines(), 0);
}

void TestUploadRun::serviceThatNeverAnswersIsGivenUp_data()
{
    QTest::addColumn<StorageStandIn::Service>("service");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("notice");

    QTest::newRow("bucket") << StorageStandIn::Upload << STATUS_OSS_FAILED
                            << "存储桶无响应（连续失败 12 次），本次不再向其发送";
    QTest::newRow("site") << StorageStandIn::Registration << STATUS_REGISTER_FAILED
                          << "站点无响应（连续失败 12 次），本次不再向其发送";
    QTest::newRow("picture host") << StorageStandIn::Probe << STATUS_OSS_FAILED
                                  << "图片服务器无响应（连续失败 12 次），本次不再向其发送";
}

void TestUploadRun::serviceThatNeverAnswersIsGivenUp()
{
    QFETCH(StorageStandIn::Service, service);
    QFETCH(QString, status);
    QFETCH(QString, notice);

    const int pictures = 30;
    makePictures(pictures);
    standIn.answerAll(service, ScriptedResponse::hanging());
    startRun();
    // Each try waits out its time-out: were every picture tried, the run
    // would take thirty time-outs at the least.
    QVERIFY(waitForEnd(pictures * SHORT_TIMEOUT_MS));

    const QMap<int, QString> final = statuses();
    QCOMPARE(final.size(), pictures);
    for (const QString &each : final)
        QCOMPARE(each, status);
    QCOMPARE(notices, QStringList{notice});
    QVERIFY2(standIn.requestsFor(service) < pictures, QByteArray::number(standIn.requestsFor(service)).constData());
    QCOMPARE(run->counters().error, pictures);
    QVERIFY(run->picture(pictures)->reason.endsWith(QStringLiteral("无响应")));
    // However many were waiting, no more than six were on the wire to one host.
    for (const char *host : {"img.zamtu.test", "zamtu.oss.zamtu.test"})
        QVERIFY(standIn.server.mostInFlight(host) <= 6);
}

void TestUploadRun::unreadablePictureEndsAsFailureWithoutRequests_data()
{
    QTest::addColumn<QString>("kind");
    QTest::newRow("file removed after the scan") << "removed";
    QTest::newRow("path is a folder") << "folder";
    QTest::newRow("queue row missing") << "no row";
}

void TestUploadRun::unreadablePictureEndsAsFailureWithoutRequests()
{
    QFETCH(QString, kind);
    const QString path = picturesDir->filePath(QStringLiteral("不见了.png"));
    if (kind == QLatin1String("folder"))
        QVERIFY(QDir().mkpath(path));
    if (kind != QLatin1String("no row"))
        insertImage(1, QStringLiteral("不见了.png"), path);
    QSignalSpy finals(run.get(), &UploadRun::pictureFinished);

    run->readImage(1);

    QCOMPARE(finals.count(), 1);
    QCOMPARE(log, QStringList{kind == QLatin1String("no row") ? QStringLiteral("找不到图片记录：1")
                                                             : QStringLiteral("读取失败：") + path});
    QCOMPARE(run->counters().error, 1);
    QCOMPARE(run->picture(1)->status, STATUS_READ_FAILED);
    if (kind != QLatin1String("no row"))
        QCOMPARE(findImageById(1).status, STATUS_READ_FAILED);
    QTest::qWait(100); // time for a stray request to arrive
    QCOMPARE(standIn.server.requestCount(), 0);
}

void TestUploadRun::stopEndsEveryPictureAndSendsNothingMore()
{
    const QList<QString> md5 = makePictures(20);
    // One picture stored before, one waiting to be tried again, the rest
    // stuck on the wire or in the queue behind it.
    standIn.stored.insert(md5.at(0));
    standIn.script(StorageStandIn::Probe, md5.at(1), {status(503), status(404)});
    standIn.answerAll(StorageStandIn::Upload, ScriptedResponse::hanging());
    ossApi->setTransferTimeout(60000);
    RunPolicy slowRetries;
    slowRetries.retryDelaysMs = {500};
    run->setPolicy(slowRetries);
    QSignalSpy finished(run.get(), &UploadRun::finished);

    startRun();
    QTRY_COMPARE_WITH_TIMEOUT(standIn.server.inFlight("zamtu.oss.zamtu.test"), 6, RUN_MS);
    QTRY_COMPARE(run->picture(2)->attempt, 1);
    run->stop();

    QCOMPARE(finished.count(), 1);
    QVERIFY(!run->isRunning());
    QVERIFY(run->wasStopped());
    QMap<int, QString> expected;
    for (int id = 1; id <= 20; ++id)
        expected.insert(id, id == 1 ? STATUS_EXISTS : STATUS_STOPPED);
    QCOMPARE(statuses(), expected);
    const UploadRun::Counters counts = run->counters();
    QCOMPARE(counts.stopped, 19);
    QCOMPARE(counts.exists + counts.stopped, counts.total);
    QVERIFY2(run->summary().startsWith(QStringLiteral("上传已停止：总图片 20，已经存在 1，上传失败 0，上传成功 0，已停止 19，")),
             qPrintable(run->summary()));

    // The connections of the requests called off close; a request on its way
    // before the stop arrives before its connection's end. Nothing more goes out.
    QTRY_COMPARE(standIn.server.inFlight("zamtu.oss.zamtu.test") + standIn.server.inFlight("img.zamtu.test"), 0);
    const int sent = standIn.server.requestCount();
    QTest::qWait(700); // longer than the pause before the pending retry
    QCOMPARE(standIn.server.requestCount(), sent);
    QCOMPARE(run->hasRetryable(), true);
}

void TestUploadRun::retrySendsOnlyWhatFailed()
{
    const QList<QString> md5 = makePictures(5);
    standIn.stored.insert(md5.at(0));                                        // 1 exists
    standIn.script(StorageStandIn::Upload, md5.at(2), {status(403), ScriptedResponse::withStatus(204)});
    standIn.script(StorageStandIn::Registration, md5.at(3), {ScriptedResponse::ok("code=9001"), ScriptedResponse::ok("code=0000")});
    standIn.script(StorageStandIn::Upload, md5.at(4), {status(403), ScriptedResponse::withStatus(204)});
    startRun();
    QVERIFY(waitForEnd());
    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_UPLOADED}, {3, STATUS_OSS_FAILED},
                                             {4, STATUS_REGISTER_FAILED}, {5, STATUS_OSS_FAILED}}));
    QVERIFY(run->hasRetryable());
    standIn.server.clear();
    standIn.probes.clear();
    standIn.uploads.clear();
    standIn.registrations.clear();

    QSignalSpy finished(run.get(), &UploadRun::finished);
    run->retryFailed();
    QVERIFY(run->isRunning());
    QVERIFY(finished.wait(RUN_MS));

    QCOMPARE(statuses(), (QMap<int, QString>{{1, STATUS_EXISTS}, {2, STATUS_UPLOADED}, {3, STATUS_UPLOADED},
                                             {4, STATUS_UPLOADED}, {5, STATUS_UPLOADED}}));
    // Only the failed ones went out again; the one in the bucket already was
    // registered without being sent again.
    auto sorted = [](QStringList list) {
        list.sort();
        return list;
    };
    QCOMPARE(sorted(standIn.probes), sorted({md5.at(2), md5.at(4)}));
    QCOMPARE(sorted(standIn.uploads), sorted({md5.at(2), md5.at(4)}));
    QStringList registered;
    for (const auto &registration : std::as_const(standIn.registrations))
        registered.append(registration.first);
    QCOMPARE(sorted(registered), sorted({md5.at(2), md5.at(3), md5.at(4)}));

    // The counters and the summary speak of the whole run.
    const UploadRun::Counters counts = run->counters();
    QCOMPARE(counts.total, 5);
    QCOMPARE(counts.exists, 1);
    QCOMPARE(counts.error, 0);
    QCOMPARE(counts.success, 4);
    QVERIFY2(run->summary().startsWith(QStringLiteral("上传完毕：总图片 5，已经存在 1，上传失败 0，上传成功 4，")),
             qPrintable(run->summary()));
    QVERIFY(!run->hasRetryable());
    QCOMPARE(log.count(QStringLiteral("图片读取完毕！")), 1);
}

void TestUploadRun::resultRowsListEveryPicture()
{
    const QList<QString> md5 = makePictures(2);
    standIn.failingUploads.insert(md5.at(1));
    startRun();
    QVERIFY(waitForEnd());

    const QList<QStringList> rows = run->resultRows();
    QCOMPARE(rows.size(), 3);
    QCOMPARE(rows.at(0), (QStringList{"编号", "文件名", "路径", "MD5", "状态", "原因"}));
    QCOMPARE(rows.at(1), (QStringList{"1", "图片000.png", paths.at(0), md5.at(0), STATUS_UPLOADED, QString()}));
    QCOMPARE(rows.at(2), (QStringList{"2", "图片001.png", paths.at(1), md5.at(1), STATUS_OSS_FAILED, "HTTP 403"}));
}

QTEST_GUILESS_MAIN(TestUploadRun)
#include "tst_uploadrun.moc"
