#pragma once

#include <QString>

// Values fixed at build time (see the ZAMTU_* CMake cache variables).
extern const QString API_VERSION;
extern const QString SITE_URL;
extern const QString IMAGE_HOST;
extern const QString OSS_ENDPOINT;
extern const QString OSS_BUCKET;
extern const QString OSS_ACCESS_KEY_ID;
extern const QString OSS_ACCESS_KEY_SECRET;

// Picture suffixes accepted by the upload scan, comma separated.
extern const QString IMAGE_SUFFIXES;
