#pragma once

#include <QString>
#include <QStringList>

// Reads the program's arguments in command-line mode: the sub-command comes
// first, then its own arguments; --help and --version stand alone.
class CommandParser
{
public:
    enum class Action { Help, Version, Login, Upload, Download, UsageError };

    struct Result
    {
        Action action = Action::UsageError;
        QStringList arguments; // the sub-command's own arguments, in order
        QString error;         // what is wrong with the command line
    };

    // arguments as QCoreApplication::arguments() gives them: the program first.
    static Result parse(const QStringList &arguments);

    static QString helpText();
    // The lines that follow a usage error.
    static QString usageText();
    static QString versionText();
};
