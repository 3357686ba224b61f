#pragma once

#include "server/standinserver.h"

#include <QByteArray>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTemporaryDir>

#include <memory>

// A stand-in server on a free loopback port with a fresh data folder, and a
// network access manager that reaches it as an HTTP proxy, the way the tool
// does with http_proxy set.
class StandInFixture
{
public:
    // Starts the server; seeds the demo data unless told not to.
    bool start(bool seedDemo = true);

    StandInServer &server() { return *standIn; }
    quint16 port() const { return listeningPort; }
    QByteArray proxyUrl() const;
    QString samplesFolder() const;

    struct Answer
    {
        QNetworkReply::NetworkError error = QNetworkReply::NoError;
        int status = 0;
        QByteArray contentType;
        QByteArray body;
    };

    // One exchange through the proxy; headers are given as name/value pairs.
    Answer get(const QString &url, const QList<QPair<QByteArray, QByteArray>> &headers = {});
    Answer post(const QString &url, const QByteArray &body,
                const QList<QPair<QByteArray, QByteArray>> &headers = {});

private:
    Answer finish(QNetworkReply *reply);

    QTemporaryDir dataDir;
    std::unique_ptr<StandInServer> standIn;
    quint16 listeningPort = 0;
    QNetworkAccessManager manager;
};
