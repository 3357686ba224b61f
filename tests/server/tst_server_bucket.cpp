// The storage side of the stand-in: the signed browser-form PostObject on the
// bucket host, and reads with and without the resize query on the picture host.

#include "standinfixture.h"

#include "server/demodata.h"

#include <QBuffer>
#include <QCryptographicHash>
#include <QImage>
#include <QMessageAuthenticationCode>
#include <QTest>
#include <QXmlStreamReader>

namespace {

const QString BUCKET_URL = QStringLiteral("http://zamtu.oss.zamtu.test");
const QString IMAGE_URL = QStringLiteral("http://img.zamtu.test/");
const QByteArray BOUNDARY = "9431149156168";
const QString PROBE = QStringLiteral("?x-oss-process=image/resize,m_lfit,h_1,w_1");

// The tool's own policy: any key, 0..100 MiB, expiring in 2120.
const QByteArray TOOL_POLICY = "{\"expiration\": \"2120-01-01T12:00:00.000Z\",\"conditions\": "
                               "[[\"content-length-range\", 0, 104857600]]}";

QByteArray signature(const QByteArray &policyBase64, const QByteArray &secret)
{
    return QMessageAuthenticationCode::hash(policyBase64, secret, QCryptographicHash::Sha1).toBase64();
}

// A multipart/form-data body of the fields in order; the field named "file"
// becomes a file part.
QByteArray formBody(const QList<QPair<QByteArray, QByteArray>> &fields)
{
    QByteArray body;
    for (const auto &field : fields) {
        body += "--" + BOUNDARY + "\r\n";
        if (field.first == "file")
            body += "Content-Disposition: form-data; name=\"file\"; filename=\"C:/图片/红烧肉.jpg\"\r\n"
                    "Content-Type: application/octet-stream\r\n";
        else
            body += "Content-Disposition: form-data; name=\"" + field.first + "\"\r\n";
        body += "\r\n" + field.second + "\r\n";
    }
    return body + "--" + BOUNDARY + "--\r\n";
}

QString errorCode(const QByteArray &xml)
{
    QXmlStreamReader reader(xml);
    while (reader.readNextStartElement()) {
        if (reader.name() == QLatin1String("Error"))
            continue;
        if (reader.name() == QLatin1String("Code"))
            return reader.readElementText();
        reader.skipCurrentElement();
    }
    return QString();
}

QByteArray pictureBytes(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkCyan);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

using Fields = QList<QPair<QByteArray, QByteArray>>;

} // namespace

Q_DECLARE_METATYPE(Fields)

class TestServerBucket : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase();
    void postObjectOutcome_data();
    void postObjectOutcome();
    void postObjectNeedsMultipartForm();
    void pictureHostReads_data();
    void pictureHostReads();

private:
    StandInFixture standIn;
};

void TestServerBucket::initTestCase()
{
    QVERIFY(standIn.start(false));
    QVERIFY(standIn.server().objectStore().put(QStringLiteral("picture"), pictureBytes(300, 200)));
    QVERIFY(standIn.server().objectStore().put(QStringLiteral("notes"), "plain text, no picture"));
}

void TestServerBucket::postObjectOutcome_data()
{
    QTest::addColumn<Fields>("fields");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");    // error code, empty on success
    QTest::addColumn<QString>("message"); // part of the error message

    const QByteArray keyId = "LTAIzamtuDev2026";
    const QByteArray secret = "ZamtuDevSecretKey0123456789abc";
    const auto signedForm = [&](const QByteArray &key, const QByteArray &policyJson, const QByteArray &file,
                                const QByteArray &signingSecret) {
        const QByteArray policy = policyJson.toBase64();
        return Fields{{"key", key},
                      {"Content-Disposition", "attachment;filename=C:/图片/红烧肉.jpg"},
                      {"OSSAccessKeyId", keyId},
                      {"policy", policy},
                      {"Signature", signature(policy, signingSecret)},
                      {"file", file}};
    };
    // File bytes that hold a line break, dashes and the boundary's digits.
    const QByteArray file = "\x89PNG\r\n\r\n--9431149156\r\n--" + QByteArray(64, '\0') + "end";
    // The tool's own form; each refused variant has a key of its own, so that
    // nothing stored by another row can hide a wrongly stored upload.
    const auto good = [&](const QByteArray &key) { return signedForm(key, TOOL_POLICY, file, secret); };

    QTest::newRow("accepted") << good("k-accepted") << 204 << QString() << QString();
    QTest::newRow("wrong signature") << signedForm("k-bad-sig", TOOL_POLICY, file, "another secret") << 403
                                     << QStringLiteral("SignatureDoesNotMatch")
                                     << QStringLiteral("The request signature we calculated does not match");
    Fields unknownKey = good("k-unknown-id");
    unknownKey[2].second = "LTAIsomebodyElse";
    QTest::newRow("unknown access key") << unknownKey << 403 << QStringLiteral("InvalidAccessKeyId")
                                        << QStringLiteral("does not exist in our records");
    QTest::newRow("expired policy")
        << signedForm("k-expired",
                      "{\"expiration\": \"2020-01-01T12:00:00.000Z\",\"conditions\": [[\"content-length-range\", 0, 100]]}",
                      file, secret)
        << 403 << QStringLiteral("AccessDenied") << QStringLiteral("Invalid according to Policy: Policy expired.");
    const QByteArray tenBytes = "{\"expiration\": \"2120-01-01T12:00:00.000Z\",\"conditions\": "
                                "[[\"content-length-range\", 1, 10]]}";
    QTest::newRow("file over the length range") << signedForm("k-large", tenBytes, "0123456789A", secret) << 400
                                                << QStringLiteral("EntityTooLarge")
                                                << QStringLiteral("exceeds the maximum allowed size");
    QTest::newRow("file at the top of the range") << signedForm("k-ten", tenBytes, "0123456789", secret) << 204
                                                  << QString() << QString();
    QTest::newRow("empty file under the range") << signedForm("k-small", tenBytes, "", secret) << 400
                                                << QStringLiteral("EntityTooSmall") << QStringLiteral("smaller");
    QTest::newRow("key condition not met")
        << signedForm("k-other",
                      "{\"expiration\": \"2120-01-01T12:00:00.000Z\",\"conditions\": [[\"starts-with\", \"$key\", "
                      "\"user/\"]]}",
                      file, secret)
        << 403 << QStringLiteral("AccessDenied") << QStringLiteral("Policy Condition failed");
    QTest::newRow("policy not JSON") << signedForm("k-json", "not json", file, secret) << 400
                                     << QStringLiteral("InvalidPolicyDocument") << QStringLiteral("Invalid Policy");
    QTest::newRow("policy without conditions")
        << signedForm("k-nocond", "{\"expiration\": \"2120-01-01T12:00:00.000Z\"}", file, secret) << 400
        << QStringLiteral("InvalidPolicyDocument") << QStringLiteral("Invalid Policy");

    Fields fileFirst = good("k-file-first");
    fileFirst.move(fileFirst.size() - 1, 0);
    QTest::newRow("file part not last") << fileFirst << 400 << QStringLiteral("MalformedPOSTRequest")
                                        << QStringLiteral("not well-formed");
    Fields noFile = good("k-no-file");
    noFile.removeLast();
    QTest::newRow("no file part") << noFile << 400 << QStringLiteral("MalformedPOSTRequest")
                                  << QStringLiteral("not well-formed");
    for (const QByteArray &name : {QByteArray("key"), QByteArray("policy"), QByteArray("Signature")}) {
        Fields missing = good("k-missing-" + name);
        missing.removeIf([&](const auto &field) { return field.first == name; });
        QTest::addRow("no %s field", name.constData())
            << missing << 400 << QStringLiteral("InvalidArgument") << QStringLiteral("must contain a field named");
    }
    Fields anonymous = good("k-anonymous");
    anonymous.removeIf([](const auto &field) { return field.first == "OSSAccessKeyId"; });
    QTest::newRow("anonymous upload to a private bucket") << anonymous << 403 << QStringLiteral("AccessDenied")
                                                          << QStringLiteral("bucket acl");
}

void TestServerBucket::postObjectOutcome()
{
    QFETCH(Fields, fields);
    QFETCH(int, status);
    QFETCH(QString, code);
    QFETCH(QString, message);

    QString key;
    for (const auto &field : fields) {
        if (field.first == "key")
            key = QString::fromUtf8(field.second);
    }
    const QByteArray file = fields.last().first == "file" ? fields.last().second : QByteArray();
    const auto answer = standIn.post(BUCKET_URL, formBody(fields),
                                     {{"Content-Type", "multipart/form-data; boundary=" + BOUNDARY}});

    QCOMPARE(answer.status, status);
    QCOMPARE(errorCode(answer.body), code);
    QVERIFY2(QString::fromUtf8(answer.body).contains(message), answer.body.constData());
    const auto stored = key.isEmpty() ? std::nullopt : standIn.server().objectStore().get(key);
    if (code.isEmpty()) {
        QVERIFY(stored.has_value());
        QCOMPARE(*stored, file);
    } else {
        QCOMPARE(answer.contentType, QByteArray("application/xml"));
        QVERIFY(!stored.has_value());
    }
}

void TestServerBucket::postObjectNeedsMultipartForm()
{
    const auto plain = standIn.post(BUCKET_URL, "key=a&file=b");
    QCOMPARE(plain.status, 400);
    QCOMPARE(errorCode(plain.body), QStringLiteral("MalformedPOSTRequest"));

    // The closing delimiter cut off, as when the connection broke mid-upload.
    const QByteArray body = formBody({{"key", "k-cut"}, {"file", "bytes"}});
    const auto cut = standIn.post(BUCKET_URL, body.left(body.size() - 8),
                                  {{"Content-Type", "multipart/form-data; boundary=" + BOUNDARY}});
    QCOMPARE(cut.status, 400);
    QCOMPARE(errorCode(cut.body), QStringLiteral("MalformedPOSTRequest"));
}

void TestServerBucket::pictureHostReads_data()
{
    QTest::addColumn<QString>("url");
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("code");
    QTest::addColumn<QSize>("pictureSize"); // of the answer body, when it is a picture

    QTest::newRow("stored picture") << IMAGE_URL + QStringLiteral("picture") << 200 << QString() << QSize(300, 200);
    QTest::newRow("stored picture, probe") << IMAGE_URL + QStringLiteral("picture") + PROBE << 200 << QString()
                                           << QSize(1, 1);
    QTest::newRow("stored picture, resize to fit") << IMAGE_URL + QStringLiteral("picture?x-oss-process=image/resize,m_lfit,w_30,h_30")
                                                   << 200 << QString() << QSize(30, 20);
    QTest::newRow("stored picture, bucket host") << BUCKET_URL + QStringLiteral("/picture") << 200 << QString()
                                                 << QSize(300, 200);
    QTest::newRow("stored non-picture") << IMAGE_URL + QStringLiteral("notes") << 200 << QString() << QSize();
    QTest::newRow("stored non-picture, probe") << IMAGE_URL + QStringLiteral("notes") + PROBE << 400
                                               << QStringLiteral("BadRequest") << QSize();
    QTest::newRow("missing key") << IMAGE_URL + QStringLiteral("0123456789abcdef0123456789abcdef") << 404
                                 << QStringLiteral("NoSuchKey") << QSize();
    QTest::newRow("missing key, probe") << IMAGE_URL + QStringLiteral("0123456789abcdef0123456789abcdef") + PROBE
                                        << 404 << QStringLiteral("NoSuchKey") << QSize();
}

void TestServerBucket::pictureHostReads()
{
    QFETCH(QString, url);
    QFETCH(int, status);
    QFETCH(QString, code);
    QFETCH(QSize, pictureSize);

    const auto answer = standIn.get(url, {{"Referer", "http://www.zamtu.test/index.php"}});
    QCOMPARE(answer.status, status);
    QCOMPARE(errorCode(answer.body), code);
    if (pictureSize.isValid())
        QCOMPARE(QImage::fromData(answer.body).size(), pictureSize);
    else if (code.isEmpty())
        QCOMPARE(answer.body, QByteArray("plain text, no picture"));
}

QTEST_GUILESS_MAIN(TestServerBucket)
#include "tst_server_bucket.moc"
