// The loop tick: every chore that must happen on time, in one place, called from the relay loop.
#include "app/tick.h"

#include <systemd/sd-daemon.h>

#include <string>

#include "app/counters.h"
#include "app/instance_lock.h"
#include "app/log.h"
#include "app/role.h"
#include "feed/store.h"
#include "net/multicast.h"

// An idle receive, or a failing one's longest pause, returns to the loop well within a second.
static_assert(kReceiveWaitMs * 1000000LL <= kTickIntervalNs &&
                  kReceiveBackoffMaxMs * 1000000LL <= kTickIntervalNs,
              "the tick runs at least once a second");

int64_t gNextTickNs = 0;

namespace {

// The service manager's watchdog (WatchdogSec= of the unit): read once, at the first tick. Outside
// systemd, or without a watchdog, the period stays 0 and nothing is ever sent.
bool gWatchdogRead = false;
int64_t gWatchdogIntervalNs = 0;  // the unit's interval; 0: no watchdog
int64_t gWatchdogPeriodNs = 0;    // between pings
int64_t gNextWatchdogNs = 0;

void WatchdogTick(int64_t nowNs) {
    if (!gWatchdogRead) {
        gWatchdogRead = true;
        uint64_t usec = 0;
        if (sd_watchdog_enabled(0, &usec) > 0) {
            gWatchdogIntervalNs = static_cast<int64_t>(usec) * 1000;
            // A quarter of the interval: within the half that systemd asks for even when a tick comes
            // late behind a slow datagram.
            gWatchdogPeriodNs = gWatchdogIntervalNs / 4;
        }
    }
    if (gWatchdogPeriodNs == 0 || nowNs < gNextWatchdogNs) {
        return;
    }
    // The loop is healthy while it ticks and its receive works. One that has failed without a break
    // for a whole interval will not recover by itself: without the pings systemd restarts the bridge,
    // which opens its sockets anew.
    const int64_t failingSince = ReceiveFailingSinceNs();
    if (failingSince != 0 && nowNs - failingSince >= gWatchdogIntervalNs) {
        return;
    }
    gNextWatchdogNs = nowNs + gWatchdogPeriodNs;
    sd_notify(0, "WATCHDOG=1");
}

// The counters' chore; what it has to say goes to the log.
void CountersTickWithReport(int64_t nowNs) {
    std::string report;
    CountersTick(nowNs, &report);
    if (!report.empty()) {
        LogFixedMessage(report.c_str());
    }
}

}  // namespace

void PublishStoreFigures() {
    const StoreFigures figures = InstrumentStoreFigures();
    CounterSet(kCounterStoreEntries, figures.entries);
    CounterSet(kCounterStoreRestored, figures.restored);
    CounterSet(kCounterStoreMemoryOnly, figures.memoryOnly);
    CounterSet(kCounterStoreRepaired, figures.repaired);
}

void RunLoopTick(int64_t nowNs) {
    gNextTickNs = nowNs + kTickIntervalNs;
    LogTick();
    RoleTick(nowNs);
    StoreTick(nowNs, LogClockDate());
    PublishStoreFigures();
    InstanceLockTick();
    CountersTickWithReport(nowNs);
    WatchdogTick(nowNs);
}
