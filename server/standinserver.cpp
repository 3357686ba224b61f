#include "server/standinserver.h"

#include "server/osserror.h"

#include <QDir>
#include <QHttpServerRequest>
#include <QHttpServerResponder>
#include <QRandomGenerator>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

namespace {

const char DATABASE_FILE[] = "site.db";
const char OBJECTS_FOLDER[] = "objects";

QString requestHost(const QHttpServerRequest &request)
{
    QString host = QString::fromUtf8(request.value("host")).toLower();
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0 && !host.endsWith(QLatin1Char(']')))
        host.truncate(colon);
    return host;
}

bool chance(double share)
{
    return share > 0 && QRandomGenerator::global()->generateDouble() < share;
}

} // namespace

StandInServer::StandInServer(const ServerOptions &options, QObject *parent)
    : QAbstractHttpServer(parent)
    , serverOptions(options)
{
}

bool StandInServer::openData(const QString &dataFolder)
{
    if (!QDir().mkpath(dataFolder)) {
        lastError = QStringLiteral("cannot create %1").arg(dataFolder);
        return false;
    }
    if (!store.open(QDir(dataFolder).filePath(QLatin1String(DATABASE_FILE)))) {
        lastError = store.errorString();
        return false;
    }
    objects = std::make_unique<ObjectStore>(QDir(dataFolder).filePath(QLatin1String(OBJECTS_FOLDER)));
    site = std::make_unique<SiteApi>(serverOptions, store);
    bucket = std::make_unique<BucketService>(serverOptions, *objects);
    return true;
}

QString StandInServer::errorString() const
{
    return lastError;
}

SiteStore &StandInServer::siteStore()
{
    return store;
}

ObjectStore &StandInServer::objectStore()
{
    return *objects;
}

ServerOptions &StandInServer::options()
{
    return serverOptions;
}

HttpAnswer StandInServer::dispatch(const QHttpServerRequest &request) const
{
    IncomingRequest incoming;
    incoming.host = requestHost(request);
    incoming.path = request.url().path(QUrl::FullyDecoded);
    incoming.query = request.query();
    incoming.headers = request.headers();
    incoming.body = request.body();
    switch (request.method()) {
    case QHttpServerRequest::Method::Get: incoming.method = "GET"; break;
    case QHttpServerRequest::Method::Head: incoming.method = "HEAD"; break;
    case QHttpServerRequest::Method::Post: incoming.method = "POST"; break;
    default: incoming.method = "OTHER"; break;
    }

    const bool read = incoming.method == "GET" || incoming.method == "HEAD";
    if (incoming.host == serverOptions.siteHost) {
        if (!read && incoming.method != "POST")
            return HttpAnswer::text(405, "Method Not Allowed");
        return site->handle(incoming);
    }
    if (incoming.host == serverOptions.bucketHost || incoming.host == serverOptions.imageHost) {
        if (read)
            return bucket->getObject(incoming);
        if (incoming.method == "POST" && incoming.host == serverOptions.bucketHost && incoming.path == QLatin1String("/"))
            return bucket->postObject(incoming);
        return ossError(405, QStringLiteral("MethodNotAllowed"),
                        QStringLiteral("The specified method is not allowed against this resource."), incoming.host);
    }
    return HttpAnswer::text(404, "Unknown host: " + incoming.host.toUtf8());
}

HttpAnswer StandInServer::injectedFailure(const QString &host) const
{
    if (host == serverOptions.siteHost)
        return HttpAnswer::text(500, "Internal Server Error");
    return ossError(500, QStringLiteral("InternalError"),
                    QStringLiteral("We encountered an internal error. Please try again."), host);
}

bool StandInServer::handleRequest(const QHttpServerRequest &request, QTcpSocket *socket)
{
    const bool drop = chance(serverOptions.dropShare);
    HttpAnswer answer;
    if (!drop)
        answer = chance(serverOptions.failShare) ? injectedFailure(requestHost(request)) : dispatch(request);
    const bool withBody = request.method() != QHttpServerRequest::Method::Head;

    // The responder is move-only; the timer's functor must be copyable.
    auto responder = std::make_shared<QHttpServerResponder>(makeResponder(request, socket));
    auto send = [responder, socket, answer, drop, withBody] {
        if (drop)
            socket->abort();
        else
            writeAnswer(*responder, answer, withBody);
    };
    if (serverOptions.delayMs > 0)
        QTimer::singleShot(serverOptions.delayMs, socket, send); // dropped with the socket if it goes first
    else
        send();
    return true;
}

void StandInServer::missingHandler(const QHttpServerRequest &request, QTcpSocket *socket)
{
    makeResponder(request, socket).write(QHttpServerResponder::StatusCode::NotFound);
}

void StandInServer::writeAnswer(QHttpServerResponder &responder, const HttpAnswer &answer, bool withBody)
{
    responder.writeStatusLine(static_cast<QHttpServerResponder::StatusCode>(answer.status));
    for (const auto &header : answer.headers)
        responder.writeHeader(header.first, header.second);
    if (answer.status != 204 && answer.status != 304)
        responder.writeHeader("Content-Length", QByteArray::number(answer.body.size()));
    responder.writeBody(withBody && answer.status != 204 ? answer.body : QByteArray());
}
