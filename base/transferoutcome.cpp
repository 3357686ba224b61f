#include "base/transferoutcome.h"

#include <QNetworkReply>

namespace {

const char CANCELLED_TAG[] = "cancelledByTool";
const int FIRST_ERROR_STATUS = 400;
const int TOO_MANY_REQUESTS = 429;
const int FIRST_SERVER_ERROR = 500;

QString networkReason(QNetworkReply::NetworkError error, const QString &errorString)
{
    switch (error) {
    case QNetworkReply::ConnectionRefusedError:
    case QNetworkReply::ProxyConnectionRefusedError:
        return QStringLiteral("连接被拒绝");
    case QNetworkReply::RemoteHostClosedError:
    case QNetworkReply::ProxyConnectionClosedError:
        return QStringLiteral("连接被关闭");
    case QNetworkReply::HostNotFoundError:
    case QNetworkReply::ProxyNotFoundError:
        return QStringLiteral("找不到主机");
    // A transfer time-out aborts the reply, which then reports a cancel.
    case QNetworkReply::OperationCanceledError:
    case QNetworkReply::TimeoutError:
    case QNetworkReply::ProxyTimeoutError:
        return QStringLiteral("超时");
    default:
        return QStringLiteral("网络错误：") + errorString;
    }
}

} // namespace

TransferOutcome TransferOutcome::fromReply(const QNetworkReply *reply)
{
    TransferOutcome outcome;
    outcome.httpStatus = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->property(CANCELLED_TAG).toBool()) {
        outcome.kind = Cancelled;
        outcome.reason = QStringLiteral("已停止");
        return outcome;
    }
    const QNetworkReply::NetworkError error = reply->error();
    if (error == QNetworkReply::NoError && outcome.httpStatus < FIRST_ERROR_STATUS)
        return outcome;
    if (outcome.httpStatus >= FIRST_ERROR_STATUS) {
        outcome.reason = QStringLiteral("HTTP ") + QString::number(outcome.httpStatus);
        const bool transient = outcome.httpStatus == TOO_MANY_REQUESTS || outcome.httpStatus >= FIRST_SERVER_ERROR;
        outcome.kind = transient ? Transient : Refused;
        return outcome;
    }
    outcome.kind = Transient;
    outcome.reason = networkReason(error, reply->errorString());
    return outcome;
}

TransferOutcome TransferOutcome::refused(const QString &reason)
{
    return {Refused, 0, reason};
}

TransferOutcome TransferOutcome::transient(const QString &reason)
{
    return {Transient, 0, reason};
}

TransferOutcome TransferOutcome::localFailure(const QString &reason)
{
    return {LocalFailure, 0, reason};
}

void TransferOutcome::markCancelled(QNetworkReply *reply)
{
    reply->setProperty(CANCELLED_TAG, true);
}

QString withReason(const QString &line, const QString &reason)
{
    return reason.isEmpty() ? line : line + QStringLiteral("（") + reason + QStringLiteral("）");
}
