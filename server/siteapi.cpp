#include "server/siteapi.h"

#include "server/sitestore.h"
#include "server/spreadsheet.h"

#include <QUrl>

namespace {

const QString CODE_SUCCESS = QStringLiteral("0000");
const QString CODE_SERVER_ERROR = QStringLiteral("9001");
const QString CODE_VERSION = QStringLiteral("8001");
const QString CODE_TOKEN = QStringLiteral("8002");
const QString CODE_NO_ACCOUNT = QStringLiteral("1001");
const QString CODE_WRONG_PASSWORD = QStringLiteral("1002");
const QString CODE_NO_NUMBER = QStringLiteral("1003");
const QString CODE_NUMBER_EXPIRED = QStringLiteral("1004");

const QString SPREADSHEET_PREFIX = QStringLiteral("/excel/");
const QString SPREADSHEET_SUFFIX = QStringLiteral(".xls");

// A reply in the site's format: pairs joined by "&", no line end after the
// last value (a trailing line end would become part of the value).
HttpAnswer reply(const QList<QPair<QString, QString>> &pairs)
{
    QStringList parts;
    for (const auto &pair : pairs)
        parts.append(pair.first + QLatin1Char('=') + pair.second);
    return HttpAnswer::text(200, parts.join(QLatin1Char('&')).toUtf8(), "text/html; charset=utf-8");
}

HttpAnswer code(const QString &value)
{
    return reply({{QStringLiteral("code"), value}});
}

} // namespace

QMap<QString, QString> splitRawForm(const QByteArray &body)
{
    QMap<QString, QString> values;
    const QList<QByteArray> parts = body.split('&');
    for (const QByteArray &part : parts) {
        const qsizetype eq = part.indexOf('=');
        if (eq < 0)
            continue;
        values.insert(QString::fromUtf8(part.left(eq)), QString::fromUtf8(part.mid(eq + 1)));
    }
    return values;
}

SiteApi::SiteApi(const ServerOptions &options, SiteStore &store)
    : options(options)
    , store(store)
{
}

QString SiteApi::spreadsheetUri(const QString &no)
{
    return SPREADSHEET_PREFIX + QString::fromLatin1(QUrl::toPercentEncoding(no)) + SPREADSHEET_SUFFIX;
}

HttpAnswer SiteApi::handle(const IncomingRequest &request) const
{
    if (request.path.startsWith(SPREADSHEET_PREFIX) && request.path.endsWith(SPREADSHEET_SUFFIX)) {
        const QString no = request.path.mid(SPREADSHEET_PREFIX.size(),
                                            request.path.size() - SPREADSHEET_PREFIX.size() - SPREADSHEET_SUFFIX.size());
        return spreadsheet(no);
    }
    if (request.path != QLatin1String("/index.php")
        || request.query.queryItemValue(QStringLiteral("m")) != QLatin1String("api"))
        return HttpAnswer::text(404, "Not Found");

    if (QString::fromUtf8(request.header("Api-Version")) != options.apiVersion)
        return code(CODE_VERSION);

    const QString function = request.query.queryItemValue(QStringLiteral("f"));
    if (function == QLatin1String("login"))
        return login(request);
    if (function != QLatin1String("oss") && function != QLatin1String("download"))
        return code(CODE_SERVER_ERROR);

    const auto username = store.tokenOwner(QString::fromUtf8(request.header("Api-Token")), options.tokenLifetimeSecs);
    if (!username)
        return code(CODE_TOKEN);
    if (function == QLatin1String("oss"))
        return registerPicture(request, *username);
    return downloadNumber(request);
}

HttpAnswer SiteApi::login(const IncomingRequest &request) const
{
    const QMap<QString, QString> form = splitRawForm(request.body);
    const auto stored = store.passwordMd5(form.value(QStringLiteral("username")));
    if (!stored)
        return code(CODE_NO_ACCOUNT);
    if (form.value(QStringLiteral("password")).toLower() != *stored)
        return code(CODE_WRONG_PASSWORD);
    const QString token = store.issueToken(form.value(QStringLiteral("username")));
    return reply({{QStringLiteral("code"), CODE_SUCCESS}, {QStringLiteral("token"), token}});
}

HttpAnswer SiteApi::registerPicture(const IncomingRequest &request, const QString &username) const
{
    const QMap<QString, QString> form = splitRawForm(request.body);
    const QString md5 = form.value(QStringLiteral("md5"));
    if (md5.isEmpty() || !store.addRegistration(username, md5, form.value(QStringLiteral("name"))))
        return code(CODE_SERVER_ERROR);
    return code(CODE_SUCCESS);
}

HttpAnswer SiteApi::downloadNumber(const IncomingRequest &request) const
{
    const QString no = request.query.queryItemValue(QStringLiteral("no"), QUrl::FullyDecoded);
    const auto number = store.number(no);
    if (!number)
        return code(CODE_NO_NUMBER);
    if (number->expiresAt <= QDateTime::currentDateTimeUtc())
        return code(CODE_NUMBER_EXPIRED);

    QList<QPair<QString, QString>> pairs{{QStringLiteral("code"), CODE_SUCCESS},
                                         {QStringLiteral("uri"), spreadsheetUri(no)}};
    for (int i = 0; i < number->items.size(); ++i) {
        const NumberItem &item = number->items.at(i);
        pairs.append({QStringLiteral("category%1").arg(i), item.category});
        pairs.append({QStringLiteral("name%1").arg(i), item.name});
        pairs.append({QStringLiteral("md5%1").arg(i), item.md5});
    }
    return reply(pairs);
}

HttpAnswer SiteApi::spreadsheet(const QString &no) const
{
    const auto number = store.number(no);
    if (!number)
        return HttpAnswer::text(404, "Not Found");
    return HttpAnswer::text(200, numberSpreadsheet(*number), "application/vnd.ms-excel");
}
