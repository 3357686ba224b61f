#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QTcpServer>
#include <QUrl>

#include <functional>

class QTcpSocket;

// One HTTP request as it arrived, raw bytes included.
struct RecordedRequest
{
    QByteArray raw;        // request line, header lines and body, exactly as received
    QByteArray method;
    QByteArray target;     // request target as sent (path and query)
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    bool hasHeader(const QByteArray &name) const;
    QByteArray header(const QByteArray &name) const;   // case-insensitive name
};

// What the server answers to one request.
struct ScriptedResponse
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;      // Content-Length is added
    QByteArray body;
    int delayMs = 0;       // wait before answering
    bool drop = false;     // close the connection instead of answering
    bool truncate = false; // announce the full length, send half the body, close
    bool hang = false;     // never answer; keep the connection open
    bool stall = false;    // send the head and half the body, then keep the connection open

    static ScriptedResponse ok(const QByteArray &body) { return {200, {}, body}; }
    static ScriptedResponse withStatus(int status, const QByteArray &body = {}) { return {status, {}, body}; }
    static ScriptedResponse dropped() { ScriptedResponse r; r.drop = true; return r; }
    static ScriptedResponse hanging() { ScriptedResponse r; r.hang = true; return r; }
    static ScriptedResponse stalling(const QByteArray &body) { ScriptedResponse r = ok(body); r.stall = true; return r; }
};

// A scripted HTTP/1.1 server on loopback for tests. Each request is recorded and
// answered by the handler (or, without one, from the queue of scripted responses;
// an empty queue answers 404). Keep-alive connections are served.
class TestHttpServer : public QObject
{
    Q_OBJECT

public:
    using Handler = std::function<ScriptedResponse(const RecordedRequest &)>;

    explicit TestHttpServer(QObject *parent = nullptr);
    ~TestHttpServer() override;

    QUrl url() const;              // http://127.0.0.1:port
    QString baseUrl() const;       // the same as text, without a trailing slash
    quint16 port() const;

    void setHandler(Handler handler);
    void enqueue(const ScriptedResponse &response);

    const QList<RecordedRequest> &requests() const { return m_requests; }
    int requestCount() const { return int(m_requests.size()); }
    void clear();

    // Requests received and not yet answered, by their Host header, and the
    // most there ever were at once since the last clear().
    int inFlight(const QByteArray &host) const { return m_inFlight.value(host); }
    int mostInFlight(const QByteArray &host) const { return m_mostInFlight.value(host); }

Q_SIGNALS:
    void requestReceived(int index);

private:
    void onNewConnection();
    void onReadyRead(QTcpSocket *socket);
    void answer(QTcpSocket *socket, const RecordedRequest &request);
    void write(QTcpSocket *socket, const ScriptedResponse &response);
    void settle(QTcpSocket *socket);

    QTcpServer m_server;
    Handler m_handler;
    QList<ScriptedResponse> m_queue;
    QList<RecordedRequest> m_requests;
    QHash<QByteArray, int> m_inFlight;
    QHash<QByteArray, int> m_mostInFlight;
};
