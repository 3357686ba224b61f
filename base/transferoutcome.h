#pragma once

#include <QMetaType>
#include <QString>

class QNetworkReply;

// How one request to a remote service ended, as a batch run judges it: done,
// refused for good, worth another try, or called off by the tool itself. The
// reason is a brief text for log lines and result lists ("HTTP 403", "超时").
struct TransferOutcome
{
    enum Kind {
        Succeeded,    // answered with a status below 400
        Refused,      // answered with a status from 400 to 499 other than 429, or turned down by the site
        Transient,    // a network error, a time-out, 429 or a status of 500 or more
        Cancelled,    // aborted by the tool (a stopped run)
        LocalFailure, // the local file could not be read or written
    };

    Kind kind = Succeeded;
    int httpStatus = 0;
    QString reason;

    bool succeeded() const { return kind == Succeeded; }
    bool isTransient() const { return kind == Transient; }
    bool isCancelled() const { return kind == Cancelled; }

    // The outcome of a finished reply (redirects are never followed, so any
    // answer below 400 counts as done).
    static TransferOutcome fromReply(const QNetworkReply *reply);
    static TransferOutcome refused(const QString &reason);
    static TransferOutcome transient(const QString &reason);
    static TransferOutcome localFailure(const QString &reason);

    // Marks a reply that the tool is about to abort, so that it finishes as
    // cancelled rather than as a failure of the service.
    static void markCancelled(QNetworkReply *reply);
};

Q_DECLARE_METATYPE(TransferOutcome)

// A line with the reason of a failure after it: "发送失败：path（HTTP 403）".
QString withReason(const QString &line, const QString &reason);
