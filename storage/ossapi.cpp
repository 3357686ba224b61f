#include "storage/ossapi.h"

#include "base/constants.h"
#include "base/batchlimits.h"
#include "base/debuglog.h"
#include "base/transferoutcome.h"
#include "base/transferqueue.h"
#include "storage/partfile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QHttpMultiPart>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <QUrl>

namespace {

const char TAG_ID[] = "id";
const char TAG_MD5[] = "md5";
const char TAG_TARGET_PATH[] = "targetPath";
// Set on a download whose file could not be written: the transfer was called off.
const char TAG_WRITE_FAILED[] = "writeFailed";

const int HMAC_BLOCK_SIZE = 64;
const char BOUNDARY[] = "9431149156168";
const char POLICY[] = "{\"expiration\": \"2120-01-01T12:00:00.000Z\",\"conditions\": "
                      "[[\"content-length-range\", 0, 104857600]]}";
const char PROBE_QUERY[] = "?x-oss-process=image/resize,m_lfit,h_1,w_1";
const int HTTP_SCHEME_LENGTH = 7; // "http://"
const int HTTP_FIRST_ERROR_STATUS = 400;
// Bytes one download may hold before the network layer waits for the file write;
// small enough that a batch of concurrent downloads stays flat in memory.
const qint64 DOWNLOAD_BUFFER_SIZE = 128 * 1024;

QHttpPart textPart(const QByteArray &name, const QString &value)
{
    QHttpPart part;
    part.setRawHeader("Content-Disposition", "form-data; name=\"" + name + '"');
    part.setBody(value.toUtf8());
    return part;
}

QNetworkRequest pictureHostRequest(const QUrl &url, int transferTimeoutMs)
{
    QNetworkRequest request{url};
    request.setTransferTimeout(transferTimeoutMs);
    request.setRawHeader("Referer", SITE_URL.toLatin1());
    return request;
}

QUrl probeUrl(const QString &md5)
{
    return QUrl(IMAGE_HOST + QLatin1Char('/') + md5 + QLatin1String(PROBE_QUERY));
}

QUrl uploadUrl()
{
    return QUrl(QStringLiteral("http://") + OSS_BUCKET + QLatin1Char('.') + OSS_ENDPOINT.mid(HTTP_SCHEME_LENGTH));
}

// Moves the bytes that have arrived so far into the download's part file,
// creating it on first use. The error page of a refused request is discarded
// unread (the refusal itself only shows when the reply finishes). Returns false
// when the file cannot be opened or written.
bool storeAvailable(QNetworkReply *reply, PartFile *file)
{
    if (reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt() >= HTTP_FIRST_ERROR_STATUS) {
        reply->skip(reply->bytesAvailable());
        return true;
    }
    if (!file->isOpen() && !file->create())
        return false;
    const QByteArray chunk = reply->readAll();
    return file->write(chunk) == chunk.size();
}

} // namespace

OSSApi::OSSApi(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager)
    , queue(new TransferQueue(MAX_TRANSFERS_PER_HOST, this))
    , transferTimeoutMs(TRANSFER_TIMEOUT_MS)
{
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
}

OSSApi::~OSSApi()
{
    delete manager;
}

void OSSApi::cancel(quint64 ticket)
{
    if (ticket != 0)
        queue->cancel(ticket);
}

quint64 OSSApi::upload(int id, const QString &md5, const QString &path)
{
    return queue->submit(uploadUrl(), [this, id, md5, path] { return startUpload(id, md5, path); });
}

QNetworkReply *OSSApi::startUpload(int id, const QString &md5, const QString &path)
{
    auto *file = new QFile(path);
    if (!file->open(QIODevice::ReadOnly)) {
        // Nothing can be sent; report the failure as a reply would, later.
        delete file;
        QTimer::singleShot(0, this, [this, id, md5] {
            Q_EMIT finishUpload(false, id, md5, TransferOutcome::localFailure(QStringLiteral("无法读取文件")));
        });
        return nullptr;
    }

    // The policy is fixed, so its Base64 and signature are too.
    static const QString policy = QString::fromLatin1(QByteArray(POLICY).toBase64());
    static const QString signature = sign(OSS_ACCESS_KEY_SECRET, policy);

    auto *multiPart = new QHttpMultiPart(QHttpMultiPart::FormDataType);
    multiPart->setBoundary(BOUNDARY);
    multiPart->append(textPart("key", md5));
    multiPart->append(textPart("Content-Disposition", QStringLiteral("attachment;filename=") + path));
    multiPart->append(textPart("OSSAccessKeyId", OSS_ACCESS_KEY_ID));
    multiPart->append(textPart("policy", policy));
    multiPart->append(textPart("Signature", signature));

    QHttpPart filePart;
    filePart.setRawHeader("Content-Disposition",
                          "form-data; name=\"file\"; filename=\"" + path.toUtf8() + '"');
    filePart.setRawHeader("Content-Type", "application/octet-stream");
    filePart.setBodyDevice(file); // streamed from disk by the network layer
    file->setParent(multiPart);
    multiPart->append(filePart);

    QNetworkRequest request{uploadUrl()};
    request.setTransferTimeout(transferTimeoutMs);
    request.setRawHeader("User-Agent", "Mozilla/5.0 (Windows; U; Windows NT 6.1; zh-CN; rv:1.9.2.6)");
    request.setRawHeader("Content-Type", QByteArray("multipart/form-data; boundary=") + BOUNDARY);
    request.setRawHeader("Accept", "text/html, image/gif, image/jpeg, *; q=.2, */*; q=.2");

    QNetworkReply *reply = manager->post(request, multiPart);
    multiPart->setParent(reply);
    reply->setProperty(TAG_ID, id);
    reply->setProperty(TAG_MD5, md5);
    connect(reply, &QNetworkReply::finished, this, &OSSApi::uploadReply);
    return reply;
}

QString OSSApi::sign(const QString &key, const QString &data)
{
    return hmacSha1(key.toUtf8(), data.toUtf8());
}

QString OSSApi::hmacSha1(const QByteArray &key, const QByteArray &data)
{
    QByteArray blockKey = key.size() > HMAC_BLOCK_SIZE
        ? QCryptographicHash::hash(key, QCryptographicHash::Sha1)
        : key;
    QByteArray innerPad(HMAC_BLOCK_SIZE, char(0x36));
    QByteArray outerPad(HMAC_BLOCK_SIZE, char(0x5c));
    for (qsizetype i = 0; i < blockKey.size(); ++i) {
        innerPad[i] = char(innerPad.at(i) ^ blockKey.at(i));
        outerPad[i] = char(outerPad.at(i) ^ blockKey.at(i));
    }
    const QByteArray inner = QCryptographicHash::hash(QByteArray(innerPad + data), QCryptographicHash::Sha1);
    const QByteArray digest = QCryptographicHash::hash(QByteArray(outerPad + inner), QCryptographicHash::Sha1);
    return QString::fromLatin1(digest.toBase64());
}

void OSSApi::uploadReply()
{
    finishTagged(&OSSApi::finishUpload, "uploadReply:");
}

void OSSApi::finishTagged(TaggedSignal signal, const char *debugPrefix)
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const TransferOutcome outcome = TransferOutcome::fromReply(reply);
    Q_EMIT(this->*signal)(outcome.succeeded(), reply->property(TAG_ID).toInt(),
                          reply->property(TAG_MD5).toString(), outcome);
    if (!outcome.succeeded() && !outcome.isCancelled())
        debugQuoted(debugPrefix, QString::fromUtf8(reply->readAll()));
}

quint64 OSSApi::exists(int id, const QString &md5)
{
    const QUrl url = probeUrl(md5);
    return queue->submit(url, [this, id, md5, url] {
        QNetworkReply *reply = manager->get(pictureHostRequest(url, transferTimeoutMs));
        reply->setProperty(TAG_ID, id);
        reply->setProperty(TAG_MD5, md5);
        connect(reply, &QNetworkReply::finished, this, &OSSApi::existsReply);
        return reply;
    });
}

void OSSApi::existsReply()
{
    finishTagged(&OSSApi::finishExists, "existsReply:");
}

quint64 OSSApi::download(int id, const QString &key, const QString &targetPath)
{
    return queue->submit(QUrl(IMAGE_HOST + QLatin1Char('/') + key),
                         [this, id, key, targetPath] { return startDownload(id, key, targetPath); });
}

QNetworkReply *OSSApi::startDownload(int id, const QString &key, const QString &targetPath)
{
    QNetworkReply *reply =
        manager->get(pictureHostRequest(QUrl(IMAGE_HOST + QLatin1Char('/') + key), transferTimeoutMs));
    reply->setProperty(TAG_ID, id);
    reply->setProperty(TAG_TARGET_PATH, targetPath);

    // The body goes to disk as it arrives, into a file beside the target that
    // replaces it only once the whole picture is written; a failed transfer
    // leaves any existing file as it was. Without a read limit the network
    // thread hands the body over faster than this thread writes it out, and
    // the backlog of a whole batch piles up in memory. The file is created on
    // the first bytes, so only transfers under way hold one open. A picture
    // that cannot be stored is not worth fetching further.
    reply->setReadBufferSize(DOWNLOAD_BUFFER_SIZE);
    auto *file = new PartFile(targetPath, reply);
    connect(reply, &QNetworkReply::readyRead, file, [reply, file] {
        if (!storeAvailable(reply, file)) {
            reply->setProperty(TAG_WRITE_FAILED, true);
            reply->abort();
        }
    });
    connect(reply, &QNetworkReply::finished, this, &OSSApi::downloadReply);
    return reply;
}

void OSSApi::downloadReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    if (!reply)
        return;
    reply->deleteLater();
    const int id = reply->property(TAG_ID).toInt();
    // The part file is a child of the reply: committed here, or removed now,
    // before anyone hears of the outcome.
    auto *file = reply->findChild<PartFile *>();
    TransferOutcome outcome = TransferOutcome::fromReply(reply);
    const bool writeFailed = reply->property(TAG_WRITE_FAILED).toBool();
    bool success = outcome.succeeded() && !writeFailed;
    if (success && !(file && storeAvailable(reply, file) && file->isOpen() && file->commit())) {
        success = false;
        outcome = TransferOutcome::localFailure(QStringLiteral("写入失败"));
    } else if (writeFailed) {
        outcome = TransferOutcome::localFailure(QStringLiteral("写入失败"));
    }
    if (!success && file)
        file->discard();
    Q_EMIT finishDownload(success, id, outcome);
}
