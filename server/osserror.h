#pragma once

#include "server/httpexchange.h"

#include <QList>
#include <QPair>
#include <QString>

// Request ids in the storage service's form: 24 upper-case hex digits.
QByteArray newRequestId();

// The storage service's error answer: the status and an XML body
// <Error><Code/><Message/><RequestId/><HostId/>...</Error>, with any extra
// elements (such as SignatureProvided) after HostId.
HttpAnswer ossError(int status, const QString &code, const QString &message, const QString &hostId,
                    const QList<QPair<QString, QString>> &extra = {});
