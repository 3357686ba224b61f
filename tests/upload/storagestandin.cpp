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

void StorageStandIn::script(Service service, const QString &md5, const QList<ScriptedResponse> &answers)
{
    scripts.insert({service, md5}, answers);
}

void StorageStandIn::answerAll(Service service, const ScriptedResponse &answer)
{
    answersForAll.insert(service, answer);
}

int StorageStandIn::requestsFor(Service service) const
{
    switch (service) {
    case Probe:
        return int(probes.size());
    case Upload:
        return int(uploads.size());
    case Registration:
        return int(registrations.size());
    }
    return 0;
}

std::optional<ScriptedResponse> StorageStandIn::scripted(Service service, const QString &md5)
{
    if (answersForAll.contains(service))
        return answersForAll.value(service);
    auto found = scripts.find({service, md5});
    if (found == scripts.end() || found->isEmpty())
        return std::nullopt;
    return found->size() > 1 ? found->takeFirst() : found->first();
}

void StorageStandIn::reset()
{
    scripts.clear();
    answersForAll.clear();
    dropEveryNth = 0;
    storageRequests = 0;
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

    const bool storage = request.target.startsWith(PICTURE_HOST) || request.target.startsWith(BUCKET_HOST);
    if (storage && dropEveryNth > 0 && ++storageRequests % dropEveryNth == 0)
        return ScriptedResponse::dropped();
    if (request.method == "GET" && request.target.startsWith(PICTURE_HOST)) {
        const QByteArray rest = request.target.mid(PICTURE_HOST.size());
        const QString md5 = QString::fromLatin1(rest.left(rest.indexOf('?')));
        probes.append(md5);
        if (const auto answer = scripted(Probe, md5))
            return *answer;
        return stored.contains(md5) ? ScriptedResponse::ok("GIF89a") : ScriptedResponse::withStatus(404);
    }
    if (request.method == "POST" && request.target.startsWith(BUCKET_HOST)) {
        const QString key = formField(request.body, "key");
        uploads.append(key);
        if (const auto answer = scripted(Upload, key))
            return *answer;
        return failingUploads.contains(key) ? ScriptedResponse::withStatus(403, "<Error/>")
                                            : ScriptedResponse::withStatus(204);
    }
    if (request.method == "POST" && request.target == REGISTRATION) {
        const QString md5 = bodyField(request.body, QStringLiteral("md5"));
        registrations.append({md5, bodyField(request.body, QStringLiteral("name"))});
        if (const auto answer = scripted(Registration, md5))
            return *answer;
        return ScriptedResponse::ok(refusedRegistrations.contains(md5) ? "code=9001" : "code=0000");
    }
    return ScriptedResponse::withStatus(404);
}
