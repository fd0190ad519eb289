// The loop's tick seen from outside: the systemd watchdog protocol against the real bridge, and a
// receive that keeps failing, which must neither spin nor stop the tick.
#include "app/tick.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>

#include "app/bridge.h"
#include "app/counters.h"
#include "config/config.h"
#include "net/multicast.h"
#include "support/test_support.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

// The service manager's end of sd_notify: a datagram socket of the test's own, named by
// NOTIFY_SOCKET for the processes started while the object lives.
class NotifySocket {
  public:
    NotifySocket(const std::string& path, const char* watchdogUsec) {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address = {};
        address.sun_family = AF_UNIX;
        snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        setenv("NOTIFY_SOCKET", path.c_str(), 1);
        setenv("WATCHDOG_USEC", watchdogUsec, 1);
    }
    ~NotifySocket() {
        Forget();
        close(fd_);
    }
    // The environment is only for processes started up to here.
    void Forget() {
        unsetenv("NOTIFY_SOCKET");
        unsetenv("WATCHDOG_USEC");
    }
    // The next notification, or "" when none comes within `timeout`.
    std::string Next(std::chrono::milliseconds timeout) {
        char text[256] = {};
        return WaitUntil([&] { return recv(fd_, text, sizeof text - 1, MSG_DONTWAIT) > 0; }, timeout)
                   ? std::string(text)
                   : std::string();
    }
    void Drain() {
        while (!Next(0ms).empty()) {
        }
    }

  private:
    int fd_ = -1;
};

char ProcessState(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// User and system CPU time of a process so far, in seconds (fields 14 and 15 of /proc/<pid>/stat).
double CpuSeconds(pid_t pid) {
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    size_t at = stat.rfind(')');
    for (int field = 2; field < 14 && at != std::string::npos; ++field) {
        at = stat.find(' ', at + 1);
    }
    if (at == std::string::npos) {
        return -1;
    }
    char* end = nullptr;
    const double user = strtod(stat.c_str() + at + 1, &end);
    const double system = strtod(end, nullptr);
    return (user + system) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

InstanceConfig LoopbackConfig(const char* recvGroup, const char* sendGroup) {
    InstanceConfig config;
    config.recvGroup = recvGroup;
    config.recvPort = FreeUdpPort();
    config.sendGroup = sendGroup;
    config.sendPort = ConfiguredSendPortFor(FreeUdpPort());
    return config;
}

// The real protocol systemd speaks, without systemd: READY=1 once, then WATCHDOG=1 at least every
// half interval while the loop runs, nothing while it is stopped, and again once it goes on.
TEST(Tick, WatchdogPingsWhileTheLoopRunsAndNotWhileItIsStopped) {
    TempDir dir;
    NotifySocket notify(dir.File("notify"), "1000000");  // WatchdogSec=1s
    BridgeUnderTest bridge(LoopbackConfig("239.32.1.1", "239.32.1.2"));
    notify.Forget();
    ASSERT_EQ(notify.Next(10s), "READY=1") << bridge.Log();
    // An idle feed: the pings come from the tick alone.
    for (int ping = 0; ping < 3; ++ping) {
        EXPECT_EQ(notify.Next(2s), "WATCHDOG=1") << "ping " << ping;
    }

    const pid_t pid = bridge.process().pid();
    ASSERT_TRUE(bridge.process().Signal(SIGSTOP));
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(pid) == 'T'; }, 5s));
    notify.Drain();
    EXPECT_EQ(notify.Next(1500ms), "") << "a stopped loop must not ping";

    ASSERT_TRUE(bridge.process().Signal(SIGCONT));
    EXPECT_EQ(notify.Next(2s), "WATCHDOG=1");
}

// The bridge's loop in a child of the test, with a receiving socket that can never receive: a TCP
// socket that was never connected, so every receive call really fails (ENOTCONN). Its counters file
// lies in `dir`. Killed by pid when the object goes.
class FailingLoop {
  public:
    FailingLoop(const std::string& dir, bool relay) {
        pid_ = fork();
        if (pid_ != 0) {
            return;
        }
        if (chdir(dir.c_str()) != 0) {
            _exit(126);
        }
        ResetBridgeState("CM");
        gsBcastParam.NEW_MKT_DATA_FLAG = relay ? 1 : 0;
        if (CreateCountersFile(1, "CM", relay ? kCountersModeRelay : kCountersModePassThrough) != 0) {
            _exit(126);
        }
        gReceiveSocketFD = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        RunRelayLoop();
    }
    ~FailingLoop() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    pid_t pid() const { return pid_; }

  private:
    pid_t pid_ = -1;
};

CountersSnapshot Counters(const TempDir& dir) {
    CountersSnapshot s = {};
    std::string error;
    EXPECT_EQ(ReadCountersFile(dir.File("BcstBridge1.counters"), &s, &error), 0) << error;
    return s;
}

// A receive that keeps failing backs off: a few calls a second, each counted and logged, the tick
// going on; and the watchdog stops once the failures have lasted a whole interval, so that systemd
// restarts the bridge. Without the back-off the loop would take a whole core.
TEST(Tick, AFailingReceiveBacksOffCountsAndStopsTheWatchdog) {
    TempDir relayDir, passThroughDir;
    NotifySocket notify(relayDir.File("notify"), "1000000");
    FailingLoop relay(relayDir.path(), true);
    notify.Forget();
    FailingLoop passThrough(passThroughDir.path(), false);
    ASSERT_GT(relay.pid(), 0);
    ASSERT_GT(passThrough.pid(), 0);
    ASSERT_TRUE(WaitUntil([&] { return FileExists(relayDir.File("BcstBridge1.counters")); }, 5s));
    ASSERT_TRUE(WaitUntil([&] { return FileExists(passThroughDir.File("BcstBridge1.counters")); }, 5s));
    EXPECT_EQ(notify.Next(2s), "WATCHDOG=1") << "the first failures leave the loop healthy";

    const CountersSnapshot relayBefore = Counters(relayDir);
    const CountersSnapshot passThroughBefore = Counters(passThroughDir);
    const double relayCpu = CpuSeconds(relay.pid());
    const double passThroughCpu = CpuSeconds(passThrough.pid());
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(3s);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    // Generous: the back-off costs well under 1 % of a core; a spinning loop costs 100 %.
    EXPECT_LT((CpuSeconds(relay.pid()) - relayCpu) / seconds, 0.1);
    EXPECT_LT((CpuSeconds(passThrough.pid()) - passThroughCpu) / seconds, 0.1);
    for (const auto& [dir, before] :
         {std::make_pair(&relayDir, relayBefore), std::make_pair(&passThroughDir, passThroughBefore)}) {
        const CountersSnapshot after = Counters(*dir);
        EXPECT_GT(after.values[kCounterReceiveErrors], before.values[kCounterReceiveErrors]);
        EXPECT_GT(after.values[kCounterHeartbeatNs], before.values[kCounterHeartbeatNs])
            << "the tick goes on";
        const std::vector<std::string> log = LogMessages(ReadFile(FindLogFile(dir->path())));
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.back(), "ReceiveMulticastData : Receive Error ");
    }

    // Failing for over a second (the interval): no more pings.
    notify.Drain();
    EXPECT_EQ(notify.Next(1500ms), "");
}

}  // namespace
