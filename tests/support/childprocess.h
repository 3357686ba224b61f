#pragma once

#include <QString>
#include <QStringList>

class QProcess;

// Starts the stand-in server program on a free port with its data in dataDir
// (the port is written to dataDir + ".port", its output to dataDir + ".log").
// Returns the port, or 0 when it did not start within timeoutMs.
quint16 startStandInServer(QProcess &process, const QString &program, const QString &dataDir,
                           const QStringList &options, int timeoutMs);

// Stops a child process at the end of a test, whatever happened.
void stopProcess(QProcess &process, int timeoutMs);
