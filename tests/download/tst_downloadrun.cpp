#include "api/api.h"
#include "base/runpolicy.h"
#include "base/transferoutcome.h"
#include "download/downloadrun.h"
#include "storage/ossapi.h"

#include "testhttpserver.h"
#include "testsupport.h"

#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <optional>

using namespace Qt::Literals::StringLiterals;

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

const QByteArray PICTURE_PREFIX = "http://img.zamtu.test/";
const QByteArray PICTURE_HOST = "img.zamtu.test";
const QByteArray NUMBER_QUERY = "/index.php?m=api&f=download&no=";
const QString SHEET_URI = u"/excel/sheet.xls"_s;
const QByteArray SHEET_BYTES = "<Workbook>表格</Workbook>";
const int SETTLE_MS = 10000;
// Short enough that a picture host that never answers is noticed quickly,
// long enough for any loopback answer.
const int SHORT_TIMEOUT_MS = 300;

const QString SUCCESS = u"下载成功"_s;
const QString FAILURE = u"下载失败"_s;
const QString STOPPED = u"已停止"_s;

struct Row
{
    QString category;
    QString name;
    QString md5;
};

QString keyOf(int i)
{
    return md5Hex(QByteArray::number(i));
}

QByteArray pictureBytes(const QByteArray &key)
{
    return "JPEG:" + key + QByteArray(4000, 'p');
}

// The summary with its seconds blanked out: "用时 X 秒".
QString withoutSeconds(QString summary)
{
    static const QRegularExpression seconds(u"用时 \\d+\\.\\d 秒"_s);
    return summary.replace(seconds, u"用时 X 秒"_s);
}

// Every file and folder below root, relative to it, sorted.
QStringList tree(const QString &root)
{
    QStringList entries;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext())
        entries.append(QDir(root).relativeFilePath(it.next()));
    entries.sort();
    return entries;
}

QStringList partFiles(const QString &root)
{
    return tree(root).filter(QRegularExpression(u"\\.part$"_s));
}

} // namespace

class TestDownloadRun : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();
    void cleanup();

    void pictureFailures_data();
    void pictureFailures();
    void pictureHostNeverAnswering_isGivenUpOnce();
    void atMostSixDownloadsInFlight();
    void countersAddUp();
    void spreadsheetFailure_isReportedAndRetried_data();
    void spreadsheetFailure_isReportedAndRetried();
    void stop_callsOffEverythingInFlight();
    void retryFailed_sendsOnlyTheFailedRows();

private:
    void setNumber(const QString &no, const QList<Row> &rows, bool withSheet = false);
    bool runNumber(const QString &no);
    bool waitForEnd(int ends);
    QStringList pictureRequests() const;
    int requestsFor(const QByteArray &target) const;
    QStringList statuses() const;
    QByteArray siteHost() const;
    void verifyCountersAddUp() const;

    TestHttpServer server;
    QHash<QString, QByteArray> numbers;
    QHash<QByteArray, ScriptedResponse> pictures;
    std::optional<ScriptedResponse> everyPicture; // answers every picture request when set
    ScriptedResponse sheetResponse;

    std::unique_ptr<QTemporaryDir> tempDir;
    std::unique_ptr<Api> api;
    std::unique_ptr<OSSApi> ossApi;
    std::unique_ptr<DownloadRun> run;
    std::unique_ptr<QSignalSpy> finished;
    std::unique_ptr<QSignalSpy> logLines;
    std::unique_ptr<QSignalSpy> notices;
};

void TestDownloadRun::initTestCase()
{
    // The run needs no display: nothing of Qt Gui is loaded.
    QVERIFY(QCoreApplication::instance());
    QVERIFY(!QCoreApplication::instance()->inherits("QGuiApplication"));

    // The picture host is a .test name, reached through the test server as an
    // HTTP proxy; the site is on loopback, which bypasses the proxy.
    qputenv("http_proxy", server.baseUrl().toLatin1());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
    writeSiteConfig(server.baseUrl());

    server.setHandler([this](const RecordedRequest &request) {
        if (request.target.startsWith(PICTURE_PREFIX)) {
            const QByteArray key = request.target.mid(PICTURE_PREFIX.size());
            if (everyPicture)
                return *everyPicture;
            return pictures.value(key, ScriptedResponse::ok(pictureBytes(key)));
        }
        if (request.target == SHEET_URI.toUtf8())
            return sheetResponse;
        if (request.target.startsWith(NUMBER_QUERY)) {
            const QString no = QUrl::fromPercentEncoding(request.target.mid(NUMBER_QUERY.size()));
            return ScriptedResponse::ok(numbers.value(no, "code=1003"));
        }
        return ScriptedResponse::withStatus(404);
    });
}

void TestDownloadRun::init()
{
    server.clear();
    numbers.clear();
    pictures.clear();
    everyPicture.reset();
    sheetResponse = ScriptedResponse::ok(SHEET_BYTES);
    tempDir = std::make_unique<QTemporaryDir>();
    QVERIFY(tempDir->isValid());
    api = std::make_unique<Api>();
    ossApi = std::make_unique<OSSApi>();
    run = std::make_unique<DownloadRun>(api.get(), ossApi.get());
    RunPolicy quick;
    quick.retryDelaysMs = {10, 20, 40};
    run->setPolicy(quick);
    finished = std::make_unique<QSignalSpy>(run.get(), &DownloadRun::finished);
    logLines = std::make_unique<QSignalSpy>(run.get(), &DownloadRun::logLine);
    notices = std::make_unique<QSignalSpy>(run.get(), &DownloadRun::notice);
}

void TestDownloadRun::cleanup()
{
    notices.reset();
    logLines.reset();
    finished.reset();
    run.reset();
    ossApi.reset();
    api.reset();
    tempDir.reset();
}

void TestDownloadRun::setNumber(const QString &no, const QList<Row> &rows, bool withSheet)
{
    QByteArray body = "code=0000";
    if (withSheet)
        body += "&uri=" + SHEET_URI.toUtf8();
    for (qsizetype i = 0; i < rows.size(); ++i) {
        const QByteArray n = QByteArray::number(i);
        body += "&category" + n + '=' + rows.at(i).category.toUtf8() + "&name" + n + '=' + rows.at(i).name.toUtf8()
            + "&md5" + n + '=' + rows.at(i).md5.toUtf8();
    }
    numbers.insert(no, body);
}

bool TestDownloadRun::runNumber(const QString &no)
{
    const int ends = int(finished->size());
    if (!run->start(no, tempDir->path()).isEmpty())
        return false;
    return waitForEnd(ends + 1);
}

bool TestDownloadRun::waitForEnd(int ends)
{
    return QTest::qWaitFor([this, ends] { return finished->size() >= ends; }, SETTLE_MS)
        && finished->size() == ends && !run->isRunning();
}

QStringList TestDownloadRun::pictureRequests() const
{
    QStringList keys;
    for (const RecordedRequest &request : server.requests()) {
        if (request.target.startsWith(PICTURE_PREFIX))
            keys.append(QString::fromLatin1(request.target.mid(PICTURE_PREFIX.size())));
    }
    return keys;
}

int TestDownloadRun::requestsFor(const QByteArray &target) const
{
    return int(std::count_if(server.requests().cbegin(), server.requests().cend(),
                             [&target](const RecordedRequest &r) { return r.target.startsWith(target); }));
}

QByteArray TestDownloadRun::siteHost() const
{
    return "127.0.0.1:" + QByteArray::number(server.port());
}

QStringList TestDownloadRun::statuses() const
{
    QStringList list;
    for (const DownloadRow &row : run->rows())
        list.append(row.status);
    return list;
}

void TestDownloadRun::verifyCountersAddUp() const
{
    const DownloadRun::Counters counts = run->counters();
    QCOMPARE(counts.succeeded + counts.failed + counts.notNeeded + counts.stopped, int(run->rows().size()));
    QCOMPARE(counts.finishedWanted, counts.wanted);
    QCOMPARE(int(statuses().count(SUCCESS)), counts.succeeded);
    QCOMPARE(int(statuses().count(FAILURE)), counts.failed);
    QCOMPARE(int(statuses().count(STOPPED)), counts.stopped);
}

void TestDownloadRun::pictureFailures_data()
{
    QTest::addColumn<ScriptedResponse>("failure");
    QTest::addColumn<bool>("recovers");            // answers 200 once the first retry is announced
    QTest::addColumn<QStringList>("retryReasons"); // one per retry line
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("reason");

    const QStringList none;
    QTest::newRow("503 then 200") << ScriptedResponse::withStatus(503) << true << QStringList{u"HTTP 503"_s}
                                  << SUCCESS << QString();
    QTest::newRow("429 then 200") << ScriptedResponse::withStatus(429) << true << QStringList{u"HTTP 429"_s}
                                  << SUCCESS << QString();
    QTest::newRow("dropped then 200") << ScriptedResponse::dropped() << true << QStringList{u"连接被关闭"_s}
                                      << SUCCESS << QString();
    QTest::newRow("403") << ScriptedResponse::withStatus(403, "denied") << false << none << FAILURE << u"HTTP 403"_s;
    QTest::newRow("404") << ScriptedResponse::withStatus(404, "no such key") << false << none << FAILURE
                         << u"HTTP 404"_s;
    QTest::newRow("503 every time") << ScriptedResponse::withStatus(503) << false
                                    << QStringList(3, u"HTTP 503"_s) << FAILURE << u"HTTP 503"_s;
    QTest::newRow("hanging") << ScriptedResponse::hanging() << false << QStringList(3, u"超时"_s) << FAILURE
                             << u"超时"_s;
    QTest::newRow("stalled mid-body") << ScriptedResponse::stalling(pictureBytes("x")) << false
                                      << QStringList(3, u"超时"_s) << FAILURE << u"超时"_s;
}

void TestDownloadRun::pictureFailures()
{
    QFETCH(ScriptedResponse, failure);
    QFETCH(bool, recovers);
    QFETCH(QStringList, retryReasons);
    QFETCH(QString, status);
    QFETCH(QString, reason);

    const QString key = keyOf(1);
    pictures.insert(key.toUtf8(), failure);
    if (recovers) {
        connect(run.get(), &DownloadRun::logLine, this,
                [this, key] { pictures.insert(key.toUtf8(), ScriptedResponse::ok(pictureBytes(key.toUtf8()))); });
    }
    ossApi->setTransferTimeout(SHORT_TIMEOUT_MS);
    setNumber(u"N"_s, {{u"热菜"_s, u"红烧肉"_s, key}});
    QSignalSpy tries(ossApi.get(), &OSSApi::finishDownload);
    QVERIFY(runNumber(u"N"_s));

    QStringList expectedLines;
    for (int i = 0; i < retryReasons.size(); ++i)
        expectedLines.append(u"第%1次重试：热菜/红烧肉（%2）"_s.arg(i + 1).arg(retryReasons.at(i)));
    QStringList lines;
    for (const QList<QVariant> &arguments : *logLines)
        lines.append(arguments.at(0).toString());
    QCOMPARE(lines, expectedLines);

    // Each try is a download of its own, under a new id.
    QList<int> ids;
    QList<int> expectedIds;
    for (const QList<QVariant> &arguments : tries)
        ids.append(arguments.at(1).toInt());
    for (int id = 1; id <= retryReasons.size() + 1; ++id)
        expectedIds.append(id);
    QCOMPARE(ids, expectedIds);
    // Every try is one request, except that the network layer itself sends
    // a request again when its connection drops.
    const int sent = int(pictureRequests().size());
    if (failure.drop)
        QVERIFY2(sent >= int(ids.size()), qPrintable(QString::number(sent)));
    else
        QCOMPARE(sent, int(ids.size()));

    QCOMPARE(run->rows().size(), 1);
    QCOMPARE(run->rows().at(0).status, status);
    QCOMPARE(run->rows().at(0).reason, reason);
    verifyCountersAddUp();
    const bool succeeded = status == SUCCESS;
    QCOMPARE(withoutSeconds(run->summary()),
             u"下载完毕：成功 %1，失败 %2，无需下载 0，用时 X 秒"_s.arg(succeeded ? 1 : 0).arg(succeeded ? 0 : 1));
    QCOMPARE(tree(tempDir->path()), succeeded ? (QStringList{u"热菜"_s, u"热菜/红烧肉.jpg"_s}) : QStringList{u"热菜"_s});
    if (succeeded)
        QCOMPARE(readFile(run->rows().at(0).path), pictureBytes(key.toUtf8()));
    QCOMPARE(run->hasRetryable(), !succeeded);
    QVERIFY(notices->isEmpty());

    // The outcome is final: nothing more is sent.
    QTest::qWait(100);
    QCOMPARE(int(pictureRequests().size()), sent);
    QCOMPARE(finished->size(), 1);
}

void TestDownloadRun::pictureHostNeverAnswering_isGivenUpOnce()
{
    QList<Row> rows;
    for (int i = 0; i < 30; ++i)
        rows.append({u"c"_s, u"n%1"_s.arg(i), keyOf(i)});
    setNumber(u"DOWN"_s, rows);
    everyPicture = ScriptedResponse::hanging();
    ossApi->setTransferTimeout(SHORT_TIMEOUT_MS);

    QElapsedTimer clock;
    clock.start();
    QVERIFY(runNumber(u"DOWN"_s));
    const qint64 tookMs = clock.elapsed();

    // Twelve transfers time out in two rounds of six; then the host is given up.
    QVERIFY2(tookMs < 10 * SHORT_TIMEOUT_MS, qPrintable(QString::number(tookMs)));
    QCOMPARE(run->rows().size(), 30);
    for (const DownloadRow &row : run->rows()) {
        QCOMPARE(row.status, FAILURE);
        QCOMPARE(row.reason, u"图片服务器无响应"_s);
    }
    QCOMPARE(notices->size(), 1);
    QCOMPARE(notices->at(0).at(0).toString(), u"图片服务器无响应（连续失败 12 次），本次不再向其发送"_s);
    QCOMPARE(logLines->size(), 11);
    verifyCountersAddUp();
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 0，失败 30，无需下载 0，用时 X 秒"_s);
    QVERIFY(server.mostInFlight(PICTURE_HOST) <= 6);
    QVERIFY(partFiles(tempDir->path()).isEmpty());

    // Nothing more goes to the host, and what was on the wire is called off.
    const int sent = int(pictureRequests().size());
    QVERIFY2(sent >= 12 && sent < 30, qPrintable(QString::number(sent)));
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight(PICTURE_HOST), 0, SETTLE_MS);
    QTest::qWait(2 * SHORT_TIMEOUT_MS);
    QCOMPARE(int(pictureRequests().size()), sent);
    QCOMPARE(notices->size(), 1);
    QCOMPARE(finished->size(), 1);
}

void TestDownloadRun::atMostSixDownloadsInFlight()
{
    QList<Row> rows;
    for (int i = 0; i < 20; ++i) {
        rows.append({u"c"_s, u"n%1"_s.arg(i), keyOf(i)});
        ScriptedResponse slow = ScriptedResponse::ok(pictureBytes(keyOf(i).toUtf8()));
        slow.delayMs = 50;
        pictures.insert(keyOf(i).toUtf8(), slow);
    }
    setNumber(u"MANY"_s, rows);
    QVERIFY(runNumber(u"MANY"_s));

    QCOMPARE(server.mostInFlight(PICTURE_HOST), 6);
    QCOMPARE(pictureRequests().size(), 20);
    QCOMPARE(statuses(), QStringList(20, SUCCESS));
    for (const DownloadRow &row : run->rows())
        QCOMPARE(readFile(row.path), pictureBytes(row.md5.toUtf8()));
    QCOMPARE(run->property("index").toInt(), 21);
    verifyCountersAddUp();
}

void TestDownloadRun::countersAddUp()
{
    pictures.insert(keyOf(2).toUtf8(), ScriptedResponse::withStatus(404));
    setNumber(u"MIX"_s, {{u"热菜"_s, u"红烧肉"_s, keyOf(1)},
                         {u"热菜"_s, u"糖醋鱼"_s, keyOf(2)},
                         {u"主食"_s, u"米饭"_s, u"MIAN"_s},
                         {u"点心"_s, u"包子"_s, u"NO_IMAGE"_s},
                         {u"点心"_s, u"短键"_s, u"abc"_s},
                         {u"凉菜"_s, u"../外面"_s, keyOf(3)},
                         {u"凉菜"_s, u"../免图"_s, u"MIAN"_s}},
              true);
    QVERIFY(runNumber(u"MIX"_s));

    QCOMPARE(statuses(), (QStringList{SUCCESS, FAILURE, u"免图"_s, u"暂不配图"_s, u"准备下载"_s, FAILURE, u"免图"_s}));
    QCOMPARE(run->rows().at(1).reason, u"HTTP 404"_s);
    QCOMPARE(run->rows().at(5).reason, u"名称不安全"_s);
    const DownloadRun::Counters counts = run->counters();
    QCOMPARE(counts.wanted, 2);
    QCOMPARE(counts.succeeded, 1);
    QCOMPARE(counts.failed, 2);
    QCOMPARE(counts.notNeeded, 4);
    QCOMPARE(counts.stopped, 0);
    QCOMPARE(counts.succeeded + counts.failed + counts.notNeeded + counts.stopped, int(run->rows().size()));
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 1，失败 2，无需下载 4，用时 X 秒"_s);
    QCOMPARE(pictureRequests(), (QStringList{keyOf(1), keyOf(2)}));
    QCOMPARE(readFile(tempDir->filePath(u"MIX.xls"_s)), SHEET_BYTES);

    // The result list holds one line per row under its header.
    const QList<QStringList> results = run->resultRows();
    QCOMPARE(results.size(), 8);
    QCOMPARE(results.at(0), (QStringList{u"分类"_s, u"菜名"_s, u"存储路径"_s, u"MD5"_s, u"状态"_s, u"原因"_s}));
    QCOMPARE(results.at(2), (QStringList{u"热菜"_s, u"糖醋鱼"_s, run->rows().at(1).path, keyOf(2), FAILURE,
                                         u"HTTP 404"_s}));
    QCOMPARE(results.at(6), (QStringList{u"凉菜"_s, u"../外面"_s, QString(), keyOf(3), FAILURE, u"名称不安全"_s}));
}

void TestDownloadRun::spreadsheetFailure_isReportedAndRetried_data()
{
    QTest::addColumn<ScriptedResponse>("failure");
    QTest::addColumn<bool>("unwritable"); // a folder stands where the spreadsheet goes
    QTest::addColumn<QString>("reason");

    QTest::newRow("404") << ScriptedResponse::withStatus(404) << false << u"HTTP 404"_s;
    QTest::newRow("500") << ScriptedResponse::withStatus(500) << false << u"HTTP 500"_s;
    QTest::newRow("unwritable") << ScriptedResponse::ok(SHEET_BYTES) << true << u"写入失败"_s;
}

void TestDownloadRun::spreadsheetFailure_isReportedAndRetried()
{
    QFETCH(ScriptedResponse, failure);
    QFETCH(bool, unwritable);
    QFETCH(QString, reason);

    sheetResponse = failure;
    const QString sheet = tempDir->filePath(u"S1.xls"_s);
    if (unwritable)
        QVERIFY(QDir().mkpath(sheet));
    setNumber(u"S1"_s, {{u"c"_s, u"n"_s, keyOf(1)}}, true);
    QVERIFY(runNumber(u"S1"_s));

    const QString problem = u"表格下载失败（"_s + reason + u"）"_s;
    QCOMPARE(notices->size(), 1);
    QCOMPARE(notices->at(0).at(0).toString(), problem);
    QCOMPARE(run->spreadsheetProblem(), problem);
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 1，失败 0，无需下载 0，用时 X 秒；"_s + problem);
    QVERIFY(run->hasRetryable());
    QCOMPARE(requestsFor(SHEET_URI.toUtf8()), 1);

    // The retry fetches the spreadsheet alone, without asking for the number.
    sheetResponse = ScriptedResponse::ok(SHEET_BYTES);
    if (unwritable)
        QVERIFY(QDir(sheet).removeRecursively());
    server.clear();
    run->retryFailed();
    QVERIFY(run->isRunning());
    QVERIFY(waitForEnd(2));

    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(requestsFor(SHEET_URI.toUtf8()), 1);
    QCOMPARE(readFile(sheet), SHEET_BYTES);
    QCOMPARE(run->spreadsheetProblem(), QString());
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 1，失败 0，无需下载 0，用时 X 秒"_s);
    QVERIFY(!run->hasRetryable());
    QCOMPARE(notices->size(), 1);
}

void TestDownloadRun::stop_callsOffEverythingInFlight()
{
    // The first row's 503 schedules a retry far enough away to come after the stop.
    RunPolicy slowRetry;
    slowRetry.retryDelaysMs = {400};
    run->setPolicy(slowRetry);
    QList<Row> rows;
    for (int i = 0; i < 10; ++i) {
        rows.append({u"c"_s, u"n%1"_s.arg(i), keyOf(i)});
        pictures.insert(keyOf(i).toUtf8(), ScriptedResponse::stalling(pictureBytes(keyOf(i).toUtf8())));
    }
    pictures.insert(keyOf(0).toUtf8(), ScriptedResponse::withStatus(503));
    // The spreadsheet would come after the stop.
    sheetResponse.delayMs = 500;
    setNumber(u"STOP"_s, rows, true);

    QVERIFY(run->start(u"STOP"_s, tempDir->path()).isEmpty());
    QTRY_COMPARE_WITH_TIMEOUT(logLines->size(), 1, SETTLE_MS);
    // Six pictures under way, each with half its bytes in a part file.
    QTRY_COMPARE_WITH_TIMEOUT(partFiles(tempDir->path()).size(), 6, SETTLE_MS);
    QCOMPARE(server.inFlight(PICTURE_HOST), 6);
    QCOMPARE(requestsFor(SHEET_URI.toUtf8()), 1);
    const int sent = server.requestCount();

    run->stop();
    QCOMPARE(finished->size(), 1);
    QVERIFY(!run->isRunning());
    QVERIFY(run->wasStopped());
    QCOMPARE(statuses(), QStringList(10, STOPPED));
    verifyCountersAddUp();
    QVERIFY(partFiles(tempDir->path()).isEmpty());
    QCOMPARE(tree(tempDir->path()), QStringList{u"c"_s});
    QCOMPARE(withoutSeconds(run->summary()),
             u"下载已停止：成功 0，失败 0，无需下载 0，已停止 10，用时 X 秒；表格下载失败（已停止）"_s);

    // The connections are closed, and nothing more is sent or written:
    // neither the pictures that were waiting, nor the retry, nor the spreadsheet.
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight(PICTURE_HOST), 0, SETTLE_MS);
    QTRY_COMPARE_WITH_TIMEOUT(server.inFlight(siteHost()), 0, SETTLE_MS);
    QTest::qWait(600);
    QCOMPARE(server.requestCount(), sent);
    QCOMPARE(tree(tempDir->path()), QStringList{u"c"_s});
    QCOMPARE(logLines->size(), 1);
    QCOMPARE(finished->size(), 1);
    QVERIFY(notices->isEmpty());

    // What was stopped can be fetched again, and the whole run then adds up.
    pictures.clear();
    sheetResponse.delayMs = 0;
    QVERIFY(run->hasRetryable());
    run->retryFailed();
    QVERIFY(waitForEnd(2));
    QCOMPARE(statuses(), QStringList(10, SUCCESS));
    verifyCountersAddUp();
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 10，失败 0，无需下载 0，用时 X 秒"_s);
    QCOMPARE(readFile(tempDir->filePath(u"STOP.xls"_s)), SHEET_BYTES);
    QCOMPARE(requestsFor(NUMBER_QUERY), 1);
}

void TestDownloadRun::retryFailed_sendsOnlyTheFailedRows()
{
    pictures.insert(keyOf(2).toUtf8(), ScriptedResponse::withStatus(404));
    setNumber(u"R"_s, {{u"c"_s, u"好"_s, keyOf(1)}, {u"c"_s, u"坏"_s, keyOf(2)}, {u"c"_s, u"免"_s, u"MIAN"_s}});
    QSignalSpy tries(ossApi.get(), &OSSApi::finishDownload);
    QVERIFY(runNumber(u"R"_s));
    QCOMPARE(statuses(), (QStringList{SUCCESS, FAILURE, u"免图"_s}));
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 1，失败 1，无需下载 1，用时 X 秒"_s);
    QVERIFY(run->hasRetryable());
    const qint64 firstMs = run->elapsedMs();

    pictures.clear();
    server.clear();
    run->retryFailed();
    QVERIFY(run->isRunning());
    QVERIFY(!run->hasRetryable());
    QCOMPARE(run->counters().failed, 0);
    QVERIFY(waitForEnd(2));

    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(pictureRequests(), QStringList{keyOf(2)});
    QCOMPARE(tries.size(), 3);
    QCOMPARE(tries.at(2).at(1).toInt(), 3); // a new id, none reused
    QCOMPARE(statuses(), (QStringList{SUCCESS, SUCCESS, u"免图"_s}));
    QCOMPARE(run->rows().at(1).reason, QString());
    QCOMPARE(readFile(run->rows().at(1).path), pictureBytes(keyOf(2).toUtf8()));
    verifyCountersAddUp();
    QCOMPARE(run->counters().succeeded, 2);
    QCOMPARE(withoutSeconds(run->summary()), u"下载完毕：成功 2，失败 0，无需下载 1，用时 X 秒"_s);
    QVERIFY(run->elapsedMs() >= firstMs);
    QVERIFY(!run->hasRetryable());

    // Nothing left to retry: nothing is sent.
    run->retryFailed();
    QVERIFY(!run->isRunning());
    QTest::qWait(50);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(finished->size(), 2);
}

QTEST_GUILESS_MAIN(TestDownloadRun)
#include "tst_downloadrun.moc"
