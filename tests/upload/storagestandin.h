#pragma once

#include "testhttpserver.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <optional>

// Storage bucket, picture host and site API in one loopback server. The storage
// client reaches it as an HTTP proxy (http_proxy), the site client directly
// (config.ini). Answers follow the sets and scripts below; every exchange is
// recorded.
class StorageStandIn : public QObject
{
    Q_OBJECT

public:
    enum Service { Probe, Upload, Registration };

    explicit StorageStandIn(QObject *parent = nullptr);

    // Routes the storage client through this server and names it as the site.
    // Call before the first request and before the site client is created.
    void install();

    TestHttpServer server;

    QSet<QString> stored;            // MD5s the picture host already holds
    QSet<QString> failingUploads;    // MD5s whose upload the bucket refuses
    QSet<QString> refusedRegistrations;

    // Answers for the given picture's requests to one service, one per try in
    // turn; the last one goes on being given. They take the place of the sets'.
    void script(Service service, const QString &md5, const QList<ScriptedResponse> &answers);
    // One answer for every request to the service.
    void answerAll(Service service, const ScriptedResponse &answer);

    // When set, every n-th request to the bucket or the picture host is
    // answered by closing the connection.
    int dropEveryNth = 0;

    QStringList probes;              // MD5 of each existence probe, in arrival order
    QStringList uploads;             // object key of each upload
    QList<QPair<QString, QString>> registrations; // (md5, name)
    int deepestLoopLevel = 0;        // event loop nesting seen while answering

    int requestsFor(Service service) const;
    void reset();

private:
    ScriptedResponse answer(const RecordedRequest &request);
    std::optional<ScriptedResponse> scripted(Service service, const QString &md5);

    QHash<QPair<int, QString>, QList<ScriptedResponse>> scripts;
    QHash<int, ScriptedResponse> answersForAll;
    int storageRequests = 0;
};
