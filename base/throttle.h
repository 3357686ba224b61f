#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// Runs an action at most once per interval however often it is asked for: the
// first request runs it at once, requests within the interval after it are
// gathered into one run at the interval's end. For what is shown while a run
// goes on (log, counters, progress), which would otherwise be laid out again
// for every picture.
class Throttle : public QObject
{
    Q_OBJECT

public:
    Throttle(int intervalMs, std::function<void()> action, QObject *parent = nullptr);

    void request();
    // Runs the action now if a request is still waiting, or always when forced.
    void flush(bool force = false);

private:
    void intervalOver();

    std::function<void()> action;
    QTimer timer;
    bool due = false;
};
