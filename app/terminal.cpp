#include "app/terminal.h"

#include "base/throttle.h"

#include <cstdio>
#include <iostream>
#include <string>

#ifdef Q_OS_WIN
#include <io.h>
#include <windows.h>
#else
#include <csignal>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// How often the progress line may change: in place on a terminal, as new
// lines in a log file.
const int TERMINAL_REFRESH_MS = 250;
const int LOG_REFRESH_MS = 1000;

const char CLEAR_LINE[] = "\r\033[K";

bool isTerminal(FILE *stream)
{
#ifdef Q_OS_WIN
    return _isatty(_fileno(stream));
#else
    return isatty(fileno(stream));
#endif
}

void writeTo(FILE *stream, const QByteArray &bytes)
{
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

std::optional<QString> readLine()
{
    std::string line;
    if (!std::getline(std::cin, line))
        return std::nullopt;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    return QString::fromLocal8Bit(line.data(), qsizetype(line.size()));
}

#ifndef Q_OS_WIN
// The terminal as it was before echo was turned off: a signal that ends the
// program while the password is typed puts it back first.
termios terminalBeforePrompt;

void restoreTerminalAndEnd(int signalNumber)
{
    tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforePrompt);
    raise(signalNumber); // the action is the default again (SA_RESETHAND)
}
#endif

} // namespace

Terminal::Terminal(QObject *parent)
    : QObject(parent)
    , outIsTerminal(isTerminal(stdout))
    , errIsTerminal(isTerminal(stderr))
    , throttle(new Throttle(errIsTerminal ? TERMINAL_REFRESH_MS : LOG_REFRESH_MS, [this] { drawProgress(); }, this))
{
}

Terminal::~Terminal() = default;

void Terminal::attachParentConsole()
{
#ifdef Q_OS_WIN
    if (!AttachConsole(ATTACH_PARENT_PROCESS))
        return;
    // Streams the caller redirected keep their file or pipe.
    FILE *reopened = nullptr;
    if (_get_osfhandle(_fileno(stdout)) < 0)
        freopen_s(&reopened, "CONOUT$", "w", stdout);
    if (_get_osfhandle(_fileno(stderr)) < 0)
        freopen_s(&reopened, "CONOUT$", "w", stderr);
    if (_get_osfhandle(_fileno(stdin)) < 0)
        freopen_s(&reopened, "CONIN$", "r", stdin);
    SetConsoleOutputCP(CP_UTF8);
    const HANDLE error = GetStdHandle(STD_ERROR_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(error, &mode))
        SetConsoleMode(error, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
#endif
}

std::optional<QString> Terminal::readPassword(const QString &prompt)
{
    if (!isTerminal(stdin))
        return readLine();

    // Echo goes off before the prompt shows: nothing typed after it is seen.
    clearProgress();
#ifdef Q_OS_WIN
    const HANDLE input = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    const bool hidden = GetConsoleMode(input, &mode) && SetConsoleMode(input, mode & ~ENABLE_ECHO_INPUT);
    writeTo(stderr, prompt.toUtf8());
    const std::optional<QString> password = readLine();
    if (hidden)
        SetConsoleMode(input, mode);
#else
    if (tcgetattr(STDIN_FILENO, &terminalBeforePrompt) != 0) {
        writeTo(stderr, prompt.toUtf8());
        return readLine();
    }
    struct sigaction restore = {};
    restore.sa_handler = restoreTerminalAndEnd;
    restore.sa_flags = SA_RESETHAND;
    sigemptyset(&restore.sa_mask);
    struct sigaction previousInterrupt = {};
    struct sigaction previousTerminate = {};
    sigaction(SIGINT, &restore, &previousInterrupt);
    sigaction(SIGTERM, &restore, &previousTerminate);

    termios hidden = terminalBeforePrompt;
    hidden.c_lflag &= ~tcflag_t(ECHO);
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &hidden);
    writeTo(stderr, prompt.toUtf8());
    const std::optional<QString> password = readLine();
    tcsetattr(STDIN_FILENO, TCSANOW, &terminalBeforePrompt);

    sigaction(SIGINT, &previousInterrupt, nullptr);
    sigaction(SIGTERM, &previousTerminate, nullptr);
#endif
    // The Enter that ended the line was not echoed either.
    writeTo(stderr, "\n");
    return password;
}

void Terminal::printResult(const QString &line)
{
    // Lines on standard output run into the progress line only when both
    // streams are the same terminal.
    if (outIsTerminal)
        clearProgress();
    writeTo(stdout, line.toUtf8() + '\n');
    redrawLater();
}

void Terminal::printMessage(const QString &line)
{
    clearProgress();
    writeTo(stderr, line.toUtf8() + '\n');
    redrawLater();
}

void Terminal::setProgress(const QString &text)
{
    if (ended || text == progress)
        return;
    progress = text;
    throttle->request();
}

void Terminal::endProgress()
{
    if (ended)
        return;
    throttle->flush();
    ended = true;
    if (progress.isEmpty())
        return;
    if (errIsTerminal) {
        if (!onScreen)
            writeTo(stderr, CLEAR_LINE + progress.toUtf8());
        writeTo(stderr, "\n");
        onScreen = false;
    } else if (written != progress) {
        writeTo(stderr, progress.toUtf8() + '\n');
    }
}

void Terminal::drawProgress()
{
    if (ended || progress.isEmpty())
        return;
    if (errIsTerminal) {
        if (onScreen && written == progress)
            return;
        writeTo(stderr, CLEAR_LINE + progress.toUtf8());
        onScreen = true;
    } else {
        if (written == progress)
            return;
        writeTo(stderr, progress.toUtf8() + '\n');
    }
    written = progress;
}

void Terminal::redrawLater()
{
    // Once the event loop is back: a line usually comes just before the
    // progress it brings, which should be drawn rather than the one before.
    if (onScreen || redrawQueued)
        return;
    redrawQueued = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            redrawQueued = false;
            if (!ended && !progress.isEmpty())
                throttle->request();
        },
        Qt::QueuedConnection);
}

void Terminal::clearProgress()
{
    if (!errIsTerminal || !onScreen)
        return;
    writeTo(stderr, CLEAR_LINE);
    onScreen = false;
}
