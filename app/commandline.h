#pragma once

#include <QStringList>

// The program started with arguments: runs one command without any window
// and returns the exit code (app/exitcode.h). Needs a QCoreApplication and
// the open database.
class CommandLine
{
public:
    // Made before anything is written: the console (Windows) and the debug
    // output, which is off unless QT_LOGGING_RULES asks for it.
    CommandLine();

    int run(const QStringList &arguments);
};
