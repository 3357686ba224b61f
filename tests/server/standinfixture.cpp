#include "standinfixture.h"

#include "server/demodata.h"

#include <QNetworkProxy>
#include <QNetworkRequest>
#include <QSignalSpy>

namespace {

const int EXCHANGE_TIMEOUT_MS = 10000;

} // namespace

bool StandInFixture::start(bool seedDemo)
{
    if (!dataDir.isValid())
        return false;
    standIn = std::make_unique<StandInServer>(ServerOptions::compiledDefaults());
    if (!standIn->openData(dataDir.path()))
        return false;
    if (seedDemo && !seedDemoData(standIn->siteStore(), standIn->objectStore(), samplesFolder()))
        return false;
    listeningPort = standIn->listen(QHostAddress::LocalHost, 0);
    manager.setRedirectPolicy(QNetworkRequest::ManualRedirectPolicy);
    manager.setProxy(QNetworkProxy(QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), listeningPort));
    return listeningPort != 0;
}

QByteArray StandInFixture::proxyUrl() const
{
    return "http://127.0.0.1:" + QByteArray::number(listeningPort);
}

QString StandInFixture::samplesFolder() const
{
    return dataDir.filePath(QStringLiteral("samples"));
}

StandInFixture::Answer StandInFixture::get(const QString &url, const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request{QUrl(url)};
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    return finish(manager.get(request));
}

StandInFixture::Answer StandInFixture::post(const QString &url, const QByteArray &body,
                                            const QList<QPair<QByteArray, QByteArray>> &headers)
{
    QNetworkRequest request{QUrl(url)};
    request.setHeader(QNetworkRequest::ContentTypeHeader, QByteArrayLiteral("application/x-www-form-urlencoded"));
    for (const auto &header : headers)
        request.setRawHeader(header.first, header.second);
    return finish(manager.post(request, body));
}

StandInFixture::Answer StandInFixture::finish(QNetworkReply *reply)
{
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(EXCHANGE_TIMEOUT_MS);
    Answer answer;
    answer.error = reply->error();
    answer.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    answer.contentType = reply->rawHeader("Content-Type");
    answer.body = reply->readAll();
    reply->deleteLater();
    return answer;
}
