#pragma once

#include "server/bucketservice.h"
#include "server/objectstore.h"
#include "server/serveroptions.h"
#include "server/siteapi.h"
#include "server/sitestore.h"

#include <QAbstractHttpServer>

class QHttpServerResponder;

// The site, the storage bucket and the picture host in one HTTP server,
// chosen by the Host header. Requests in proxy form (an absolute URL as the
// target) carry the same Host, so a client whose http_proxy points here
// reaches all three under their real names.
//
// State lives in one data folder: site.db (SQLite) and objects/.
class StandInServer : public QAbstractHttpServer
{
    Q_OBJECT

public:
    explicit StandInServer(const ServerOptions &options, QObject *parent = nullptr);

    // Opens the data folder; false with errorString() when it cannot.
    bool openData(const QString &dataFolder);
    QString errorString() const;

    SiteStore &siteStore();
    ObjectStore &objectStore();
    ServerOptions &options();

protected:
    bool handleRequest(const QHttpServerRequest &request, QTcpSocket *socket) override;
    void missingHandler(const QHttpServerRequest &request, QTcpSocket *socket) override;

private:
    HttpAnswer dispatch(const QHttpServerRequest &request) const;
    HttpAnswer injectedFailure(const QString &host) const;
    static void writeAnswer(QHttpServerResponder &responder, const HttpAnswer &answer, bool withBody);

    ServerOptions serverOptions;
    SiteStore store;
    std::unique_ptr<ObjectStore> objects;
    std::unique_ptr<SiteApi> site;
    std::unique_ptr<BucketService> bucket;
    QString lastError;
};
