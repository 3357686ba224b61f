#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QString>

#include <deque>
#include <functional>

class QNetworkReply;
class QUrl;

// Requests grouped by the host they go to, with at most a fixed number in
// flight per host. The rest wait here, in the order they came, and go out as
// earlier ones finish: the network layer never has to queue one itself, so a
// transfer's time-out only ever runs while the transfer is on the wire, and
// twenty thousand pictures never mean twenty thousand open replies.
class TransferQueue : public QObject
{
    Q_OBJECT

public:
    // Starts a request and returns its reply, or nullptr when it ended without one.
    using Sender = std::function<QNetworkReply *()>;

    explicit TransferQueue(int limitPerHost, QObject *parent = nullptr);

    // Queues a request for url's host; send runs once a place is free. The
    // ticket (never 0) names the request for cancel().
    quint64 submit(const QUrl &url, Sender send);

    // A waiting request is dropped without a reply; one in flight is aborted
    // and finishes as cancelled. False when the ticket is unknown or done.
    bool cancel(quint64 ticket);

private:
    struct Pending
    {
        quint64 ticket;
        Sender send;
    };
    struct Host
    {
        std::deque<Pending> waiting;
        QHash<quint64, QPointer<QNetworkReply>> running;
    };

    void sendWaiting(const QString &hostKey);
    void scheduleSend(const QString &hostKey);

    int limit;
    quint64 lastTicket = 0;
    QHash<QString, Host> hosts;
    QHash<quint64, QString> hostOfTicket;
};
