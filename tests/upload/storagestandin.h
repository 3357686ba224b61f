#pragma once

#include "testhttpserver.h"

#include <QList>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

// Storage bucket, picture host and site API in one loopback server. The storage
// client reaches it as an HTTP proxy (http_proxy), the site client directly
// (config.ini). Answers follow the sets below; every exchange is recorded.
class StorageStandIn : public QObject
{
    Q_OBJECT

public:
    explicit StorageStandIn(QObject *parent = nullptr);

    // Routes the storage client through this server and names it as the site.
    // Call before the first request and before the site client is created.
    void install();

    TestHttpServer server;

    QSet<QString> stored;            // MD5s the picture host already holds
    QSet<QString> failingUploads;    // MD5s whose upload the bucket refuses
    QSet<QString> refusedRegistrations;

    QStringList probes;              // MD5 of each existence probe, in arrival order
    QStringList uploads;             // object key of each upload
    QList<QPair<QString, QString>> registrations; // (md5, name)
    int deepestLoopLevel = 0;        // event loop nesting seen while answering

    void reset();

private:
    ScriptedResponse answer(const RecordedRequest &request);
};
