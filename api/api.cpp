#include "api/api.h"

#include "base/config.h"
#include "base/constants.h"
#include "base/debuglog.h"
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

} // namespace

Api::Api(QObject *parent)
    : QObject(parent)
    , manager(new QNetworkAccessManager)
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

QNetworkRequest Api::apiRequest(const QString &path, bool withToken) const
{
    QNetworkRequest request{QUrl(domain + path)};
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
    const QString path = QStringLiteral("/index.php?m=api&f=login");
    debugQuoted(domain + path);
    const QByteArray body = "username=" + username.toUtf8() + "&password=" + passwordField;
    QNetworkReply *reply = manager->post(apiRequest(path, false), body);
    reply->setProperty(TAG_USERNAME, username);
    reply->setProperty(TAG_PASSWORD, passwordTag);
    connect(reply, &QNetworkReply::finished, this, &Api::loginReply);
}

void Api::oss(int id, const QString &md5, const QString &name)
{
    const QByteArray body = "md5=" + md5.toUtf8() + "&name=" + name.toUtf8();
    QNetworkReply *reply = manager->post(apiRequest(QStringLiteral("/index.php?m=api&f=oss"), true), body);
    reply->setProperty(TAG_ID, id);
    reply->setProperty(TAG_MD5, md5);
    connect(reply, &QNetworkReply::finished, this, &Api::ossReply);
}

void Api::download(const QString &no)
{
    QNetworkReply *reply =
        manager->get(apiRequest(QStringLiteral("/index.php?m=api&f=download&no=") + no, true));
    reply->setProperty(TAG_NO, no);
    connect(reply, &QNetworkReply::finished, this, &Api::downloadReply);
}

void Api::excel(const QString &uri, const QString &targetPath)
{
    QNetworkReply *reply = manager->get(QNetworkRequest(QUrl(domain + uri)));
    reply->setProperty(TAG_TARGET_PATH, targetPath);
    connect(reply, &QNetworkReply::finished, this, &Api::excelReply);
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
                                                           bool emptyBodyIsError)
{
    if (reply->error() != QNetworkReply::NoError) {
        Q_EMIT serverError();
        return std::nullopt;
    }
    const QString text = replyText(reply);
    if (emptyBodyIsError && text.isEmpty()) {
        Q_EMIT serverError();
        return std::nullopt;
    }
    debugQuoted(label, text);
    QMap<QString, QString> data = parseReply(text);
    const QString code = data.value(QStringLiteral("code"));
    if (code == CODE_SUCCESS)
        return data;
    handleResultCode(code);
    return std::nullopt;
}

void Api::loginReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QString username = reply->property(TAG_USERNAME).toString();
    const QString password = reply->property(TAG_PASSWORD).toString();

    const auto data = successfulReply(reply, "loginReply:", true);
    if (!data)
        return;

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
    if (successfulReply(reply, "ossReply:", false))
        Q_EMIT successOss(id, md5);
}

void Api::downloadReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QString no = reply->property(TAG_NO).toString();
    if (const auto data = successfulReply(reply, "downloadReply:", false))
        Q_EMIT successDownload(no, *data);
}

void Api::excelReply()
{
    auto *reply = qobject_cast<QNetworkReply *>(sender());
    reply->deleteLater();
    const QByteArray body = reply->readAll();
    const QString targetPath = reply->property(TAG_TARGET_PATH).toString();
    if (reply->error() != QNetworkReply::NoError)
        return;

    // Written beside the target and renamed into place only when complete, so a
    // failed write never leaves a truncated spreadsheet where a good one was.
    QSaveFile file(targetPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size() || !file.commit())
        debugQuoted("Cannot write spreadsheet:", targetPath);
}
