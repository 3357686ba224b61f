#include "api/api.h"

#include "base/config.h"
#include "base/constants.h"
#include "base/batchlimits.h"
#include "base/debuglog.h"
#include "base/transferoutcome.h"
#include "base/transferqueue.h"
#include "store/user.h"

#include <QCryptographicHash>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QSaveFile>
#include <QUrl>

namespace {

const char TOKEN[] = "token";
const char TAG_USERNAME[] = "username";
const char TAG_PASSWORD[] = "password";
const char TAG_ID[] = "id";
const char TAG_MD5[] = "md5";
const char TAG_NO[] = "no";
const char TAG_TARGET_PATH[] = "targetPath";

const QString CODE_SUCCESS = QStringLiteral("0000");

QString replyText(QNetworkReply *reply)
{
    QByteArray body = reply->readAll();
    const qsizetype nul = body.indexOf('\0');
    if (nul >= 0)
        body.truncate(nul);
    return QString::fromUtf8(body);
}

// Why a reply that came through did not say "0000". A site that answers with
// nothing usable, or with its own failure code, counts as failing; any other
// code is the site's considered answer.
TransferOutcome codeFailure(const QString &text, const QMap<QString, QString> &data)
{
    if (text.isEmpty())
        return TransferOutcome::transient(QStringLiteral("空回复"));
    if (!data.contains(QStringLiteral("code")))
        return TransferOutcome::transient(QStringLiteral("无返回码"));
    const QString code = data.value(QStringLiteral("code"));
    // Line ends and other invisible characters are shown escaped.
    const QString shown = QString::fromLatin1(code.toUtf8().toPercentEncoding(" !\"#$&'()*+,/:;<=>?@[\\]^`{|}"));
    const QString reason = QStringLiteral("返回码 ") + shown;
    return code == QLatin1String("9001") ? TransferOutcome::transient(reason) : TransferOutcome::refused(reason);
}

} // namespace

Api::Api(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager)
    , queue(new TransferQueue(MAX_TRANSFERS_PER_HOST, this))
    , transferTimeoutMs(TRANSFER_TIMEOUT_MS)
{
    // Redirects are answers in their own right, never followed.
    manager->setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    setProperty(TOKEN, QString());
    domain = readConfig(QStringLiteral("/Server/domain")).toString();
    debugQuoted("Domain:", domain);
}

Api::~Api()
{
    delete manager;
}

QNetworkRequest Api::apiRequest(const QUrl &url, bool withToken) const
{
    QNetworkRequest request{url};
    request.setTransferTimeout(transferTimeoutMs);
    request.setRawHeader("Content-Type", "application/x-www-form-urlencoded");
    request.setRawHeader("Api-Version", API_VERSION.toUtf8());
    if (withToken) {
        // Qt drops a header whose value is null; before the first login the
        // token is empty and must still be sent, as an empty value.
        QByteArray token("");
        token += property(TOKEN).toString().toUtf8();
        request.setRawHeader("Api-Token", token);
    }
    return request;
}

quint64 Api::send(const QUrl &url, std::function<QNetworkReply *()> start)
{
    return queue->submit(url, std::move(start));
}

void Api::cancel(quint64 ticket)
{
    if (ticket != 0)
        queue->cancel(ticket);
}

void Api::login(const QString &username, const QString &password)
{
    const QByteArray md5 = QCryptographicHash::hash(password.toUtf8(), QCryptographicHash::Md5).toHex();
    sendLogin(username, md5, md5);
}

void Api::loginWithMd5(const QString &username, const QString &passwordMd5)
{
    sendLogin(username, passwordMd5.toUtf8(), passwordMd5);
}

void Api::sendLogin(const QString &username, const QByteArray &passwordField, const QVariant &passwordTag)
{
    const QUrl url(domain + QStringLiteral("/index.php?m=api&f=login"));
    debugQuoted(domain + QStringLiteral("/index.php?m=api&f=login"));
    const QByteArray body = "username=" + username.toUtf8() + "&password=" + passwordField;
    send(url, [this, url, body, username, passwordTag] {
        QNetworkReply *reply = manager->post(apiRequest(url, false), body);
        reply->setProperty(TAG_USERNAME, username);
        reply->setProperty(TAG_PASSWORD, passwordTag);
        connect(reply, &QNetworkReply::finished, this, &Api::loginReply);
        return reply;
    });
}

quint64 Api::oss(int id, const QString &md5, const QString &name)
{
    const QUrl url(domain + QStringLiteral("/index.php?m=api&f=oss"));
    const QByteArray body = "md5=" + md5.toUtf8() + "&name=" + name.toUtf8();
    return send(url, [this, url, body, id, md5] {
        QNetworkReply *reply = manager->post(apiRequest(url, true), body);
        reply->setProperty(TAG_ID, id);
        reply->setProperty(TAG_MD5, md5);
        connect(reply, &QNetworkReply::finished, this, &Api::ossReply);
        return reply;
    });
}

quint64 Api::download(const QString &no)
{
    const QUrl url(domain + QStringLiteral("/index.php?m=api&f=download&no=") + no);
    return send(url, [this, url, no] {
        QNetworkReply *reply = manager->get(apiRequest(url, true));
        reply->setProperty(TAG_NO, no);
        connect(reply, &QNetworkReply::finished, this, &Api::downloadReply);
        return reply;
    });
}

quint64 Api::excel(const QString &uri, const QString &targetPath)
{
    const QUrl url(domain + uri);
    return send(url, [this, url, targetPath] {
        QNetworkRequest request{url};
        request.setTransferTimeout(transferTimeoutMs);
        QNetworkReply *reply = manager->get(request);
        reply->setProperty(TAG_TARGET_PATH, targetPath);
        connect(reply, &QNetworkReply::finished, this, &Api::excelReply);
        return reply;
    });
}

QMap<QString, QString> Api::parseReply(const QString &text)
{
    QMap<QString, QString> data;
    const QStringList parts = text.split(QLatin1Char('&'));
    for (const QString &part : parts) {
        const QStringList pieces = part.split(QLatin1Char('='));
        if (pieces.size() < 2)
            continue;
        data.insert(pieces.at(0), pieces.at(1));
    }
    return data;
}

void Api::handleResultCode(const QString &code)
{
    if (code == QLatin1String("9001"))
        Q_EMIT serverError();
    else if (code == QLatin1String("8001"))
        Q_EMIT versionError();
    else if (code == QLatin1String("8002"))
        Q_EMIT tokenError();
    else if (code == QLatin1String("1001"))
        Q_EMIT notExistsAccount();
    else if (code == QLatin1String("1002"))
        Q_EMIT notMatchPassword();
    else if (code == QLatin1String("1003"))
        Q_EMIT notExistsTicket();
    else if (code == QLatin1String("1004"))
        Q_EMIT ticketTimeout();
}

std::optional<QMap<QString, QString>> Api::successfulReply(QNetworkReply *reply, const char *label,
                                                           bool emptyBodyIsError, TransferOutcome &failure)
{
    failure = TransferOutcome::fromReply(reply);
    // Called off by the tool itself: not a failure anyone is to be told of.
    if (failure.isCancelled())
        return std::nullopt;
    if (reply->error() != QNetworkReply::NoError) {
        Q_EMIT serverError();
        return std::nullopt;
    }
    const QString text = replyText(reply);
    if (emptyBodyIsError && text.isEmpty()) {
        failure = codeFailure(text, {});
        Q_EMIT serverError();
        return std::nullopt;
    }
    debugQuoted(label, text);
    QMap<QString, QString> data = parseReply(text);
    const QString code = data.value(QStringLiteral("code"));
    if (code == CODE_SUCCESS)
        return data;
    failure = codeFailure(text, data);
    handleResultCode(code);
    return std::nullopt;
}

void Api::loginReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QString username = reply->property(TAG_USERNAME).toString();
    const QString password = reply->property(TAG_PASSWORD).toString();

    TransferOutcome failure;
    const auto data = successfulReply(reply, "loginReply:", true, failure);
    if (!data) {
        Q_EMIT failLogin(username, failure);
        return;
    }

    setProperty(TOKEN, data->value(QStringLiteral("token")));
    Q_EMIT successLogin(username);

    const User user{username, password};
    if (User::selectByUsername(username).username.isEmpty())
        user.insert();
    else
        user.updatePassword();
}

void Api::ossReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const int id = reply->property(TAG_ID).toInt();
    const QString md5 = reply->property(TAG_MD5).toString();
    TransferOutcome failure;
    if (successfulReply(reply, "ossReply:", false, failure))
        Q_EMIT successOss(id, md5);
    else
        Q_EMIT failOss(id, md5, failure);
}

void Api::downloadReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QString no = reply->property(TAG_NO).toString();
    TransferOutcome failure;
    if (const auto data = successfulReply(reply, "downloadReply:", false, failure))
        Q_EMIT successDownload(no, *data);
    else
        Q_EMIT failDownload(no, failure);
}

void Api::excelReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QString targetPath = reply->property(TAG_TARGET_PATH).toString();
    const TransferOutcome outcome = TransferOutcome::fromReply(reply);
    if (!outcome.succeeded()) {
        Q_EMIT finishExcel(false, targetPath, outcome);
        return;
    }
    const QByteArray body = reply->readAll();

    // Written beside the target and renamed into place only when complete, so a
    // failed write never leaves a truncated spreadsheet where a good one was.
    QSaveFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit()) {
        debugQuoted("Cannot write spreadsheet:", targetPath);
        Q_EMIT finishExcel(false, targetPath, TransferOutcome::localFailure(QStringLiteral("写入失败")));
        return;
    }
    Q_EMIT finishExcel(true, targetPath, outcome);
}
