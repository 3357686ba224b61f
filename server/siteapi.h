#pragma once

#include "server/httpexchange.h"
#include "server/serveroptions.h"

#include <QMap>

class SiteStore;

// The site: its key=value API under /index.php?m=api&f=... (login, picture
// registration, download numbers) and the spreadsheets the numbers point to.
class SiteApi
{
public:
    SiteApi(const ServerOptions &options, SiteStore &store);

    HttpAnswer handle(const IncomingRequest &request) const;

    // The path, relative to the site, of a number's spreadsheet.
    static QString spreadsheetUri(const QString &no);

private:
    HttpAnswer login(const IncomingRequest &request) const;
    HttpAnswer registerPicture(const IncomingRequest &request, const QString &username) const;
    HttpAnswer downloadNumber(const IncomingRequest &request) const;
    HttpAnswer spreadsheet(const QString &no) const;

    const ServerOptions &options;
    SiteStore &store;
};

// Splits a raw request body "a=1&b=2" at "&" and each part at its first "=",
// without any percent-decoding: the client sends its values unescaped.
QMap<QString, QString> splitRawForm(const QByteArray &body);
