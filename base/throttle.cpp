#include "base/throttle.h"

#include <utility>

Throttle::Throttle(int intervalMs, std::function<void()> action, QObject *parent)
    : QObject(parent)
    , action(std::move(action))
{
    timer.setSingleShot(true);
    timer.setInterval(intervalMs);
    connect(&timer, &QTimer::timeout, this, &Throttle::intervalOver);
}

void Throttle::request()
{
    if (timer.isActive()) {
        due = true;
        return;
    }
    action();
    timer.start();
}

void Throttle::flush(bool force)
{
    if (!due && !force)
        return;
    due = false;
    action();
}

void Throttle::intervalOver()
{
    if (!due)
        return;
    due = false;
    action();
    timer.start();
}
