#include "testhttpserver.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

namespace {

const char BUFFER_PROPERTY[] = "pendingBytes";
// The Host of the request a connection has received and not yet answered.
const char OPEN_REQUEST_PROPERTY[] = "openRequestHost";

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 200: return "OK";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 400: return "Bad Request";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 429: return "Too Many Requests";
    case 500: return "Internal Server Error";
    case 503: return "Service Unavailable";
    default: return "Status";
    }
}

// Parses one complete request from the front of buffer; returns false when more
// bytes are needed.
bool takeRequest(QByteArray &buffer, RecordedRequest &request)
{
    const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
    if (headerEnd < 0)
        return false;
    const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
    qint64 contentLength = 0;
    RecordedRequest parsed;
    const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
    parsed.method = requestLine.value(0);
    parsed.target = requestLine.value(1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        parsed.headers.append({name, value});
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            contentLength = value.toLongLong();
    }
    const qsizetype total = headerEnd + 4 + contentLength;
    if (buffer.size() < total)
        return false;
    parsed.body = buffer.mid(headerEnd + 4, contentLength);
    parsed.raw = buffer.left(total);
    buffer.remove(0, total);
    request = parsed;
    return true;
}

} // namespace

bool RecordedRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QByteArray RecordedRequest::header(const QByteArray &name) const
{
    for (const auto &header : headers) {
        if (header.first.compare(name, Qt::CaseInsensitive) == 0)
            return header.second;
    }
    return {};
}

TestHttpServer::TestHttpServer(QObject *parent)
    : QObject(parent)
{
    connect(&m_server, &QTcpServer::newConnection, this, &TestHttpServer::onNewConnection);
    m_server.listen(QHostAddress::LocalHost);
}

TestHttpServer::~TestHttpServer()
{
    // Connections still open close with the listening socket, after this
    // object's own members are gone: they must not report back.
    const QList<QTcpSocket *> sockets = m_server.findChildren<QTcpSocket *>();
    for (QTcpSocket *socket : sockets)
        socket->disconnect(this);
}

QUrl TestHttpServer::url() const
{
    return QUrl(baseUrl());
}

QString TestHttpServer::baseUrl() const
{
    return QStringLiteral("http://127.0.0.1:%1").arg(port());
}

quint16 TestHttpServer::port() const
{
    return m_server.serverPort();
}

void TestHttpServer::setHandler(Handler handler)
{
    m_handler = std::move(handler);
}

void TestHttpServer::enqueue(const ScriptedResponse &response)
{
    m_queue.append(response);
}

void TestHttpServer::clear()
{
    m_requests.clear();
    m_mostInFlight = m_inFlight;
}

void TestHttpServer::onNewConnection()
{
    while (QTcpSocket *socket = m_server.nextPendingConnection()) {
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { onReadyRead(socket); });
        connect(socket, &QTcpSocket::disconnected, this, [this, socket] {
            settle(socket); // a client that gives up on its request closes the connection
            socket->deleteLater();
        });
    }
}

void TestHttpServer::settle(QTcpSocket *socket)
{
    const QByteArray host = socket->property(OPEN_REQUEST_PROPERTY).toByteArray();
    if (host.isNull())
        return;
    socket->setProperty(OPEN_REQUEST_PROPERTY, QVariant());
    --m_inFlight[host];
}

void TestHttpServer::onReadyRead(QTcpSocket *socket)
{
    QByteArray buffer = socket->property(BUFFER_PROPERTY).toByteArray() + socket->readAll();
    RecordedRequest request;
    while (takeRequest(buffer, request)) {
        m_requests.append(request);
        QByteArray host = request.header("Host");
        if (host.isNull())
            host = QByteArrayLiteral("-");
        socket->setProperty(OPEN_REQUEST_PROPERTY, host);
        const int open = ++m_inFlight[host];
        m_mostInFlight[host] = qMax(m_mostInFlight.value(host), open);
        Q_EMIT requestReceived(int(m_requests.size()) - 1);
        answer(socket, request);
    }
    socket->setProperty(BUFFER_PROPERTY, buffer);
}

void TestHttpServer::answer(QTcpSocket *socket, const RecordedRequest &request)
{
    ScriptedResponse response;
    if (m_handler)
        response = m_handler(request);
    else if (!m_queue.isEmpty())
        response = m_queue.takeFirst();
    else
        response = ScriptedResponse::withStatus(404, "no scripted response");

    if (response.delayMs <= 0) {
        write(socket, response);
        return;
    }
    QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(response.delayMs, this, [this, guarded, response] {
        if (guarded)
            write(guarded, response);
    });
}

void TestHttpServer::write(QTcpSocket *socket, const ScriptedResponse &response)
{
    if (response.hang)
        return;
    // A stalled answer stays in flight until the client gives up on it.
    if (!response.stall)
        settle(socket);
    if (response.drop) {
        socket->abort();
        return;
    }
    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + ' '
        + reasonPhrase(response.status) + "\r\n";
    for (const auto &header : response.headers)
        head += header.first + ": " + header.second + "\r\n";
    head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n\r\n";
    socket->write(head);
    if (response.stall) {
        socket->write(response.body.left(response.body.size() / 2));
        socket->flush();
        return;
    }
    if (response.truncate) {
        socket->write(response.body.left(response.body.size() / 2));
        socket->flush();
        socket->disconnectFromHost();
        return;
    }
    socket->write(response.body);
}
