#include "app/interruptwatcher.h"

#include <QSocketNotifier>

#include <iterator>

#ifdef Q_OS_WIN
#include <windows.h>
#else
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace {

#ifdef Q_OS_WIN
InterruptWatcher *watcher = nullptr;

BOOL WINAPI onConsoleEvent(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT)
        return FALSE;
    // Called on a thread of its own: the watcher hears of it on the loop.
    QMetaObject::invokeMethod(watcher, [] { Q_EMIT watcher->interrupted(); }, Qt::QueuedConnection);
    return TRUE;
}
#else
const int WATCHED_SIGNALS[] = {SIGINT, SIGTERM};

// Bytes read from the pipe at a time: one per signal, several when they came quickly.
const size_t DRAIN_BYTES = 16;

int wakePipe[2] = {-1, -1};
struct sigaction previousActions[std::size(WATCHED_SIGNALS)];

void onSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    if (::write(wakePipe[1], &byte, 1) < 0) {
        // The pipe is full: an interrupt is waiting to be read already.
    }
    errno = savedErrno;
}

bool makePipe()
{
    if (::pipe(wakePipe) != 0)
        return false;
    for (const int fd : wakePipe) {
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    return true;
}
#endif

} // namespace

InterruptWatcher::InterruptWatcher(QObject *parent)
    : QObject(parent)
{
#ifdef Q_OS_WIN
    watcher = this;
    SetConsoleCtrlHandler(onConsoleEvent, TRUE);
#else
    if (!makePipe())
        return;
    notifier = new QSocketNotifier(wakePipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, &InterruptWatcher::drain);

    struct sigaction action = {};
    action.sa_handler = onSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(WATCHED_SIGNALS); ++i)
        sigaction(WATCHED_SIGNALS[i], &action, &previousActions[i]);
#endif
}

InterruptWatcher::~InterruptWatcher()
{
#ifdef Q_OS_WIN
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    watcher = nullptr;
#else
    if (!notifier)
        return;
    for (size_t i = 0; i < std::size(WATCHED_SIGNALS); ++i)
        sigaction(WATCHED_SIGNALS[i], &previousActions[i], nullptr);
    delete notifier;
    for (int &fd : wakePipe) {
        ::close(fd);
        fd = -1;
    }
#endif
}

void InterruptWatcher::drain()
{
#ifndef Q_OS_WIN
    char bytes[DRAIN_BYTES];
    while (::read(wakePipe[0], bytes, sizeof bytes) > 0) {
    }
#endif
    Q_EMIT interrupted();
}
