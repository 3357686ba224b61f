#include "storage/ossapi.h"

#include "base/constants.h"
#include "base/transferoutcome.h"
#include "testhttpserver.h"
#include "testsupport.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMessageAuthenticationCode>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

Q_DECLARE_METATYPE(ScriptedResponse)

namespace {

const char POLICY_TEXT[] = "{\"expiration\": \"2120-01-01T12:00:00.000Z\",\"conditions\": "
                           "[[\"content-length-range\", 0, 104857600]]}";
const char BOUNDARY[] = "9431149156168";
const char PROBE_QUERY[] = "?x-oss-process=image/resize,m_lfit,h_1,w_1";
const char DEFAULT_UPLOAD_URL[] = "http://zamtu.oss.zamtu.test/";
const char MD5_A[] = "0123456789abcdef0123456789abcdef";
const char MD5_B[] = "fedcba9876543210fedcba9876543210";
const char OLD_PICTURE[] = "the picture that was there before";
const int SIGNAL_TIMEOUT_MS = 10000;

bool writeFile(const QString &path, const QByteArray &content)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(content) == content.size();
}

// Bytes that differ from position to position, so a shifted or dropped block shows.
QByteArray patternBytes(qsizetype size)
{
    QByteArray bytes(size, Qt::Uninitialized);
    quint32 state = 2463534242u;
    for (qsizetype i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        bytes[i] = char(state & 0xff);
    }
    return bytes;
}

QByteArray textPart(const QByteArray &name, const QByteArray &value)
{
    return QByteArray("--") + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"" + name
        + "\"\r\n\r\n" + value + "\r\n";
}

// A finish signal's tags (success, id and, for probes and uploads, md5),
// without the outcome that comes last.
QVariantList tags(const QList<QVariant> &arguments)
{
    return arguments.mid(0, arguments.size() - 1);
}

TransferOutcome outcomeOf(const QList<QVariant> &arguments)
{
    return arguments.last().value<TransferOutcome>();
}

// The header lines of a request in the order they arrived (request line left out).
QList<QByteArray> headerNames(const RecordedRequest &request)
{
    QList<QByteArray> names;
    for (const auto &header : request.headers)
        names.append(header.first.toLower());
    return names;
}

} // namespace

class TestOssApi : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void init();

    void hmacSha1_agreesWithRfc2202_data();
    void hmacSha1_agreesWithRfc2202();
    void sign_fixedPolicyUnderKnownSecret();

    void upload_sendsExactFormRequest();
    void upload_streamsLargeFileIntact();
    void upload_unopenableFile_reportsFailureWithoutSending();

    void outcomes_data();
    void outcomes();

    void replies_finishingInReverseOrder_areMatchedByTheirTags();
    void download_unwritableTarget_reportsFailureAndLeavesNothing_data();
    void download_unwritableTarget_reportsFailureAndLeavesNothing();
    void download_largeBody_arrivesIntact();

    void transferThatMovesNothing_endsAsTimeOut_data();
    void transferThatMovesNothing_endsAsTimeOut();
    void transfersBeyondSixPerHost_waitUntimedInTheQueue();
    void cancel_dropsWaitingAndAbortsInFlight();

private:
    bool defaultHosts() const;

    TestHttpServer server;
    QTemporaryDir dir;
};

void TestOssApi::initTestCase()
{
    QVERIFY(server.port() != 0);
    QVERIFY(dir.isValid());
    // Every storage host name resolves to the test server acting as proxy.
    qputenv("http_proxy", server.baseUrl().toLatin1());
    qunsetenv("no_proxy");
    qunsetenv("NO_PROXY");
}

void TestOssApi::init()
{
    server.clear();
    server.setHandler(nullptr);
}

bool TestOssApi::defaultHosts() const
{
    return OSS_ENDPOINT == QLatin1String("http://oss.zamtu.test") && OSS_BUCKET == QLatin1String("zamtu")
        && IMAGE_HOST == QLatin1String("http://img.zamtu.test");
}

void TestOssApi::hmacSha1_agreesWithRfc2202_data()
{
    QTest::addColumn<QByteArray>("key");
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<QByteArray>("digestHex");

    // RFC 2202 section 3, test cases 1, 2, 3, 6 and 7.
    QTest::newRow("20-byte key") << QByteArray(20, '\x0b') << QByteArray("Hi There")
                                 << QByteArray("b617318655057264e28bc0b6fb378c8ef146be00");
    QTest::newRow("short text key") << QByteArray("Jefe") << QByteArray("what do ya want for nothing?")
                                    << QByteArray("effcdf6ae5eb2fa2d27416d5f184df9c259a7c79");
    QTest::newRow("50-byte data") << QByteArray(20, '\xaa') << QByteArray(50, '\xdd')
                                  << QByteArray("125d7342b9ac11cd91a39af48aa17b4f63f175d3");
    QTest::newRow("80-byte key hashed first")
        << QByteArray(80, '\xaa') << QByteArray("Test Using Larger Than Block-Size Key - Hash Key First")
        << QByteArray("aa4ae5e15272d00e95705637ce8a3b55ed402112");
    QTest::newRow("80-byte key, data over one block")
        << QByteArray(80, '\xaa')
        << QByteArray("Test Using Larger Than Block-Size Key and Larger Than One Block-Size Data")
        << QByteArray("e8e99d0f45237d786d6bbaa7965c7808bbff1a91");

    // A key of exactly one block is used as it is, not hashed.
    QByteArray blockKey;
    for (int i = 1; i <= 64; ++i)
        blockKey.append(char(i));
    QTest::newRow("64-byte key used unchanged") << blockKey << QByteArray("Exactly one block of key")
                                                << QByteArray("85be21457ced3d7c44c0ed1d660fe49112857a23");
}

void TestOssApi::hmacSha1_agreesWithRfc2202()
{
    QFETCH(QByteArray, key);
    QFETCH(QByteArray, data);
    QFETCH(QByteArray, digestHex);

    const QString result = OSSApi::hmacSha1(key, data);
    QCOMPARE(result.size(), 28);
    QVERIFY(result.endsWith(QLatin1Char('=')) && !result.endsWith(QLatin1String("==")));
    QCOMPARE(QByteArray::fromBase64(result.toLatin1()).toHex(), digestHex);
    QCOMPARE(result.toLatin1(), QMessageAuthenticationCode::hash(data, key, QCryptographicHash::Sha1).toBase64());
}

void TestOssApi::sign_fixedPolicyUnderKnownSecret()
{
    const QByteArray policy(POLICY_TEXT);
    QCOMPARE(policy.size(), 97);
    const QString policyBase64 = QString::fromLatin1(policy.toBase64());
    QCOMPARE(policyBase64.size(), 132);

    const QString signature = OSSApi::sign(QStringLiteral("A-known-signing-secret"), policyBase64);
    QCOMPARE(signature, QStringLiteral("FH4EdG9WuK+o95kZkFeffuE4lyI="));
    QCOMPARE(signature.toLatin1(),
             QMessageAuthenticationCode::hash(policyBase64.toLatin1(), "A-known-signing-secret",
                                              QCryptographicHash::Sha1)
                 .toBase64());

    const QString compiledIn = OSSApi::sign(OSS_ACCESS_KEY_SECRET, policyBase64);
    QCOMPARE(compiledIn.toLatin1(),
             QMessageAuthenticationCode::hash(policyBase64.toLatin1(), OSS_ACCESS_KEY_SECRET.toUtf8(),
                                              QCryptographicHash::Sha1)
                 .toBase64());
}

void TestOssApi::upload_sendsExactFormRequest()
{
    if (!defaultHosts())
        QSKIP("built with storage hosts other than the defaults");
    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::withStatus(204); });

    const QString folder = dir.filePath(QStringLiteral("风景 素材"));
    QVERIFY(QDir().mkpath(folder));
    const QString path = folder + QStringLiteral("/山水画.jpg");
    const QByteArray content = QByteArray("\xff\xd8\xff\xe0") + patternBytes(1000) + "\r\n--" + BOUNDARY;
    QVERIFY(writeFile(path, content));

    OSSApi api;
    QSignalSpy finished(&api, &OSSApi::finishUpload);
    api.upload(7, QString::fromLatin1(MD5_A), path);
    QVERIFY(finished.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(tags(finished.at(0)), (QVariantList{true, 7, QString::fromLatin1(MD5_A)}));

    QCOMPARE(server.requestCount(), 1);
    const RecordedRequest &request = server.requests().first();
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.target, QByteArray(DEFAULT_UPLOAD_URL));
    QCOMPARE(request.header("Host"), QByteArray("zamtu.oss.zamtu.test"));
    QCOMPARE(request.header("User-Agent"), QByteArray("Mozilla/5.0 (Windows; U; Windows NT 6.1; zh-CN; rv:1.9.2.6)"));
    QCOMPARE(request.header("Content-Type"), QByteArray("multipart/form-data; boundary=9431149156168"));
    QCOMPARE(request.header("Accept"), QByteArray("text/html, image/gif, image/jpeg, *; q=.2, */*; q=.2"));
    QVERIFY(!request.hasHeader("Referer"));

    const QList<QByteArray> names = headerNames(request);
    QCOMPARE(names.count("content-type"), 1);
    QVERIFY(names.indexOf("user-agent") < names.indexOf("content-type"));
    QVERIFY(names.indexOf("content-type") < names.indexOf("accept"));

    const QByteArray policyBase64 = QByteArray(POLICY_TEXT).toBase64();
    const QByteArray signature =
        QMessageAuthenticationCode::hash(policyBase64, OSS_ACCESS_KEY_SECRET.toUtf8(), QCryptographicHash::Sha1)
            .toBase64();
    QCOMPARE(signature.size(), 28);
    const QByteArray utf8Path = path.toUtf8();
    const QByteArray expectedBody = textPart("key", MD5_A)
        + textPart("Content-Disposition", "attachment;filename=" + utf8Path)
        + textPart("OSSAccessKeyId", OSS_ACCESS_KEY_ID.toUtf8())
        + textPart("policy", policyBase64)
        + textPart("Signature", signature)
        + "--" + BOUNDARY + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" + utf8Path
        + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + content + "\r\n"
        + "--" + BOUNDARY + "--\r\n";
    QCOMPARE(request.body, expectedBody);
    QCOMPARE(request.header("Content-Length"), QByteArray::number(expectedBody.size()));
}

void TestOssApi::upload_streamsLargeFileIntact()
{
    const qsizetype size = 6 * 1024 * 1024 + 123;
    const QByteArray content = patternBytes(size);
    const QString path = dir.filePath(QStringLiteral("大图.png"));
    QVERIFY(writeFile(path, content));
    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::ok({}); });

    OSSApi api;
    QSignalSpy finished(&api, &OSSApi::finishUpload);
    api.upload(3, QString::fromLatin1(MD5_B), path);
    QVERIFY(finished.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(tags(finished.at(0)), (QVariantList{true, 3, QString::fromLatin1(MD5_B)}));

    QCOMPARE(server.requestCount(), 1);
    const QByteArray body = server.requests().first().body;
    const QByteArray fileHead = "Content-Type: application/octet-stream\r\n\r\n";
    const qsizetype start = body.indexOf(fileHead) + fileHead.size();
    QVERIFY(start > fileHead.size());
    const QByteArray closing = QByteArray("\r\n--") + BOUNDARY + "--\r\n";
    QVERIFY(body.endsWith(closing));
    QCOMPARE(body.size() - closing.size() - start, size);
    QVERIFY(body.mid(start, size) == content);
}

void TestOssApi::upload_unopenableFile_reportsFailureWithoutSending()
{
    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::ok({}); });
    OSSApi api;
    QSignalSpy finished(&api, &OSSApi::finishUpload);
    api.upload(5, QString::fromLatin1(MD5_A), dir.filePath(QStringLiteral("不存在.jpg")));
    QCOMPARE(finished.count(), 0); // reported later, like any reply

    // A probe sent after the upload overtakes nothing: once it is answered, an
    // upload request would have reached the server before it.
    QSignalSpy probed(&api, &OSSApi::finishExists);
    api.exists(6, QString::fromLatin1(MD5_A));
    QVERIFY(probed.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(finished.count(), 1);
    QCOMPARE(tags(finished.at(0)), (QVariantList{false, 5, QString::fromLatin1(MD5_A)}));
    QCOMPARE(outcomeOf(finished.at(0)).kind, TransferOutcome::LocalFailure);
    QCOMPARE(server.requestCount(), 1);
    QCOMPARE(server.requests().first().method, QByteArray("GET"));
}

void TestOssApi::outcomes_data()
{
    QTest::addColumn<ScriptedResponse>("response");
    QTest::addColumn<bool>("success");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("reason");

    const QByteArray picture = "\x89PNG\r\n\x1a\n" + patternBytes(4096);
    const QList<QPair<QByteArray, QByteArray>> elsewhere{{"Location", "http://img.zamtu.test/elsewhere"}};
    ScriptedResponse truncated = ScriptedResponse::ok(picture);
    truncated.truncate = true;

    const int done = TransferOutcome::Succeeded;
    const int refused = TransferOutcome::Refused;
    const int again = TransferOutcome::Transient;
    QTest::newRow("200 with body") << ScriptedResponse::ok(picture) << true << done << QString();
    QTest::newRow("200 empty") << ScriptedResponse::ok({}) << true << done << QString();
    QTest::newRow("204") << ScriptedResponse::withStatus(204) << true << done << QString();
    QTest::newRow("301 not followed") << ScriptedResponse{301, elsewhere, "moved"} << true << done << QString();
    QTest::newRow("302 not followed") << ScriptedResponse{302, elsewhere, {}} << true << done << QString();
    QTest::newRow("403") << ScriptedResponse::withStatus(403, "<Error>AccessDenied</Error>") << false << refused
                         << QStringLiteral("HTTP 403");
    QTest::newRow("404") << ScriptedResponse::withStatus(404, "<Error>NoSuchKey</Error>") << false << refused
                         << QStringLiteral("HTTP 404");
    QTest::newRow("429") << ScriptedResponse::withStatus(429, "slow down") << false << again
                         << QStringLiteral("HTTP 429");
    QTest::newRow("500") << ScriptedResponse::withStatus(500, "<Error>InternalError</Error>") << false << again
                         << QStringLiteral("HTTP 500");
    QTest::newRow("503") << ScriptedResponse::withStatus(503) << false << again << QStringLiteral("HTTP 503");
    QTest::newRow("dropped connection") << ScriptedResponse::dropped() << false << again
                                        << QStringLiteral("连接被关闭");
    QTest::newRow("truncated body") << truncated << false << again << QStringLiteral("连接被关闭");
}

// Each row answers a probe, a download and an upload alike.
void TestOssApi::outcomes()
{
    QFETCH(ScriptedResponse, response);
    QFETCH(bool, success);
    QFETCH(int, kind);
    QFETCH(QString, reason);
    server.setHandler([response](const RecordedRequest &) { return response; });
    auto checkOutcome = [&](const QList<QVariant> &arguments) {
        const TransferOutcome outcome = outcomeOf(arguments);
        QCOMPARE(int(outcome.kind), kind);
        QCOMPARE(outcome.reason, reason);
    };

    const QString md5 = QString::fromLatin1(MD5_A);
    const QString target = dir.filePath(QStringLiteral("outcome/图片.jpg"));
    QVERIFY(QDir().mkpath(QFileInfo(target).path()));
    QVERIFY(writeFile(target, OLD_PICTURE));
    const QString source = dir.filePath(QStringLiteral("outcome-source.jpg"));
    QVERIFY(writeFile(source, "picture bytes"));

    OSSApi api;
    QSignalSpy probed(&api, &OSSApi::finishExists);
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    QSignalSpy uploaded(&api, &OSSApi::finishUpload);

    // The network layer may send a request again on a connection dropped before
    // any answer; every copy must be the same request.
    auto requestsSince = [this](int first) { return server.requests().mid(first); };

    api.exists(11, md5);
    QVERIFY(probed.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(tags(probed.at(0)), (QVariantList{success, 11, md5}));
    checkOutcome(probed.at(0));
    int first = server.requestCount();
    QVERIFY(first >= 1);
    for (const RecordedRequest &probe : requestsSince(0)) {
        QCOMPARE(probe.method, QByteArray("GET"));
        QCOMPARE(probe.target, (IMAGE_HOST + QLatin1Char('/') + md5 + QLatin1String(PROBE_QUERY)).toUtf8());
        QCOMPARE(probe.header("Referer"), SITE_URL.toLatin1());
    }

    api.download(12, md5, target);
    QVERIFY(downloaded.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(tags(downloaded.at(0)), (QVariantList{success, 12}));
    checkOutcome(downloaded.at(0));
    QVERIFY(server.requestCount() > first);
    for (const RecordedRequest &fetch : requestsSince(first)) {
        QCOMPARE(fetch.method, QByteArray("GET"));
        QCOMPARE(fetch.target, (IMAGE_HOST + QLatin1Char('/') + md5).toUtf8());
        QCOMPARE(fetch.header("Referer"), SITE_URL.toLatin1());
    }
    QCOMPARE(readFile(target), success ? response.body : QByteArray(OLD_PICTURE));
    QCOMPARE(QDir(QFileInfo(target).path()).entryList(QDir::Files | QDir::Hidden),
             QStringList{QFileInfo(target).fileName()});

    first = server.requestCount();
    api.upload(13, md5, source);
    QVERIFY(uploaded.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(tags(uploaded.at(0)), (QVariantList{success, 13, md5}));
    checkOutcome(uploaded.at(0));
    QVERIFY(server.requestCount() > first);
    for (const RecordedRequest &post : requestsSince(first)) {
        QCOMPARE(post.method, QByteArray("POST"));
        QVERIFY(!post.hasHeader("Referer"));
    }

    // Redirects are answered, never followed.
    for (const RecordedRequest &request : server.requests())
        QVERIFY2(!request.target.contains("elsewhere"), request.target.constData());
    QCOMPARE(probed.count() + downloaded.count() + uploaded.count(), 3);
}

void TestOssApi::replies_finishingInReverseOrder_areMatchedByTheirTags()
{
    const QByteArray slowBody = "slow picture " + patternBytes(2000);
    const QByteArray fastBody = "fast picture " + patternBytes(1000);
    server.setHandler([&](const RecordedRequest &request) {
        ScriptedResponse response;
        if (request.target.contains(MD5_A)) {
            response = request.target.contains('?') ? ScriptedResponse::ok({}) : ScriptedResponse::ok(slowBody);
            response.delayMs = 400;
        } else {
            response = request.target.contains('?') ? ScriptedResponse::withStatus(404)
                                                    : ScriptedResponse::ok(fastBody);
        }
        return response;
    });

    const QString slowTarget = dir.filePath(QStringLiteral("slow.jpg"));
    const QString fastTarget = dir.filePath(QStringLiteral("fast.jpg"));
    OSSApi api;
    QSignalSpy probed(&api, &OSSApi::finishExists);
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    api.exists(1, QString::fromLatin1(MD5_A));
    api.exists(2, QString::fromLatin1(MD5_B));
    api.download(1, QString::fromLatin1(MD5_A), slowTarget);
    api.download(2, QString::fromLatin1(MD5_B), fastTarget);

    QTRY_COMPARE_WITH_TIMEOUT(probed.count() + downloaded.count(), 4, SIGNAL_TIMEOUT_MS);
    QCOMPARE(tags(probed.at(0)), (QVariantList{false, 2, QString::fromLatin1(MD5_B)}));
    QCOMPARE(tags(probed.at(1)), (QVariantList{true, 1, QString::fromLatin1(MD5_A)}));
    QCOMPARE(tags(downloaded.at(0)), (QVariantList{true, 2}));
    QCOMPARE(tags(downloaded.at(1)), (QVariantList{true, 1}));
    QCOMPARE(readFile(slowTarget), slowBody);
    QCOMPARE(readFile(fastTarget), fastBody);
}

void TestOssApi::download_unwritableTarget_reportsFailureAndLeavesNothing_data()
{
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("mustNotExist");

    const QString missing = dir.filePath(QStringLiteral("缺少的目录"));
    QTest::newRow("folder missing") << missing + QStringLiteral("/图片.jpg") << missing;
    QTest::newRow("target is a folder") << dir.filePath(QStringLiteral("a-folder")) << QString();
}

void TestOssApi::download_unwritableTarget_reportsFailureAndLeavesNothing()
{
    QFETCH(QString, target);
    QFETCH(QString, mustNotExist);
    const QString folderTarget = dir.filePath(QStringLiteral("a-folder"));
    QVERIFY(QDir().mkpath(folderTarget));
    const QStringList before = QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot);

    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::ok(patternBytes(256 * 1024)); });
    OSSApi api;
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    api.download(21, QString::fromLatin1(MD5_A), target);
    QVERIFY(downloaded.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(downloaded.count(), 1);
    QCOMPARE(tags(downloaded.at(0)), (QVariantList{false, 21}));
    QCOMPARE(outcomeOf(downloaded.at(0)).kind, TransferOutcome::LocalFailure);
    QCOMPARE(outcomeOf(downloaded.at(0)).reason, QStringLiteral("写入失败"));

    if (!mustNotExist.isEmpty())
        QVERIFY(!QFileInfo::exists(mustNotExist));
    QVERIFY(QFileInfo(folderTarget).isDir());
    QVERIFY(QDir(folderTarget).isEmpty());
    QCOMPARE(QDir(dir.path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot), before);
}

void TestOssApi::download_largeBody_arrivesIntact()
{
    const QByteArray picture = patternBytes(5 * 1024 * 1024 + 7);
    server.setHandler([&](const RecordedRequest &) { return ScriptedResponse::ok(picture); });
    const QString target = dir.filePath(QStringLiteral("large.jpg"));
    QVERIFY(writeFile(target, OLD_PICTURE));

    OSSApi api;
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    api.download(31, QString::fromLatin1(MD5_B), target);
    QVERIFY(downloaded.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(tags(downloaded.at(0)), (QVariantList{true, 31}));
    QVERIFY(readFile(target) == picture);
}

void TestOssApi::transferThatMovesNothing_endsAsTimeOut_data()
{
    QTest::addColumn<QString>("operation");
    QTest::newRow("probe") << "probe";
    QTest::newRow("upload") << "upload";
    QTest::newRow("download") << "download";
}

void TestOssApi::transferThatMovesNothing_endsAsTimeOut()
{
    QFETCH(QString, operation);
    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::hanging(); });
    const QString source = dir.filePath(QStringLiteral("hang-source.jpg"));
    QVERIFY(writeFile(source, "picture bytes"));
    const QString target = dir.filePath(QStringLiteral("hang-target.jpg"));

    OSSApi api;
    api.setTransferTimeout(300);
    QSignalSpy probed(&api, &OSSApi::finishExists);
    QSignalSpy uploaded(&api, &OSSApi::finishUpload);
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    QSignalSpy &spy = operation == QLatin1String("probe") ? probed : operation == QLatin1String("upload") ? uploaded
                                                                                                         : downloaded;
    if (operation == QLatin1String("probe"))
        api.exists(1, QString::fromLatin1(MD5_A));
    else if (operation == QLatin1String("upload"))
        api.upload(1, QString::fromLatin1(MD5_A), source);
    else
        api.download(1, QString::fromLatin1(MD5_A), target);

    QVERIFY(spy.wait(SIGNAL_TIMEOUT_MS));
    QCOMPARE(spy.count(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    const TransferOutcome outcome = outcomeOf(spy.at(0));
    QCOMPARE(outcome.kind, TransferOutcome::Transient);
    QCOMPARE(outcome.reason, QStringLiteral("超时"));
    QVERIFY(!QFileInfo::exists(target));
    QCOMPARE(probed.count() + uploaded.count() + downloaded.count(), 1);
}

void TestOssApi::transfersBeyondSixPerHost_waitUntimedInTheQueue()
{
    server.setHandler([](const RecordedRequest &request) {
        ScriptedResponse response = request.method == "POST" ? ScriptedResponse::withStatus(204)
                                                             : ScriptedResponse::ok("picture");
        response.delayMs = 100;
        return response;
    });
    const QString source = dir.filePath(QStringLiteral("many-source.jpg"));
    QVERIFY(writeFile(source, "picture bytes"));

    // Forty transfers to the picture host take seven rounds of 100 ms: far
    // longer than the time-out, which must run only while each is on the wire.
    OSSApi api;
    api.setTransferTimeout(250);
    QSignalSpy probed(&api, &OSSApi::finishExists);
    QSignalSpy uploaded(&api, &OSSApi::finishUpload);
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    const int each = 20;
    for (int id = 0; id < each; ++id) {
        api.exists(id, QString::fromLatin1(MD5_A));
        api.download(id, QString::fromLatin1(MD5_B), dir.filePath(QStringLiteral("many-%1.jpg").arg(id)));
        api.upload(id, QString::fromLatin1(MD5_A), source);
    }
    QTRY_COMPARE_WITH_TIMEOUT(probed.count() + uploaded.count() + downloaded.count(), 3 * each, SIGNAL_TIMEOUT_MS);

    // Probes and downloads share the picture host, uploads go to the bucket.
    QCOMPARE(server.mostInFlight("img.zamtu.test"), 6);
    QCOMPARE(server.mostInFlight("zamtu.oss.zamtu.test"), 6);
    for (const QSignalSpy *spy : {&probed, &uploaded, &downloaded}) {
        for (const QList<QVariant> &arguments : *spy)
            QVERIFY(arguments.at(0).toBool());
    }
}

void TestOssApi::cancel_dropsWaitingAndAbortsInFlight()
{
    server.setHandler([](const RecordedRequest &) { return ScriptedResponse::hanging(); });
    OSSApi api;
    QSignalSpy downloaded(&api, &OSSApi::finishDownload);
    QList<quint64> tickets;
    for (int id = 0; id < 8; ++id)
        tickets.append(api.download(id, QString::fromLatin1(MD5_A), dir.filePath(QStringLiteral("cancel-%1.jpg").arg(id))));
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 6, SIGNAL_TIMEOUT_MS);

    api.cancel(tickets.at(7)); // still waiting: dropped without a word
    api.cancel(tickets.at(0)); // on the wire: ends at once, as called off
    QCOMPARE(downloaded.count(), 1);
    QCOMPARE(tags(downloaded.at(0)), (QVariantList{false, 0}));
    QCOMPARE(outcomeOf(downloaded.at(0)).kind, TransferOutcome::Cancelled);

    // The place it freed goes to the next waiting one, never to the dropped one.
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount(), 7, SIGNAL_TIMEOUT_MS);
    QCOMPARE(downloaded.count(), 1);
    for (int id = 1; id < 7; ++id)
        api.cancel(tickets.at(id));
    QCOMPARE(downloaded.count(), 7);
    QTest::qWait(100); // time for a stray request to arrive
    QCOMPARE(server.requestCount(), 7);
    QVERIFY(QDir(dir.path()).entryList({QStringLiteral("cancel-*")}).isEmpty());
}

QTEST_GUILESS_MAIN(TestOssApi)

#include "tst_ossapi.moc"
