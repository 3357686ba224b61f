#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>
#include <QUrlQuery>

// One HTTP request as the stand-in's services see it: the virtual host it was
// addressed to (from the Host header, port removed, lower case) and the target
// split into a decoded path and its query.
struct IncomingRequest
{
    QByteArray method;
    QString host;
    QString path;
    QUrlQuery query;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    // The value of the first header of that name (case-insensitive), or null.
    QByteArray header(const QByteArray &name) const;
};

// The answer a service gives: status, headers (Content-Length is added when
// the answer is written) and body.
struct HttpAnswer
{
    int status = 200;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;

    static HttpAnswer text(int status, const QByteArray &body,
                           const QByteArray &contentType = "text/plain; charset=utf-8");
};
