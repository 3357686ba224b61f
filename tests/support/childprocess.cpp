#include "childprocess.h"

#include "testsupport.h"

#include <QDeadlineTimer>
#include <QDebug>
#include <QProcess>
#include <QTest>

namespace {

const int POLL_MS = 50;

} // namespace

quint16 startStandInServer(QProcess &process, const QString &program, const QString &dataDir,
                           const QStringList &options, int timeoutMs)
{
    const QString portFile = dataDir + QStringLiteral(".port");
    const QString log = dataDir + QStringLiteral(".log");
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.setStandardOutputFile(log);
    process.start(program, QStringList{QStringLiteral("--data"), dataDir, QStringLiteral("--port"), QStringLiteral("0"),
                                       QStringLiteral("--port-file"), portFile}
                               + options + QStringList{QStringLiteral("serve")});
    quint16 port = 0;
    QDeadlineTimer deadline(timeoutMs);
    while (port == 0 && !deadline.hasExpired() && process.state() != QProcess::NotRunning) {
        port = readFile(portFile).trimmed().toUShort();
        if (port == 0)
            QTest::qWait(POLL_MS);
    }
    if (port == 0)
        qWarning().noquote() << "The stand-in did not start:" << readFile(log);
    return port;
}

void stopProcess(QProcess &process, int timeoutMs)
{
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(timeoutMs);
    }
}
