#include "base/constants.h"

#include "base/buildconfig.h"

const QString API_VERSION = QStringLiteral(ZAMTU_API_VERSION);
const QString SITE_URL = QStringLiteral(ZAMTU_SITE_URL);
const QString IMAGE_HOST = QStringLiteral(ZAMTU_IMAGE_HOST);
const QString OSS_ENDPOINT = QStringLiteral(ZAMTU_OSS_ENDPOINT);
const QString OSS_BUCKET = QStringLiteral(ZAMTU_OSS_BUCKET);
const QString OSS_ACCESS_KEY_ID = QStringLiteral(ZAMTU_OSS_ACCESS_KEY_ID);
const QString OSS_ACCESS_KEY_SECRET = QStringLiteral(ZAMTU_OSS_ACCESS_KEY_SECRET);

const QString IMAGE_SUFFIXES = QStringLiteral(".jpeg,.jpg,.png,.gif");
