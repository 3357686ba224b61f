#include "storage/ossapi.h"

// Interim: the storage client is being built; every request fails at once.
#include <QNetworkAccessManager>
#include <QTimer>

OSSApi::OSSApi(QObject *parent) : QObject(parent), manager(new QNetworkAccessManager) {}
OSSApi::~OSSApi() { delete manager; }
void OSSApi::upload(int id, const QString &md5, const QString &) { QTimer::singleShot(0, this, [=] { Q_EMIT finishUpload(false, id, md5); }); }
void OSSApi::exists(int id, const QString &md5) { QTimer::singleShot(0, this, [=] { Q_EMIT finishExists(false, id, md5); }); }
void OSSApi::download(int id, const QString &, const QString &) { QTimer::singleShot(0, this, [=] { Q_EMIT finishDownload(false, id); }); }
QString OSSApi::sign(const QString &, const QString &) { return {}; }
QString OSSApi::hmacSha1(const QByteArray &, const QByteArray &) { return {}; }
void OSSApi::existsReply() {}
void OSSApi::uploadReply() {}
void OSSApi::downloadReply() {}
