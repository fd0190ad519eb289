// The relay loop's own clock: one function runs every periodic chore (log repeat summaries, the
// store's flush, the counters file's heartbeat, the service manager's watchdog), from the loop only,
// at most every kTickIntervalNs and, since the loop's receive waits a bounded time, at least once a
// second whether traffic flows or not. Finding out whether it is due costs one clock read through the
// vDSO, never a system call. Signal handlers take no part in it.
#pragma once

#include <cstdint>

constexpr int64_t kTickIntervalNs = 100 * 1000 * 1000;

// CLOCK_MONOTONIC of the next tick; 0 runs the first one at once.
extern int64_t gNextTickNs;

// Runs the chores now and sets the next tick. The watchdog's ping (WATCHDOG=1, when the unit sets
// WatchdogSec=) goes out every quarter of the unit's interval while the loop is healthy.
void RunLoopTick(int64_t nowNs);

// The instrument store's figures (entries, restored, memory-only, repaired) into the counters: every
// tick does, and start-up once the store is restored.
void PublishStoreFigures();

inline void TickIfDue(int64_t nowNs) {
    if (nowNs >= gNextTickNs) {
        RunLoopTick(nowNs);
    }
}
