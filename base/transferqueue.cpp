#include "base/transferqueue.h"

#include "base/transferoutcome.h"

#include <QNetworkReply>
#include <QTimer>
#include <QUrl>

TransferQueue::TransferQueue(int limitPerHost, QObject *parent)
    : QObject(parent)
    , limit(limitPerHost)
{
}

quint64 TransferQueue::submit(const QUrl &url, Sender send)
{
    const QString hostKey = url.host() + QLatin1Char(':') + QString::number(url.port(-1));
    const quint64 ticket = ++lastTicket;
    hosts[hostKey].waiting.push_back({ticket, std::move(send)});
    hostOfTicket.insert(ticket, hostKey);
    sendWaiting(hostKey);
    return ticket;
}

bool TransferQueue::cancel(quint64 ticket)
{
    const auto found = hostOfTicket.constFind(ticket);
    if (found == hostOfTicket.cend())
        return false;
    const QString hostKey = *found;
    Host &host = hosts[hostKey];
    for (auto it = host.waiting.begin(); it != host.waiting.end(); ++it) {
        if (it->ticket == ticket) {
            host.waiting.erase(it);
            hostOfTicket.remove(ticket);
            return true;
        }
    }
    const QPointer<QNetworkReply> reply = host.running.value(ticket);
    if (!reply)
        return false;
    TransferOutcome::markCancelled(reply);
    reply->abort(); // finishes at once; the place it frees is filled on the next turn
    return true;
}

void TransferQueue::sendWaiting(const QString &hostKey)
{
    // Looked up afresh on every round: a sender may queue further requests.
    for (;;) {
        Host &host = hosts[hostKey];
        if (host.running.size() >= limit || host.waiting.empty())
            return;
        Pending next = std::move(host.waiting.front());
        host.waiting.pop_front();
        QNetworkReply *reply = next.send();
        if (!reply) {
            hostOfTicket.remove(next.ticket);
            continue;
        }
        const quint64 ticket = next.ticket;
        hosts[hostKey].running.insert(ticket, reply);
        connect(reply, &QNetworkReply::finished, this, [this, hostKey, ticket] {
            hosts[hostKey].running.remove(ticket);
            hostOfTicket.remove(ticket);
            scheduleSend(hostKey);
        });
    }
}

void TransferQueue::scheduleSend(const QString &hostKey)
{
    // Not at once: whoever just cancelled a reply may be cancelling the
    // waiting ones next, and none of those should reach the wire first.
    QTimer::singleShot(0, this, [this, hostKey] { sendWaiting(hostKey); });
}
