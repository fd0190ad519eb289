// The loop tick: every chore that must happen on time, in one place, called from the relay loop.
#include "app/tick.h"

#include "app/counters.h"
#include "feed/store_file.h"

int64_t gNextTickNs = 0;

void RunLoopTick(int64_t nowNs) {
    gNextTickNs = nowNs + kTickIntervalNs;
    // Each module's chore is called here, in this order: log, store, counters, watchdog.
    StoreFileTick(nowNs);
    CountersTick(nowNs);
}
