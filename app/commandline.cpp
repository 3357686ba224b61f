#include "app/commandline.h"

#include "app/batchcommand.h"
#include "app/commandparser.h"
#include "app/exitcode.h"
#include "app/interruptwatcher.h"
#include "app/terminal.h"

#include <QCoreApplication>
#include <QLoggingCategory>

namespace {

const QString PROGRAM = QStringLiteral("zamtu-batch");
const QString PASSWORD_PROMPT = QStringLiteral("密码：");
const QString NO_PASSWORD = QStringLiteral("没有读到密码");

} // namespace

CommandLine::CommandLine()
{
    Terminal::attachParentConsole();
    // The clients' diagnostic lines would run through the progress line and
    // the messages on standard error.
    QLoggingCategory::setFilterRules(QStringLiteral("default.debug=false"));
}

int CommandLine::run(const QStringList &arguments)
{
    Terminal terminal;
    const CommandParser::Result parsed = CommandParser::parse(arguments);
    switch (parsed.action) {
    case CommandParser::Action::Help:
        terminal.printResult(CommandParser::helpText());
        return EXIT_OK;
    case CommandParser::Action::Version:
        terminal.printResult(CommandParser::versionText());
        return EXIT_OK;
    case CommandParser::Action::UsageError:
        terminal.printMessage(PROGRAM + QStringLiteral("：") + parsed.error + QLatin1Char('\n')
                              + CommandParser::usageText() + QStringLiteral("详见 ") + PROGRAM
                              + QStringLiteral(" --help"));
        return EXIT_USAGE;
    case CommandParser::Action::Login:
    case CommandParser::Action::Upload:
    case CommandParser::Action::Download:
        break;
    }

    // Asked for before Ctrl+C is watched: while it is typed, Ctrl+C ends the
    // program at once (with the terminal's echo back on).
    QString password;
    if (parsed.action == CommandParser::Action::Login) {
        const std::optional<QString> typed = terminal.readPassword(PASSWORD_PROMPT);
        if (!typed) {
            terminal.printMessage(NO_PASSWORD);
            return EXIT_USAGE;
        }
        password = *typed;
    }

    BatchCommand command(&terminal);
    InterruptWatcher watcher;
    QObject::connect(&watcher, &InterruptWatcher::interrupted, &command, &BatchCommand::interrupt);
    QObject::connect(&command, &BatchCommand::done, QCoreApplication::instance(), &QCoreApplication::exit);

    const QStringList &args = parsed.arguments;
    if (parsed.action == CommandParser::Action::Login)
        command.login(args.at(0), password);
    else if (parsed.action == CommandParser::Action::Upload)
        command.upload(args.at(0));
    else
        command.download(args.at(0), args.at(1));
    return QCoreApplication::exec();
}
