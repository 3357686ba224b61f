#include "base/servicehealth.h"

#include "base/transferoutcome.h"

ServiceHealth::ServiceHealth(const QString &name)
    : serviceName(name)
{
}

bool ServiceHealth::record(const TransferOutcome &outcome, int downAfter)
{
    if (outcome.isCancelled() || down)
        return false;
    if (!outcome.isTransient()) {
        failuresInRow = 0;
        return false;
    }
    ++failuresInRow;
    down = failuresInRow >= downAfter;
    return down;
}

void ServiceHealth::reset()
{
    failuresInRow = 0;
    down = false;
}

QString ServiceHealth::downLine() const
{
    return QStringLiteral("%1无响应（连续失败 %2 次），本次不再向其发送").arg(serviceName).arg(failuresInRow);
}

QString ServiceHealth::downReason() const
{
    return serviceName + QStringLiteral("无响应");
}
