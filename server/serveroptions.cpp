#include "server/serveroptions.h"

#include "base/buildconfig.h"

#include <QUrl>

ServerOptions ServerOptions::compiledDefaults()
{
    ServerOptions options;
    options.siteHost = QUrl(QStringLiteral(ZAMTU_SITE_URL)).host();
    options.bucketHost = QStringLiteral(ZAMTU_OSS_BUCKET) + QLatin1Char('.')
        + QUrl(QStringLiteral(ZAMTU_OSS_ENDPOINT)).host();
    options.imageHost = QUrl(QStringLiteral(ZAMTU_IMAGE_HOST)).host();
    options.accessKeyId = QStringLiteral(ZAMTU_OSS_ACCESS_KEY_ID);
    options.accessKeySecret = QStringLiteral(ZAMTU_OSS_ACCESS_KEY_SECRET);
    options.apiVersion = QStringLiteral(ZAMTU_API_VERSION);
    return options;
}
