#include "storagestandin.h"

#include "testsupport.h"

#include <QThread>

namespace {

const QByteArray PICTURE_HOST = "http://img.zamtu.test/";
const QByteArray BUCKET_HOST = "http://zamtu.oss.zamtu.test";
const QByteArray REGISTRATION = "/index.php?m=api&f=oss";

QString formField(const QByteArray &body, const QByteArray &name)
{
    const QByteArray marker = "name=\"" + name + "\"\r\n\r\n";
    const qsizetype start = body.indexOf(marker);
    if (start < 0)
        return {};
    const qsizetype valueStart = start + marker.size();
    return QString::fromUtf8(body.mid(valueStart, body.indexOf("\r\n", valueStart) - valueStart));
}

QString bodyField(const QByteArray &body, const QString &key)
{
    const QStringList pairs = QString::fromUtf8(body).split(QLatin1Char('&'));
    for (const QString &pair : pairs) {
        if (pair.startsWith(key + QLatin1Char('=')))
            return pair.mid(key.size() + 1);
    }
    return {};
}

} // namespace

StorageStandIn::StorageStandIn(QObject *parent)
    : QObject(parent)
{
    server.setHandler([this](const RecordedRequest &request) { return answer(request); });
}

void StorageStandIn::install()
{
    qputenv("http_proxy", server.baseUrl().toUtf8());
    writeSiteConfig(server.baseUrl());
}

void StorageStandIn::reset()
{
    stored.clear();
    failingUploads.clear();
    refusedRegistrations.clear();
    probes.clear();
    uploads.clear();
    registrations.clear();
    deepestLoopLevel = 0;
    server.clear();
}

ScriptedResponse StorageStandIn::answer(const RecordedRequest &request)
{
    deepestLoopLevel = qMax(deepestLoopLevel, QThread::currentThread()->loopLevel());

    if (request.method == "GET" && request.target.startsWith(PICTURE_HOST)) {
        const QByteArray rest = request.target.mid(PICTURE_HOST.size());
        const QString md5 = QString::fromLatin1(rest.left(rest.indexOf('?')));
        probes.append(md5);
        return stored.contains(md5) ? ScriptedResponse::ok("GIF89a") : ScriptedResponse::withStatus(404);
    }
    if (request.method == "POST" && request.target.startsWith(BUCKET_HOST)) {
        const QString key = formField(request.body, "key");
        uploads.append(key);
        return failingUploads.contains(key) ? ScriptedResponse::withStatus(403, "<Error/>")
                                            : ScriptedResponse::withStatus(204);
    }
    if (request.method == "POST" && request.target == REGISTRATION) {
        const QString md5 = bodyField(request.body, QStringLiteral("md5"));
        registrations.append({md5, bodyField(request.body, QStringLiteral("name"))});
        return ScriptedResponse::ok(refusedRegistrations.contains(md5) ? "code=9001" : "code=0000");
    }
    return ScriptedResponse::withStatus(404);
}
