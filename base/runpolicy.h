#pragma once

#include "base/batchlimits.h"

#include <QList>

#include <iterator>

// How a batch run retries and when it gives up on a service. The defaults are
// the tool's; tests shorten the pauses.
struct RunPolicy
{
    QList<int> retryDelaysMs{std::begin(RETRY_DELAYS_MS), std::end(RETRY_DELAYS_MS)};
    int serviceDownFailures = SERVICE_DOWN_FAILURES;

    // The pause before try number attempt + 1 of a transfer that has failed
    // attempt times, or -1 when it has had all its tries.
    int retryDelay(int attempt) const
    {
        return attempt >= 1 && attempt <= retryDelaysMs.size() ? retryDelaysMs.at(attempt - 1) : -1;
    }
};
