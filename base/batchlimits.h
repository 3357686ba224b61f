#pragma once

// Limits that keep a batch run of thousands of pictures moving when a service
// misbehaves.

// No byte in either direction for this long ends a transfer as a network failure.
inline constexpr int TRANSFER_TIMEOUT_MS = 30000;

// Transfers in flight at once to one host; the rest wait in the tool's own queue.
inline constexpr int MAX_TRANSFERS_PER_HOST = 6;

// A probe, upload or picture download that fails on the way (network error,
// time-out, 429, 5xx) is tried again after each of these pauses in turn.
inline constexpr int RETRY_DELAYS_MS[] = {1000, 2000, 4000};

// Failures of one service in a row, with no answer between, after which a run
// stops sending to it.
inline constexpr int SERVICE_DOWN_FAILURES = 12;
