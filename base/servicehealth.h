#pragma once

#include <QString>

struct TransferOutcome;

// One remote service as a batch run sees it: its failures in a row, and
// whether it has failed so often, with no answer between, that the run has
// stopped sending to it.
class ServiceHealth
{
public:
    explicit ServiceHealth(const QString &name);

    // Counts an outcome of a request to this service: a failure on the way
    // adds one, any answer starts the count afresh. True when this outcome is
    // the one that makes the service count as down.
    bool record(const TransferOutcome &outcome, int downAfter);
    bool isDown() const { return down; }
    void reset();

    // The run's one line about it, and the reason given to each picture it fails.
    QString downLine() const;
    QString downReason() const;

private:
    QString serviceName;
    int failuresInRow = 0;
    bool down = false;
};
