#pragma once

#include <QObject>

class QSocketNotifier;

// Turns Ctrl+C (SIGINT, and SIGTERM) into a signal on the event loop. The
// signal handler itself only writes a byte into a pipe, which the loop reads;
// on Windows the console's control handler posts to the loop. One watcher at
// a time; the former handling comes back when it is destroyed.
class InterruptWatcher : public QObject
{
    Q_OBJECT

public:
    explicit InterruptWatcher(QObject *parent = nullptr);
    ~InterruptWatcher() override;

Q_SIGNALS:
    void interrupted();

private:
    void drain();

    QSocketNotifier *notifier = nullptr;
};
