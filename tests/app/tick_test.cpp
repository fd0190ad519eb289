// The loop's tick seen from outside: the systemd watchdog protocol against the real bridge, and a
// receive that keeps failing, which must neither spin nor stop the tick.
#include "app/tick.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <thread>

#include "app/counters.h"
#include "app/counters_reader.h"
#include "app/relay.h"
#include "config/config.h"
#include "net/multicast.h"
#include "support/bridge_rig.h"
#include "support/test_support.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

// The real protocol systemd speaks, without systemd: READY=1 once, then WATCHDOG=1 while the loop
// runs (on an idle feed too), nothing while it is stopped, and again once it goes on.
TEST(Tick, WatchdogPingsWhileTheLoopRunsAndNotWhileItIsStopped) {
    TempDir dir;
    NotifySocket notify(dir.File("notify"), "1000000");  // WatchdogSec=1s
    BridgeRig rig("CM", "N", "239.32.1.1", "239.32.1.2");
    notify.Forget();
    BridgeUnderTest& bridge = rig.bridge;
    ASSERT_EQ(notify.Next(10s), "READY=1") << bridge.Log();
    for (int ping = 0; ping < 3; ++ping) {
        EXPECT_EQ(notify.Next(2s), "WATCHDOG=1") << "ping " << ping;
    }

    ASSERT_TRUE(bridge.process().Signal(SIGSTOP));
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(bridge.process().pid()) == 'T'; }, 5s));
    notify.Drain();
    EXPECT_EQ(notify.Next(1500ms), "") << "a stopped loop must not ping";
    ASSERT_TRUE(bridge.process().Signal(SIGCONT));
    EXPECT_EQ(notify.Next(2s), "WATCHDOG=1");
}

// The bridge's loop in a child of the test (killed by pid with the object), its counters file in
// `dir`, with a receiving socket that can never receive: a TCP socket that was never connected, so
// every receive call really fails (ENOTCONN).
class FailingLoop {
  public:
    FailingLoop(const std::string& dir, bool relay) {
        pid_ = fork();
        if (pid_ == 0) {
            ResetBridgeState("CM");
            gsBcastParam.NEW_MKT_DATA_FLAG = relay ? 1 : 0;
            std::string error;
            if (chdir(dir.c_str()) != 0 ||
                CreateCountersFile(1, "CM", relay ? kCountersModeRelay : kCountersModePassThrough, &error) !=
                    0) {
                _exit(126);
            }
            gReceiveSocketFD = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            RunRelayLoop();
        }
    }
    ~FailingLoop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // User and system CPU time so far, in seconds (fields 14 and 15 of /proc/<pid>/stat).
    double CpuSeconds() const {
        const std::string stat = ReadFile("/proc/" + std::to_string(pid_) + "/stat");
        size_t at = stat.rfind(')');
        for (int field = 2; field < 14 && at != std::string::npos; ++field) {
            at = stat.find(' ', at + 1);
        }
        char* end = nullptr;
        const double user = strtod(stat.c_str() + at + 1, &end);
        return (user + strtod(end, nullptr)) / static_cast<double>(sysconf(_SC_CLK_TCK));
    }

    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

// A receive that keeps failing backs off: a few calls a second, each counted and logged, while the
// tick goes on (without the back-off the loop takes a whole core). Once the failures have lasted a
// whole watchdog interval the pings stop, so that systemd restarts the bridge.
TEST(Tick, AFailingReceiveBacksOffCountsAndStopsTheWatchdog) {
    TempDir dirs[2];
    NotifySocket notify(dirs[0].File("notify"), "1000000");
    FailingLoop relay(dirs[0].path(), true);
    notify.Forget();
    FailingLoop passThrough(dirs[1].path(), false);
    const FailingLoop* loops[2] = {&relay, &passThrough};
    ASSERT_GT(relay.pid(), 0);
    ASSERT_GT(passThrough.pid(), 0);
    auto counters = [&](int i) {
        CountersSnapshot s = {};
        std::string error;
        WaitUntil([&] { return ReadCountersFile(dirs[i].File("BcstBridge1.counters"), &s, &error) == 0; },
                  5s);
        return s;
    };
    EXPECT_EQ(notify.Next(2s), "WATCHDOG=1") << "the first failures leave the loop healthy";

    const CountersSnapshot before[2] = {counters(0), counters(1)};
    const double cpuBefore[2] = {relay.CpuSeconds(), passThrough.CpuSeconds()};
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (int i = 0; i < 2; ++i) {
        SCOPED_TRACE(i == 0 ? "relay" : "pass-through");
        EXPECT_LT((loops[i]->CpuSeconds() - cpuBefore[i]) / seconds, 0.1);  // generous: about 0.1 % is usual
        const CountersSnapshot after = counters(i);
        EXPECT_GT(after.values[kCounterReceiveErrors], before[i].values[kCounterReceiveErrors]);
        EXPECT_GT(after.values[kCounterHeartbeatNs], before[i].values[kCounterHeartbeatNs]);
        const std::vector<std::string> log = LogMessages(ReadFile(FindLogFile(dirs[i].path())));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "ReceiveMulticastData : Receive Error ");
    }
    notify.Drain();
    EXPECT_EQ(notify.Next(1500ms), "") << "failing for over the interval: no more pings";
}

}  // namespace
