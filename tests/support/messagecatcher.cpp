#include "messagecatcher.h"

#include <QMutex>
#include <QtGlobal>

namespace {

QMutex mutex;
QStringList caught;
QtMessageHandler previous = nullptr;

void catchMessage(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    {
        QMutexLocker locker(&mutex);
        caught.append(message);
    }
    if (previous)
        previous(type, context, message);
}

} // namespace

MessageCatcher::MessageCatcher()
{
    QMutexLocker locker(&mutex);
    caught.clear();
    previous = qInstallMessageHandler(catchMessage);
}

MessageCatcher::~MessageCatcher()
{
    qInstallMessageHandler(previous);
    QMutexLocker locker(&mutex);
    caught.clear();
}

QStringList MessageCatcher::messages() const
{
    QMutexLocker locker(&mutex);
    return caught;
}
