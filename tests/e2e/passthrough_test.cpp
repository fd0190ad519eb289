// End to end: the real bcstbridge in pass-through mode on loopback multicast, with the SIGUSR1
// statistics report running alongside the traffic.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "support/bridge_rig.h"
#include "support/test_support.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

const std::vector<std::string> kStartupTail = {
    "Receiver: Socket Create Success",
    "Receiver: Socket Bind Success",
    "Reciever: setsockopt for IP_MULTICAST_TTL successful ",
    "Reciever: setsockopt for IP_ADD_MEMBERSHIP successful",
    "Reciever: setsockopt for SO_REUSEADDR successful",
    "Reciever: setsockopt for SO_RCVBUF successful",
    "Receiver Socket Initialized Successfully",
    "Sender: Socket Create Success",
    "Sender: setsockopt for SO_REUSEADDR successful",
    "Sender: Socket Bind Success",
    "Sender: setsockopt for IP_MULTICAST_IF is successful",
    "Sender: setsockopt for IP_MULTICAST_TTL successful ",
    "Sender Socket Initialized Successfully",
};

// The sent counter moves just after the datagram is on its way, so a report requested right after the
// last datagram arrived may still show one less; ask until the expected line comes.
bool StatisticsReach(BridgeRig& rig, const std::string& expected) {
    return WaitUntil([&] { return rig.RequestStatistics() == expected; }, 10s);
}

std::vector<std::string> StartupEntries(const BridgeRig& rig) {
    const InstanceConfig& c = rig.config;
    std::vector<std::string> entries = {
        "BCSTBRIDGE.INI config file open successfully",
        "MARKET_SEGMENT - " + c.segment,
        "RECV_MULTICAST_ADDR - " + c.recvGroup,
        "RECV_MULTICAST_PORT - " + std::to_string(static_cast<int16_t>(c.recvPort)),
        "SEND_MULTICAST_ADDR - " + c.sendGroup,
        "SEND_MULTICAST_PORT - " + std::to_string(static_cast<int16_t>(c.sendPort)),
        "LOCAL_IP_TO_HOST - " + c.hostIp,
        "LOCAL_IP_TO_VELT - " + c.veltIp,
        "NEW_MKT_DATA_FLAG - 0",
    };
    entries.insert(entries.end(), kStartupTail.begin(), kStartupTail.end());
    return entries;
}

// Every entry of the log text is "\n<h>:<m>:<s> - <message>" with a time of day without leading zeros.
bool WellFormedLog(const std::string& text) {
    static const std::regex entry("(\n(1?[0-9]|2[0-3]):([1-5]?[0-9]):([1-5]?[0-9]) - [^\n]*)+");
    return std::regex_match(text, entry);
}

Bytes Pattern(size_t size, uint8_t seed) {
    Bytes b(size);
    for (size_t i = 0; i < size; ++i) {
        b[i] = static_cast<uint8_t>(seed + 31 * i + (i >> 8));
    }
    return b;
}

// What must leave for `sent`: exactly 512 bytes, the datagram cut or followed by zeros.
Bytes Forwarded(const Bytes& sent) {
    Bytes want(512, 0);
    std::copy(sent.begin(), sent.begin() + static_cast<long>(std::min<size_t>(sent.size(), 512)),
              want.begin());
    return want;
}

TEST(PassThroughTest, EveryDatagramLeavesAsExactly512Bytes) {
    BridgeRig rig("CM", "N", "239.10.2.1", "239.10.2.2");
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();

    // Idle: the report comes while the loop waits for data.
    EXPECT_EQ(rig.RequestStatistics(), "Host1,              0,              0, Running\n");

    // Shorter after longer: what a longer datagram left in the buffer must not leak out.
    const size_t sizes[] = {1000, 100, 3000, 0, 512};
    for (size_t i = 0; i < std::size(sizes); ++i) {
        SCOPED_TRACE(sizes[i]);
        const Bytes sent = Pattern(sizes[i], static_cast<uint8_t>(i + 1));
        ASSERT_TRUE(rig.in.Send(sent));
        Bytes got;
        uint16_t from = 0;
        int ttl = 0;
        ASSERT_TRUE(rig.out.Receive(&got, 5s, &from, &ttl));
        EXPECT_EQ(got.size(), 512u);
        EXPECT_EQ(ttl, 64) << "multicast time-to-live of the output";
        EXPECT_EQ(got, Forwarded(sent)) << HexDump(got);
        // Bound to the same unconverted port it sends to: both are the byte-exchanged number.
        EXPECT_EQ(from, rig.wirePort);
    }
    EXPECT_TRUE(StatisticsReach(rig, "Host1,              5,              5, Running\n"));
    EXPECT_EQ(rig.bridge.Statistics().substr(0, 47), "Host1,              0,              0, Running\n");
    EXPECT_EQ(rig.bridge.LogEntries(), StartupEntries(rig));
}

// A burst of reports during traffic: restarted receives, untorn counters, no lost datagram, and the
// log untouched by any of it.
TEST(PassThroughTest, StatisticsBurstDuringTraffic) {
    BridgeRig rig("CM", "N", "239.10.2.3", "239.10.2.4");
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();

    constexpr int kDatagrams = 300;
    constexpr int kInFlight = 24;  // keeps the socket buffers far from full, so nothing can drop
    std::vector<Bytes> sent;
    std::vector<Bytes> received;
    Bytes got;
    for (int i = 0; i < kDatagrams; ++i) {
        Bytes datagram = Pattern(64 + static_cast<size_t>(i % 7) * 50, static_cast<uint8_t>(i));
        PutBe32(datagram, 0, static_cast<uint32_t>(i));
        ASSERT_TRUE(rig.in.Send(datagram));
        sent.push_back(datagram);
        ASSERT_TRUE(rig.bridge.process().Signal(SIGUSR1));
        while (static_cast<int>(received.size()) < i + 1 - kInFlight) {
            ASSERT_TRUE(rig.out.Receive(&got, 5s)) << "after " << received.size();
            received.push_back(got);
        }
        if (i % 3 == 0) {
            ASSERT_TRUE(rig.bridge.process().Signal(SIGUSR1));
        }
    }
    while (received.size() < sent.size()) {
        ASSERT_TRUE(rig.out.Receive(&got, 5s)) << "after " << received.size();
        received.push_back(got);
    }
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(received[i], Forwarded(sent[i])) << "datagram " << i;
    }

    EXPECT_TRUE(StatisticsReach(rig, StatisticsLine(kDatagrams, kDatagrams)));
    const std::vector<std::string> lines = rig.StatisticsLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines.back(), StatisticsLine(kDatagrams, kDatagrams));
    static const std::regex shape("Host1,( *)([0-9]+),( *)([0-9]+), Running\n");
    long long lastReceived = 0;
    long long lastSent = 0;
    for (const std::string& line : lines) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(line, m, shape)) << "[" << line << "]";
        ASSERT_EQ(m[1].length() + m[2].length(), 15) << line;
        ASSERT_EQ(m[3].length() + m[4].length(), 15) << line;
        const long long receivedCount = std::stoll(m[2].str());
        const long long sentCount = std::stoll(m[4].str());
        // The report interrupts the only thread that counts, so it sees a consistent pair: what is
        // queued is counted as received just before it is sent on, at most one batch at a time.
        EXPECT_LE(sentCount, receivedCount) << line;
        EXPECT_LE(receivedCount, sentCount + kInFlight + 1) << line;
        EXPECT_LE(receivedCount, kDatagrams) << line;
        EXPECT_GE(receivedCount, lastReceived) << line;
        EXPECT_GE(sentCount, lastSent) << line;
        lastReceived = receivedCount;
        lastSent = sentCount;
    }
    const std::string log = rig.bridge.Log();
    EXPECT_TRUE(WellFormedLog(log)) << log;
    EXPECT_EQ(log.find("ReceiveMulticastData : Receive Error "), std::string::npos);
    EXPECT_EQ(rig.bridge.LogEntries(), StartupEntries(rig));
    EXPECT_TRUE(rig.bridge.process().Running());
}

// Datagrams that queue up while the bridge cannot run leave in batches: every one, in order, each
// cut or filled to 512 bytes, and counted one by one.
TEST(PassThroughTest, QueuedDatagramsLeaveInOrderWithTheirSizes) {
    BridgeRig rig("CM", "N", "239.10.2.10", "239.10.2.11");
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    ASSERT_TRUE(rig.bridge.process().Signal(SIGSTOP));

    constexpr int kDatagrams = 150;  // more than one receive takes at once
    const size_t sizes[] = {0, 1, 100, 511, 512, 513, 1000};
    std::vector<Bytes> sent;
    for (int i = 0; i < kDatagrams; ++i) {
        Bytes datagram = Pattern(sizes[i % std::size(sizes)], static_cast<uint8_t>(i));
        if (datagram.size() >= 4) {
            PutBe32(datagram, 0, static_cast<uint32_t>(i));
        }
        ASSERT_TRUE(rig.in.Send(datagram));
        sent.push_back(datagram);
    }
    ASSERT_TRUE(rig.bridge.process().Signal(SIGCONT));

    const std::vector<Bytes> got = rig.out.ReceiveCount(sent.size(), 10s);
    ASSERT_EQ(got.size(), sent.size());
    for (size_t i = 0; i < sent.size(); ++i) {
        ASSERT_EQ(got[i], Forwarded(sent[i])) << "datagram " << i;
    }
    EXPECT_TRUE(StatisticsReach(rig, StatisticsLine(kDatagrams, kDatagrams)));
    EXPECT_EQ(rig.bridge.LogEntries(), StartupEntries(rig));
}

// Sets TZ for this process and the bridges it starts, so the local time is not UTC.
class ScopedTimeZone {
  public:
    explicit ScopedTimeZone(const char* zone) {
        const char* previous = getenv("TZ");
        if (previous != nullptr) {
            previous_ = std::make_unique<std::string>(previous);
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone() {
        if (previous_) {
            setenv("TZ", previous_->c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }

  private:
    std::unique_ptr<std::string> previous_;
};

TEST(PassThroughTest, StatisticsFileThatCannotBeOpenedIsReportedInTheLog) {
    ScopedTimeZone zone("XST-5:45");
    BridgeRig rig("CM", "N", "239.10.2.5", "239.10.2.6");
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    ASSERT_EQ(mkdir(rig.bridge.dir().File("UDP_STATISTICS.txt").c_str(), 0700), 0);

    const std::string text = "Error while opening UDP_STATISTICS.txt file";
    const time_t before = time(nullptr);
    ASSERT_TRUE(rig.bridge.process().Signal(SIGUSR1));
    ASSERT_TRUE(WaitUntil(
        [&] {
            const std::vector<std::string> entries = rig.bridge.LogEntries();
            return !entries.empty() && entries.back() == text;
        },
        5s))
        << rig.bridge.Log();
    const time_t after = time(nullptr);

    const std::string log = rig.bridge.Log();
    EXPECT_TRUE(WellFormedLog(log)) << log;
    bool stampMatches = false;
    for (time_t t = before; t <= after; ++t) {
        struct tm local;
        localtime_r(&t, &local);
        const std::string entry = "\n" + std::to_string(local.tm_hour) + ":" + std::to_string(local.tm_min) +
                                  ":" + std::to_string(local.tm_sec) + " - " + text;
        stampMatches = stampMatches || (log.size() >= entry.size() &&
                                        log.compare(log.size() - entry.size(), entry.size(), entry) == 0);
    }
    EXPECT_TRUE(stampMatches) << log;
    std::vector<std::string> expected = StartupEntries(rig);
    expected.push_back(text);
    EXPECT_EQ(rig.bridge.LogEntries(), expected);

    // The loop goes on.
    const Bytes datagram = Pattern(200, 9);
    ASSERT_TRUE(rig.in.Send(datagram));
    Bytes got;
    ASSERT_TRUE(rig.out.Receive(&got, 5s));
    EXPECT_EQ(got, Forwarded(datagram));
}

// Another group on the same port, joined by some other socket of the host, must not reach the
// bridge: its receiving socket takes only the group it joined.
TEST(PassThroughTest, OtherGroupOnTheSamePortIsNotForwarded) {
    BridgeRig rig("CM", "N", "239.10.2.7", "239.10.2.8");
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    MulticastReceiver neighbour("239.10.2.9", rig.config.recvPort);
    MulticastSender toNeighbour("239.10.2.9", rig.config.recvPort);

    const Bytes foreign = Pattern(80, 0xF0);
    ASSERT_TRUE(toNeighbour.Send(foreign));
    Bytes got;
    // Delivered to the host's sockets on that port: the neighbour has it, so the bridge's socket
    // would have it by now as well.
    ASSERT_TRUE(neighbour.Receive(&got, 5s));
    EXPECT_EQ(got, foreign);

    const Bytes own = Pattern(90, 0x0F);
    ASSERT_TRUE(rig.in.Send(own));
    ASSERT_TRUE(rig.out.Receive(&got, 5s));
    EXPECT_EQ(got, Forwarded(own));
    EXPECT_TRUE(StatisticsReach(rig, "Host1,              1,              1, Running\n"));
}

}  // namespace
