// End to end: the real bcstbridge in relay mode on loopback multicast. Open/high/low and ticker frames
// build the store, market-by-price frames come out as old-format datagrams compared byte for byte
// with datagrams written out here from the wire tables; refused frames leave exactly their log lines.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <iostream>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/counters.h"
#include "app/counters_reader.h"
#include "feed/store_file.h"
#include "support/bridge_rig.h"
#include "support/expected_messages.h"
#include "support/test_support.h"
#include "support/tool_output.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

const char kLengthLine[] =
    "DecompressNewMktData - Compress Length should be less than 0 and greater than equal to 2500";
const char kSizeLine[] = "ProcessNewMktData :  Decompression Size should be greater than 0 ";

constexpr int16_t kMbp = 10500;
constexpr int16_t kTicker = 10600;
constexpr int16_t kOhl = 10750;

// A token no store frame mentions; a one-record frame of it closes every exchange of frames, so
// that everything sent before it has come out once its datagram arrives.
constexpr int32_t kSentinelToken = 7777;

struct OhlRecord {
    int32_t token, open, high, low, close, extra1, extra2;
};
struct TickerRecord {
    int32_t token, value;
};

// The store as the bridge should hold it, kept here by the store's own rules.
class StoreModel {
  public:
    Bytes OhlFrame(const std::vector<OhlRecord>& records) {
        Bytes payload;
        for (const OhlRecord& r : records) {
            const Bytes one = EncodeOhlRecord(r.token, r.open, r.high, r.low, r.close, r.extra1, r.extra2);
            payload.insert(payload.end(), one.begin(), one.end());
            StoreEntry& e = entries_[r.token];
            e.open = r.open;
            e.high = r.high;
            e.low = r.low;
            e.close = r.close;
        }
        return MakeFrame(kOhl, static_cast<int16_t>(records.size()), CompressBlock(payload));
    }
    Bytes TickerFrame(const std::vector<TickerRecord>& records) {
        Bytes payload;
        for (const TickerRecord& r : records) {
            // The two words around the value are not read: fill them with noise.
            const Bytes one = EncodeTickerRecord(r.token, r.value, 0xDEADBEEF, 0x5A5A5A5A);
            payload.insert(payload.end(), one.begin(), one.end());
            entries_[r.token].ticker = r.value;
        }
        return MakeFrame(kTicker, static_cast<int16_t>(records.size()), CompressBlock(payload));
    }
    // Zeros for a key the store does not hold.
    StoreEntry At(int32_t key) const {
        const auto found = entries_.find(key);
        return found == entries_.end() ? StoreEntry{} : found->second;
    }

  private:
    std::map<int32_t, StoreEntry> entries_;
};

Bytes MbpFrame(const std::vector<FeedRecord>& records) {
    return MakeFrame(kMbp, static_cast<int16_t>(records.size()), CompressBlock(EncodeFeedRecords(records)));
}

// A record with the trading-status flags 21 and 22 and the given last traded price.
FeedRecord Record(int32_t token, int32_t seed, int32_t lastTradedPrice, bool flag21, bool flag22) {
    FeedRecord r = SampleRecord(token, seed);
    r.lastTradedPrice = lastTradedPrice;
    r.indicator[0] = static_cast<uint8_t>(0x11 * (seed % 3));  // level flags vary with the seed
    r.indicator[1] = static_cast<uint8_t>(0x24 + seed);
    r.indicator[2] =
        static_cast<uint8_t>((flag21 ? 0x20 : 0) | (flag22 ? 0x40 : 0) | (seed % 2 ? 0x1C : 0x83));
    r.reserved = 0x99;
    return r;
}

class Relay : public ::testing::Test {
  protected:
    // Starts a relay instance for `segment` reading group <prefix>.1 and writing group <prefix>.2.
    void Start(const std::string& segment, const std::string& groupPrefix,
               std::vector<std::string> options = {}) {
        rig_ = std::make_unique<BridgeRig>(segment, "Y", groupPrefix + ".1", groupPrefix + ".2",
                                           std::move(options));
        ASSERT_TRUE(rig_->WaitReady()) << rig_->bridge.Log();
    }

    void Send(const Bytes& datagram) { ASSERT_TRUE(rig_->Send(datagram)); }

    // Sends the sentinel frame and returns every datagram that came out before its own.
    std::vector<Bytes> DatagramsUpToSentinel() {
        Send(MbpFrame({SampleRecord(kSentinelToken, 99)}));
        const bool cm = rig_->config.segment == "CM";
        std::vector<Bytes> got;
        Bytes one;
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (std::chrono::steady_clock::now() < deadline && rig_->out.Receive(&one, 1s)) {
            if (one.size() == 512 && (cm ? GetBe16(one, 56) : GetBe32(one, 56)) == kSentinelToken) {
                return got;
            }
            got.push_back(one);
        }
        ADD_FAILURE() << "the sentinel datagram did not arrive; " << got.size() << " datagrams before it";
        return got;
    }

    std::vector<std::string> RelayLog() const { return rig_->LogAfterStartup(); }
    void SettleWithRefusedFrame() { ASSERT_TRUE(rig_->SettleWithRefusedFrame()) << rig_->bridge.Log(); }
    std::string StatisticsAfterSignal() { return rig_->RequestStatistics(); }

    // Once a refused frame shows the bridge has handled everything before it: nothing came out.
    void ExpectNothingSent() {
        ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
        Bytes one;
        EXPECT_FALSE(rig_->out.Receive(&one, 300ms)) << "a standby instance sent " << one.size() << " bytes";
    }

    static void ExpectDatagrams(const std::vector<Bytes>& got, const std::vector<Bytes>& expected) {
        ASSERT_EQ(got.size(), expected.size());
        for (size_t k = 0; k < expected.size(); ++k) {
            EXPECT_EQ(got[k], expected[k]) << "datagram " << k << "\ngot:\n"
                                           << HexDump(got[k]) << "\nexpected:\n"
                                           << HexDump(expected[k]);
        }
    }

    std::unique_ptr<BridgeRig> rig_;
};

// Store contents shared by the scenarios.
const std::vector<OhlRecord> kOhl1 = {
    {1001, 9500, 10500, 9000, 10000, 11, 12},  //
    {1002, 990, 1100, 980, 1000, 0, 0},        //
    {1004, 0, 10100, 9900, 10000, 0, 0},       // no open price
    {1005, 10001, 10010, 9990, 10000, 0, 0},   //
    {40000, 1, 2, 3, 4, 5, 6},                 //
    {-25536, 350, 450, 300, 400, 0, 0},        // 40000 as a signed 16-bit number
    {1, 100, 210, 90, 200, 0, 0},              //
    {65537, 7000, 7100, 6900, 7050, 0, 0},     //
    {32767, 1000, 1050, 990, 1000, 0, 0},      //
};
const std::vector<TickerRecord> kTickers1 = {
    {1001, 77}, {1002, 88}, {1003, 333}, {40000, 4444}, {-25536, 5555}, {1, 11}, {65537, 6666}, {32767, 3276},
};

TEST_F(Relay, CapitalMarketDatagramsFollowTheStoreAsFramesArrive) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.1"));
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));

    // Five records, the last alone in its datagram.
    const std::vector<FeedRecord> a = {
        Record(1001, 1, 12000, false, true),  // status 2, last 12000 against close 10000: + 2000
        Record(1002, 2, 1043, false, true),   // status 2, 1043 against 1000: + 429
        Record(9999, 3, 5000, false, false),  // not in the store, status 3
        Record(1001, 4, 1, true, false),      // status 6: open 9500 against 10000: - 500
        Record(1003, 5, 700, true, true),     // status 1, ticker only: close 0, no change
    };
    Send(MbpFrame(a));

    // The store moves on; the next frame is converted with the new values.
    Send(store.OhlFrame({{1001, 9500, 12500, 9000, 12000, 0, 0}}));
    const std::vector<FeedRecord> b = {
        Record(1001, 6, 12000, false, true),  // equal to the new close: " " and 0
        Record(1004, 7, 9000, true, false),   // status 6 without an open price: " " and 0
        Record(1005, 8, 10003, false, true),  // 3 / 10000 * 10000 falls short of 3: + 2
    };
    Send(MbpFrame(b));

    const std::vector<Bytes> got = DatagramsUpToSentinel();
    const StoreEntry e1001before{10000, 9500, 10500, 9000, 77};
    const StoreEntry e1001after{12000, 9500, 12500, 9000, 77};
    ASSERT_EQ(store.At(1001).close, 12000);
    ExpectDatagrams(
        got, {
                 ExpectedCmDatagram({{a[0], e1001before, '+', 2000}, {a[1], store.At(1002), '+', 429}}),
                 ExpectedCmDatagram({{a[2], StoreEntry{}, ' ', 0}, {a[3], e1001before, '-', 500}}),
                 ExpectedCmDatagram({{a[4], store.At(1003), ' ', 0}}),
                 ExpectedCmDatagram({{b[0], e1001after, ' ', 0}, {b[1], store.At(1004), ' ', 0}}),
                 ExpectedCmDatagram({{b[2], store.At(1005), '+', 2}}),
             });

    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
    EXPECT_EQ(RelayLog(), (std::vector<std::string>{kLengthLine, kSizeLine}));
    // Received: the three market-by-price frames (sentinel included); sent: six datagrams.
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(3, 6));
    EXPECT_TRUE(rig_->bridge.process().Running());
}

// A bridge killed without warning comes back with its store: the first market-by-price frames after
// the restart are priced exactly as before the kill, not with zeros.
TEST_F(Relay, AKilledBridgeComesBackWithItsStore) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.7"));
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    Send(store.OhlFrame({{1001, 9400, 12500, 9000, 12000, 0, 0}}));  // an update of an entry in the file
    Send(store.TickerFrame({{1002, 99}}));
    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());

    ASSERT_TRUE(rig_->bridge.KillAndRestart()) << rig_->bridge.Log();
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    const std::string restored = "Instrument store BcstBridge1.store restored: 10 instruments of " +
                                 std::to_string(local.tm_mday) + "-" + std::to_string(local.tm_mon + 1) +
                                 "-" + std::to_string(local.tm_year + 1900);
    EXPECT_EQ(rig_->bridge.LogEntryCount(restored), 1) << rig_->bridge.Log();

    // bcst-store shows the file as the restarted bridge holds it, without disturbing it.
    const ToolResult shown = RunTool(rig_->bridge.dir().path(), {BCST_STORE_EXE, "-i", "1", "--json"});
    ASSERT_EQ(shown.status, 0) << shown.err;
    const std::vector<Json> file = ParseJsonLines(shown.out);
    ASSERT_EQ(file.size(), 1u);
    EXPECT_EQ(file[0].Int("entries"), 10);
    ASSERT_EQ(file[0]["instruments"].items.size(), 10u);
    for (const Json& entry : file[0]["instruments"].items) {
        const StoreEntry expected = store.At(static_cast<int32_t>(entry.Int("token")));
        EXPECT_EQ(entry.Int("closingPrice"), expected.close);
        EXPECT_EQ(entry.Int("openPrice"), expected.open);
        EXPECT_EQ(entry.Int("tickerValue"), expected.ticker);
    }
    const ToolResult none = RunTool(rig_->bridge.dir().path(), {BCST_STORE_EXE, "-i", "1", "-t", "9999"});
    EXPECT_EQ(none.status, 1);
    // A copy made sparse at 20 GiB is read as far as its header counts, and said to be what it is.
    const std::string sparse = rig_->bridge.dir().File("sparse.store");
    WriteFile(sparse, ReadFile(rig_->bridge.dir().File("BcstBridge1.store")));
    ASSERT_EQ(truncate(sparse.c_str(), off_t{20} << 30), 0);
    const ToolResult huge = RunTool(rig_->bridge.dir().path(), {BCST_STORE_EXE, sparse, "--json"});
    ASSERT_EQ(huge.status, 0) << huge.err;
    EXPECT_EQ(ParseJsonLines(huge.out).at(0).Int("entries"), 10);
    for (const char* said :
         {"sparse.store: the file is 20480.0 MiB, larger than a store file gets (128.0 MiB), "
          "and is sparse: ",
          " MiB of its 20480.0 MiB on disk; read only the entries its header counts"}) {
        EXPECT_NE(huge.err.find(said), std::string::npos) << huge.err;
    }

    const std::vector<FeedRecord> a = {
        Record(1001, 1, 12000, false, true),  // equal to the close set before the kill
        Record(1002, 2, 1043, false, true),   // 1043 against 1000: + 429, ticker 99
        Record(1003, 3, 700, true, true),     // ticker only
        Record(-25536, 4, 500, false, true),  // 500 against 400: + 2500
        Record(9999, 5, 5000, false, false),  // never in the store
    };
    Send(MbpFrame(a));
    ExpectDatagrams(
        DatagramsUpToSentinel(),
        {
            ExpectedCmDatagram({{a[0], store.At(1001), ' ', 0}, {a[1], store.At(1002), '+', 429}}),
            ExpectedCmDatagram({{a[2], store.At(1003), ' ', 0}, {a[3], store.At(-25536), '+', 2500}}),
            ExpectedCmDatagram({{a[4], StoreEntry{}, ' ', 0}}),
        });
}

// The store file keeps what the process held at the edges of a warm restart: a bridge that ran past
// midnight restarts with the new day's instruments (the file's day moved with it), and a burst of new
// instruments killed before the next tick comes back whole (each insert made its own room). Midnight
// is brought close with TZ, not waited for.
TEST_F(Relay, AKilledBridgeComesBackWithItsStoreAfterMidnightAndAfterABurst) {
    struct Case {
        const char* name;
        int frames;         // open/high/low frames of 100 new instruments each, sent as fast as they go
        bool nearMidnight;  // started 4 s before local midnight; 50 instruments before it, the rest after
    };
    const Case cases[] = {{"past midnight", 10, true}, {"a burst", 330, false}};
    int group = 20;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const time_t now = time(nullptr);
        const long ahead = ((86400 - 4 - now % 86400) % 86400 + 86400) % 86400;  // local = UTC + ahead
        time_t day = now;
        char zone[32] = "";
        if (c.nearMidnight) {
            snprintf(zone, sizeof zone, "BCST-%ld:%02ld:%02ld", ahead / 3600, ahead / 60 % 60, ahead % 60);
            day = now + ahead + 4;
        }
        const ScopedEnvironment timeZone("TZ", zone);  // for the bridges this row starts
        struct tm t;
        gmtime_r(&day, &t);
        const std::string date = std::to_string(t.tm_mday) + "-" + std::to_string(t.tm_mon + 1) + "-" +
                                 std::to_string(t.tm_year + 1900);
        auto logOfTheDay = [&] {
            const std::string suffix = "_" + std::to_string(t.tm_mday) + "_" + std::to_string(t.tm_mon + 1) +
                                       "_" + std::to_string(t.tm_year + 1900) + ".log";
            return LogMessages(ReadFile(rig_->bridge.dir().File("BcstBridge1" + suffix)));
        };
        ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30." + std::to_string(group++)));
        StoreModel store;
        int32_t token = 100000;
        auto newInstruments = [&](int n) {
            std::vector<OhlRecord> records;
            for (int i = 0; i < n; ++i) {
                records.push_back({token++, 480, 520, 470, 500, 0, 0});
            }
            return store.OhlFrame(records);
        };
        int sent = 0;
        if (c.nearMidnight) {
            Send(newInstruments(50));
            ++sent;
            const std::string carried = "Instrument store BcstBridge1.store carried into " + date + " with ";
            ASSERT_TRUE(WaitUntil(
                [&] {
                    const std::vector<std::string> log = logOfTheDay();
                    return std::any_of(log.begin(), log.end(),
                                       [&](const std::string& e) { return e.rfind(carried, 0) == 0; });
                },
                15s))
                << rig_->bridge.Log();
        }
        for (int f = 0; f < c.frames; ++f) {
            Send(newInstruments(100));
            if (++sent % 20 == 0) {
                std::this_thread::sleep_for(1ms);  // a burst, not a flood past the receive buffer
            }
        }
        // Every frame handled (none lost on the way), then killed at once: no tick need have come between.
        ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
        CountersSnapshot counters;
        std::string error;
        ASSERT_EQ(ReadCountersFile(rig_->CountersFile(), &counters, &error), 0) << error;
        ASSERT_EQ(counters.values[kCounterFramesOhl], sent);
        ASSERT_TRUE(rig_->bridge.KillAndRestart()) << rig_->bridge.Log();
        const std::vector<std::string> log = logOfTheDay();
        const std::string restored =
            "Instrument store BcstBridge1.store restored: " + std::to_string(token - 100000) +
            " instruments of " + date;
        EXPECT_EQ(std::count(log.begin(), log.end(), restored), 1) << rig_->bridge.Log();

        // Priced from the restored store: the close of the last instrument, not a zero.
        const std::vector<FeedRecord> a = {Record(token - 1, 1, 500, false, true)};
        Send(MbpFrame(a));
        ExpectDatagrams(DatagramsUpToSentinel(), {ExpectedCmDatagram({{a[0], store.At(token - 1), ' ', 0}})});
    }
}

// A standby instance (its standby file exists) receives, keeps its store and converts, but sends
// nothing, from its start on; once the file goes, its first datagrams are priced from the store it
// built while standby, and once the file is back, it sends nothing again.
TEST_F(Relay, AStandbyInstanceSendsNothingAndTakesOverWithAWarmStore) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.9"));
    const std::string standby = rig_->bridge.dir().File("BcstBridge1.standby");
    WriteFile(standby, "");
    ASSERT_TRUE(rig_->bridge.KillAndRestart()) << rig_->bridge.Log();
    const std::string file = "Standby file BcstBridge1.standby ";
    auto logged = [&](const std::string& entry) { return rig_->bridge.LogEntryCount(entry); };
    EXPECT_EQ(logged(file + "present at start-up; this instance is standby and sends nothing until it is "
                            "removed"),
              1)
        << rig_->bridge.Log();

    // Standby from the start: the store fills, the frames are converted and withheld.
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    const std::vector<FeedRecord> a = {Record(1001, 1, 12000, false, true),
                                       Record(1002, 2, 1043, false, true), Record(1003, 3, 700, true, true)};
    Send(MbpFrame(a));
    ASSERT_NO_FATAL_FAILURE(ExpectNothingSent());
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(1, 0));

    // Active: byte-exact with the store built while standby.
    ASSERT_EQ(unlink(standby.c_str()), 0);
    const std::string resumed = file +
                                "removed; sending resumed, this instance is now active (2 datagrams "
                                "withheld since the start)";
    ASSERT_TRUE(WaitUntil([&] { return logged(resumed) == 1; }, 5s)) << rig_->bridge.Log();
    const std::vector<FeedRecord> b = {Record(1001, 4, 12000, false, true),
                                       Record(-25536, 5, 500, false, true), Record(1003, 6, 700, true, true)};
    Send(MbpFrame(b));
    ExpectDatagrams(
        DatagramsUpToSentinel(),
        {ExpectedCmDatagram({{b[0], store.At(1001), '+', 2000}, {b[1], store.At(-25536), '+', 2500}}),
         ExpectedCmDatagram({{b[2], store.At(1003), ' ', 0}})});

    // Standby again: nothing more leaves, the sent count stays.
    WriteFile(standby, "");
    ASSERT_TRUE(WaitUntil(
        [&] { return logged(file + "appeared; sending stopped, this instance is now standby") == 1; }, 5s))
        << rig_->bridge.Log();
    Send(MbpFrame(b));
    ASSERT_NO_FATAL_FAILURE(ExpectNothingSent());
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(4, 3));

    const ToolResult stat =
        RunTool(rig_->bridge.dir().path(), {BCST_STAT_EXE, "--json", "--interval", "0.1"});
    ASSERT_EQ(stat.status, 0) << stat.err;
    const std::vector<Json> lines = ParseJsonLines(stat.out);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].Str("role"), "standby");
    EXPECT_EQ(lines[0].Int("withheld"), 4);
    EXPECT_EQ(lines[0].Int("sent"), 3);
    EXPECT_EQ(lines[0].Int("role_changes"), 2);
    EXPECT_GE(lines[0].Int("role_changed_time_ms"), lines[0].Int("start_time_ms"));
}

// Every market-by-price frame whose datagrams leave is timed from the kernel's arrival stamp to its
// send, within what the test itself saw between its send and its receive; store and refused frames
// are not.
TEST_F(Relay, TheWireLatencyOfEveryFrameThatLeavesLiesWithinWhatTheTestSaw) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.13"));
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    constexpr int kFrames = 5;
    const std::string file = rig_->CountersFile();
    CountersSnapshot s = {};
    std::string error;
    int64_t longestSeen = 0, totalSeen = 0;
    for (int i = 0; i < kFrames; ++i) {
        const int64_t sent = CountersWallClock();
        Send(MbpFrame({Record(1001, i + 1, 12000, false, true)}));
        Bytes one;
        ASSERT_TRUE(rig_->out.Receive(&one, 5s)) << "frame " << i;
        // The datagram can arrive here before the bridge's send call has returned: the bound is taken
        // once the bridge has counted the frame, which it does after that return.
        ASSERT_TRUE(
            WaitUntil([&] { return ReadCountersFile(file, &s, &error) == 0 && s.wireCount >= i + 1; }, 5s))
            << error << " frame " << i;
        const int64_t seen = CountersWallClock() - sent;
        longestSeen = std::max(longestSeen, seen);
        totalSeen += seen;
    }
    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
    ASSERT_TRUE(
        WaitUntil([&] { return ReadCountersFile(file, &s, &error) == 0 && s.wireCount >= kFrames; }, 5s))
        << error << " wire count " << s.wireCount;
    ASSERT_TRUE(s.wireHistogram);
    EXPECT_EQ(s.wireCount, kFrames);
    int64_t inBuckets = 0;
    for (int i = 0; i < s.histogramBuckets; ++i) {
        inBuckets += s.wireBuckets[i];
        const int64_t lowerBound = i == 0 ? 0 : s.boundsNs[i - 1];
        EXPECT_TRUE(s.wireBuckets[i] == 0 || lowerBound < longestSeen) << "bucket " << i;
    }
    EXPECT_EQ(inBuckets, kFrames);
    EXPECT_GT(s.wireSumNs, 0);
    EXPECT_LE(s.wireSumNs, totalSeen);
    EXPECT_GT(s.values[kCounterMaxWireNs], 0);
    EXPECT_LE(s.values[kCounterMaxWireNs], longestSeen);

    const ToolResult p = RunTool(rig_->bridge.dir().path(), {BCST_STAT_EXE, "--prometheus"});
    EXPECT_NE(p.out.find("\nbcstbridge_wire_latency_seconds_count{instance=\"1\",segment=\"CM\"} 5\n"),
              std::string::npos)
        << p.out;
    const ToolResult json =
        RunTool(rig_->bridge.dir().path(), {BCST_STAT_EXE, "--json", "--interval", "0.1"});
    const std::vector<Json> lines = ParseJsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u) << json.out;
    EXPECT_EQ(lines[0].Str("wire_latency"), "measured");
    EXPECT_EQ(lines[0].Int("wire_p99_ns"), -1) << "nothing left within the interval";
}

// Busy polling changes how the loop waits, nothing else: byte-exact datagrams, the statistics line on
// SIGUSR1, the standby file honoured and the watchdog pinged while the loop never sleeps; --check
// takes the option on either side.
TEST_F(Relay, ABusyPollingInstanceConvertsAnswersTakesStandbyAndPingsTheWatchdog) {
    TempDir dir;
    NotifySocket notify(dir.File("notify"), "1000000");  // WatchdogSec=1s
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.14", {"--busy-poll"}));
    notify.Forget();
    EXPECT_EQ(
        rig_->bridge.LogEntryCount("Busy polling: the receive loop never sleeps and keeps one core busy"), 1)
        << rig_->bridge.Log();
    ASSERT_EQ(notify.Next(10s), "READY=1");

    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    const std::vector<FeedRecord> a = {Record(1001, 1, 12000, false, true),
                                       Record(1002, 2, 1043, false, true), Record(1003, 3, 700, true, true)};
    Send(MbpFrame(a));
    ExpectDatagrams(
        DatagramsUpToSentinel(),
        {ExpectedCmDatagram({{a[0], store.At(1001), '+', 2000}, {a[1], store.At(1002), '+', 429}}),
         ExpectedCmDatagram({{a[2], store.At(1003), ' ', 0}})});
    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(2, 3));

    WriteFile(rig_->bridge.dir().File("BcstBridge1.standby"), "");
    ASSERT_TRUE(WaitUntil(
        [&] {
            return rig_->bridge.LogEntryCount(
                       "Standby file BcstBridge1.standby appeared; sending stopped, this instance is now "
                       "standby") == 1;
        },
        5s))
        << rig_->bridge.Log();
    Send(MbpFrame(a));
    ASSERT_NO_FATAL_FAILURE(ExpectNothingSent());
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(3, 3));

    // Never asleep in a receive: runnable whenever looked at (a blocking loop sleeps nearly always).
    int running = 0;
    for (int look = 0; look < 20; ++look) {
        running += ProcessState(rig_->bridge.process().pid()) == 'R' ? 1 : 0;
        std::this_thread::sleep_for(5ms);
    }
    EXPECT_GE(running, 10) << "the loop sleeps";
    notify.Drain();
    for (int ping = 0; ping < 2; ++ping) {
        EXPECT_EQ(notify.Next(2s), "WATCHDOG=1") << "ping " << ping;
    }
    EXPECT_TRUE(rig_->bridge.process().Running());

    const std::string work = rig_->bridge.dir().path();
    const ToolResult plain = RunTool(work, {BCSTBRIDGE_EXE, "--check", "1"}, 10s);
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--check", "1", "--busy-poll"}, {"--busy-poll", "--check", "1"}}) {
        std::vector<std::string> argv = {BCSTBRIDGE_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        const ToolResult r = RunTool(work, argv, 10s);
        EXPECT_EQ(r.status, plain.status) << args[0];
        EXPECT_EQ(r.out, plain.out) << args[0];
        EXPECT_EQ(r.err, plain.err) << args[0];
    }
}

// An operator truncates, replaces or removes the counters file or the store file under the running
// bridge: it relays on, logs each once, writes the file again from memory within about a second, and
// neither counts nor prices are lost.
TEST_F(Relay, MappedFilesTruncatedReplacedOrRemovedComeBackWhole) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.8"));
    StoreModel store;
    int32_t nextToken = 5000;
    int ohlFrames = 0;
    auto sendNewTokens = [&] {
        Send(store.OhlFrame({{nextToken, nextToken, nextToken + 1, nextToken - 1, nextToken, 0, 0}}));
        ++nextToken;
        ++ohlFrames;
    };
    sendNewTokens();

    struct Case {
        const char* file;
        const char* action;
    };
    // Overwritten in place (the same inode, as `cp` or `dd conv=notrunc` do it): the tick's comparison
    // with memory finds the header at once and an entry within its pass over the file.
    const Case cases[] = {{"BcstBridge1.counters", "truncated"}, {"BcstBridge1.store", "truncated"},
                          {"BcstBridge1.counters", "replaced"},  {"BcstBridge1.store", "replaced"},
                          {"BcstBridge1.counters", "removed"},   {"BcstBridge1.store", "removed"},
                          {"BcstBridge1.store", "header"},       {"BcstBridge1.store", "entries"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.file) + " " + c.action);
        const std::string path = rig_->bridge.dir().File(c.file);
        const std::string action = c.action;
        if (action == "truncated") {
            ASSERT_EQ(truncate(path.c_str(), 0), 0);
        } else if (action == "header" || action == "entries") {
            const std::string junk(32, 'x');  // over the date and the count, or over entries 2 and 3
            ASSERT_TRUE(WriteFileAt(path, action == "header" ? 20 : 128 + 32 * 2 + 16, junk));
        } else if (action == "replaced") {
            WriteFile(path + ".other", "not the bridge's");
            ASSERT_EQ(rename((path + ".other").c_str(), path.c_str()), 0);
        } else {
            ASSERT_EQ(unlink(path.c_str()), 0);
        }
        const std::string counters = std::string(c.file) == "BcstBridge1.counters" ? "Counters file " : "";
        const std::string expected =
            action == "header"    ? "Instrument store file BcstBridge1.store had a header that differed from "
                                    "memory; written back"
            : action == "entries" ? "Instrument store file BcstBridge1.store had 2 of its "
            : counters.empty()
                ? "Instrument store file " + std::string(c.file) + " was " + action +
                      "; written again from memory ("
                : "Counters file " + std::string(c.file) + " was " + action + "; written again from memory";
        auto logged = [&] {
            const std::vector<std::string> log = RelayLog();
            return std::count_if(log.begin(), log.end(),
                                 [&](const std::string& e) { return e.rfind(expected, 0) == 0; });
        };
        ASSERT_TRUE(WaitUntil(
            [&] {
                sendNewTokens();  // stores into the mapping while it is gone
                return logged() > 0;
            },
            10s))
            << rig_->bridge.Log();
        sendNewTokens();
        ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
        EXPECT_EQ(logged(), 1);
        ASSERT_TRUE(rig_->bridge.process().Running());

        CountersSnapshot snapshot;
        std::string error;
        ASSERT_TRUE(WaitUntil(
            [&] {
                return ReadCountersFile(rig_->bridge.dir().File("BcstBridge1.counters"), &snapshot, &error) ==
                           0 &&
                       snapshot.values[kCounterFramesOhl] == ohlFrames;
            },
            5s))
            << error;
        EXPECT_EQ(snapshot.values[kCounterStoreEntries], nextToken - 5000);
        StoreFileImage image;
        std::string bytes;
        ASSERT_TRUE(WaitUntil(
            [&] {
                return ReadStoreFileBytes(rig_->bridge.dir().File("BcstBridge1.store"), &bytes, &error) ==
                           0 &&
                       ValidateStoreImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                          &image, &error) == 0 &&
                       image.header.count == static_cast<uint32_t>(nextToken - 5000);
            },
            5s))
            << error;
        for (uint32_t i = 0; i < image.header.count; ++i) {
            EXPECT_EQ(image.entries[i].token, 5000 + static_cast<int32_t>(i));
            EXPECT_EQ(image.entries[i].highPrice, store.At(5000 + static_cast<int32_t>(i)).high);
        }
    }
    // Every price is still there for the conversion.
    const std::vector<FeedRecord> a = {Record(5000, 1, 5000, false, true),
                                       Record(nextToken - 1, 2, 1, true, false)};
    Send(MbpFrame(a));
    // Status 6 compares the open price, equal to the close here, so no change: the prices are what matters.
    ExpectDatagrams(
        DatagramsUpToSentinel(),
        {ExpectedCmDatagram({{a[0], store.At(5000), ' ', 0}, {a[1], store.At(nextToken - 1), ' ', 0}})});
}

// The wire carries only the low 16 bits of a capital-market token, but every instrument is priced
// from its own store entry: 40000 must not take the prices of -25536, nor 65537 those of 1.
TEST_F(Relay, CapitalMarketTokensAboveInt16AreLookedUpByTheirWholeToken) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.2"));
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    const std::vector<FeedRecord> records = {
        Record(40000, 1, 500, false, true),   // wire 0x9C40, own close 4: + 1,240,000
        Record(65537, 2, 150, false, true),   // wire 0x0001, own close 7050: - 9787
        Record(32767, 3, 1043, false, true),  // the largest positive 16-bit token: + 429
        Record(-25536, 4, 400, false, true),  // the same wire token as 40000, own close 400: " " 0
        Record(98304, 5, 1, false, true),     // wire 0x8000, not in the store
    };
    Send(MbpFrame(records));
    const std::vector<Bytes> got = DatagramsUpToSentinel();
    ASSERT_EQ(store.At(40000).close, 4);
    ExpectDatagrams(got, {
                             ExpectedCmDatagram({{records[0], store.At(40000), '+', 1240000},
                                                 {records[1], store.At(65537), '-', 9787}}),
                             ExpectedCmDatagram({{records[2], store.At(32767), '+', 429},
                                                 {records[3], store.At(-25536), ' ', 0}}),
                             ExpectedCmDatagram({{records[4], StoreEntry{}, ' ', 0}}),
                         });
    if (got.size() == 3) {
        EXPECT_EQ(got[0][56], 0x9C);
        EXPECT_EQ(got[0][57], 0x40);
        EXPECT_EQ(got[0][56 + 212], 0x00);  // 65537 goes out as 0x0001
        EXPECT_EQ(got[0][57 + 212], 0x01);
    }
}

TEST_F(Relay, DerivativesDatagramsCarryWholeTokensAndTheClosingPrice) {
    ASSERT_NO_FATAL_FAILURE(Start("FO", "239.30.3"));
    StoreModel store;
    Send(store.OhlFrame(kOhl1));
    Send(store.TickerFrame(kTickers1));
    // Indicator bits are set in every record and must change nothing.
    const std::vector<FeedRecord> records = {
        Record(1001, 1, 12000, true, true),    // + and the close 10000
        Record(9999, 2, 12000, true, false),   // not in the store: " " and 0
        Record(40000, 3, 3, false, true),      // whole token: close 4, "-"
        Record(65537, 4, 7050, false, false),  // equal to the close: " " and 7050
        Record(-25536, 5, 500, true, true),    // + and 400
    };
    Send(MbpFrame(records));
    const std::vector<Bytes> got = DatagramsUpToSentinel();
    ExpectDatagrams(got,
                    {
                        ExpectedFoDatagram(2, {{records[0], store.At(1001)}, {records[1], StoreEntry{}}}),
                        ExpectedFoDatagram(2, {{records[2], store.At(40000)}, {records[3], store.At(65537)}}),
                        ExpectedFoDatagram(2, {{records[4], store.At(-25536)}}),
                    });
    if (got.size() == 3) {
        EXPECT_EQ(got[1][56 + 16], '-');
        EXPECT_EQ(GetBe32(got[1], 56 + 18), 4u);
    }

    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
    EXPECT_EQ(RelayLog(), (std::vector<std::string>{kLengthLine, kSizeLine}));
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(2, 4));
}

TEST_F(Relay, RefusedFramesLeaveExactlyTheirLogLinesAndAreNotCounted) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.4"));
    const Bytes valid = CompressBlock(EncodeFeedRecords({SampleRecord(5, 1), SampleRecord(6, 2)}));
    const Bytes filler(2494, 0x41);
    Bytes twoRecordsPlusTwo = EncodeFeedRecords({SampleRecord(5, 1), SampleRecord(6, 2)});
    twoRecordsPlusTwo.resize(282, 0x42);

    struct Case {
        const char* what;
        Bytes datagram;
        std::vector<std::string> lines;
    };
    const std::vector<Case> cases = {
        {"record count 0, garbage", MakeFrame(kMbp, 0, Bytes(100, 0xFF)), {}},
        {"type 10501", MakeFrame(10501, 2, valid), {}},
        {"type 0", MakeFrame(0, 2, valid), {}},
        {"length 2,501", MakeFrameWithLength(kMbp, 2501, 2, filler), {kLengthLine, kSizeLine}},
        {"length 2,495", MakeFrameWithLength(kMbp, 2495, 2, filler), {kLengthLine, kSizeLine}},
        {"length 0", MakeFrameWithLength(kMbp, 0, 2, valid), {kLengthLine, kSizeLine}},
        {"length -1", MakeFrameWithLength(kMbp, -1, 2, valid), {kLengthLine, kSizeLine}},
        {"not LZ4", MakeFrame(kMbp, 2, Bytes(40, 0xFF)), {kSizeLine}},
        {"decodes to nothing", MakeFrame(kMbp, 2, Bytes{0x00}), {kSizeLine}},
        {"decodes past 6,000 bytes", MakeFrame(kTicker, 2, CompressBlock(Bytes(6001, 'x'))), {kSizeLine}},
        {"282 bytes for 2 records", MakeFrame(kMbp, 2, CompressBlock(twoRecordsPlusTwo)), {}},
        {"count -2", MakeFrame(kMbp, -2, valid), {}},
        {"open/high/low count -1",
         MakeFrame(kOhl, -1, CompressBlock(EncodeOhlRecord(5, 1, 2, 3, 4, 5, 6))),
         {}},
    };
    std::vector<std::string> expectedLog;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Send(c.datagram);
        expectedLog.insert(expectedLog.end(), c.lines.begin(), c.lines.end());
    }
    // Nothing came out before the sentinel.
    EXPECT_TRUE(DatagramsUpToSentinel().empty());
    ASSERT_NO_FATAL_FAILURE(SettleWithRefusedFrame());
    expectedLog.insert(expectedLog.end(), {kLengthLine, kSizeLine});
    EXPECT_EQ(RelayLog(), expectedLog);
    // Only the sentinel frame was received and sent.
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(1, 1));
    EXPECT_TRUE(rig_->bridge.process().Running());
}

TEST_F(Relay, FramesCutShortInTransitAreRefused) {
    ASSERT_NO_FATAL_FAILURE(Start("FO", "239.30.5"));
    // A record ending in zero bytes, sent as a literal-only block: with its trailing zeros left out of
    // the datagram the frame is refused, even though zeros are exactly what is missing.
    FeedRecord record = SampleRecord(4242, 3);
    for (int k = 5; k < 10; ++k) {
        record.levels[k] = FeedLevel{};
    }
    const Bytes decoded = EncodeFeedRecord(record);
    Bytes block(2 + decoded.size());
    block[0] = 0xF0;
    block[1] = static_cast<uint8_t>(decoded.size() - 15);
    std::copy(decoded.begin(), decoded.end(), block.begin() + 2);
    const Bytes frame = MakeFrame(kMbp, 1, block);
    size_t cut = frame.size();
    while (frame[cut - 1] == 0) {
        --cut;
    }
    ASSERT_LT(cut + 40, frame.size());

    Send(MakeFrame(kMbp, 0, Bytes(2494, 0xEE)));  // fills the buffer; record count 0, ignored
    Send(Bytes(frame.begin(), frame.begin() + static_cast<long>(cut)));
    Send(Bytes(frame.begin(), frame.begin() + 5));  // cut inside the header
    Send(frame);
    const std::vector<Bytes> got = DatagramsUpToSentinel();
    ExpectDatagrams(got, {ExpectedFoDatagram(2, {{record, StoreEntry{}}})});
    EXPECT_EQ(RelayLog(), (std::vector<std::string>{kLengthLine, kSizeLine, kLengthLine, kSizeLine}));
}

// Copies of `text` in `entries`: those written, plus those a summary entry stands for.
long CopiesLogged(const std::vector<std::string>& entries, const std::string& text, int* summaries) {
    const std::string head = text + " (repeated ";
    const std::string tail = " more times)";
    long copies = 0;
    *summaries = 0;
    for (const std::string& e : entries) {
        if (e == text) {
            ++copies;
        } else if (e.rfind(head, 0) == 0 && e.size() > head.size() + tail.size() &&
                   e.compare(e.size() - tail.size(), tail.size(), tail) == 0) {
            copies += std::stol(e.substr(head.size(), e.size() - head.size() - tail.size()));
            ++*summaries;
        }
    }
    return copies;
}

TEST_F(Relay, AFloodOfRefusedFramesCostsNoValidFrameAndLittleLog) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.6"));
    Bytes refused = MbpFrame({SampleRecord(1, 1), SampleRecord(2, 2), SampleRecord(3, 3)});
    refused.resize(refused.size() - 3);  // cut in transit

    // Bursts of identical refusals, each closed by a valid frame whose datagram is awaited before the
    // next burst, so that no receive buffer overflows and every valid frame must come out.
    constexpr int kRefusals = 5000;
    constexpr int kBurst = 100;
    const time_t first = time(nullptr);
    for (int burst = 0; burst < kRefusals / kBurst; ++burst) {
        for (int k = 0; k < kBurst; ++k) {
            Send(refused);
        }
        const FeedRecord valid = SampleRecord(3000 + burst, burst);
        Send(MbpFrame({valid}));
        Bytes one;
        ASSERT_TRUE(rig_->out.Receive(&one, 10s)) << "valid frame " << burst << " was not relayed";
        ASSERT_EQ(one, ExpectedCmDatagram({{valid, StoreEntry{}, ' ', 0}})) << HexDump(one);
    }
    const time_t last = time(nullptr);

    // Every copy is accounted for once its second is over, by a summary written although nothing
    // arrives any more.
    std::vector<std::string> entries;
    int lengthSummaries = 0;
    int sizeSummaries = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            entries = RelayLog();
            return CopiesLogged(entries, kLengthLine, &lengthSummaries) == kRefusals &&
                   CopiesLogged(entries, kSizeLine, &sizeSummaries) == kRefusals;
        },
        10s))
        << entries.size() << " entries";
    EXPECT_GE(lengthSummaries, 1);
    EXPECT_GE(sizeSummaries, 1);
    // At most 100 copies of each text per second, plus one summary each.
    const long seconds = static_cast<long>(last - first) + 2;
    EXPECT_LE(static_cast<long>(entries.size()), seconds * 2 * 101) << entries.size() << " entries";
    EXPECT_EQ(StatisticsAfterSignal(), StatisticsLine(kRefusals / kBurst, kRefusals / kBurst));
    // The live counters hold every refusal, written to the log or not.
    CountersSnapshot counters;
    std::string error;
    ASSERT_EQ(ReadCountersFile(rig_->bridge.dir().File(CountersFileName(1)), &counters, &error), 0) << error;
    EXPECT_EQ(counters.values[kCounterRefusedBadLength], kRefusals);
    EXPECT_EQ(counters.values[kCounterFramesMbp], kRefusals / kBurst);
    // Every copy not written on its own is counted as held back, and nothing was lost.
    const auto written = std::count_if(entries.begin(), entries.end(), [](const std::string& e) {
        return e == kLengthLine || e == kSizeLine;
    });
    EXPECT_EQ(counters.values[kCounterLogHeldBack], 2 * kRefusals - written);
    EXPECT_EQ(counters.values[kCounterLogLost], 0);
    std::cout << "5,000 refusals within " << last - first + 1 << " clock second(s): " << entries.size()
              << " log entries\n";
}

// A flood that stops: nothing is logged afterwards, yet the copies held back get their summary within
// about a second, from the loop's tick. Then SIGRTMIN, which the bridge does not catch, ends it with
// the signal's default action, a flood before or not.
TEST_F(Relay, AQuietFeedAfterAFloodStillGetsItsSummaryWithinAboutASecond) {
    ASSERT_NO_FATAL_FAILURE(Start("CM", "239.30.7"));
    Bytes refused = MbpFrame({SampleRecord(1, 1)});
    refused.resize(refused.size() - 3);  // cut in transit
    constexpr int kRefusals = 400;       // over 100 in some second, however the clock falls
    for (int burst = 0; burst < kRefusals / 100; ++burst) {
        for (int k = 0; k < 100; ++k) {
            Send(refused);
        }
        const FeedRecord valid = SampleRecord(3000 + burst, burst);
        Send(MbpFrame({valid}));
        Bytes one;
        ASSERT_TRUE(rig_->out.Receive(&one, 10s)) << "valid frame " << burst << " was not relayed";
    }
    const auto quiet = std::chrono::steady_clock::now();

    std::vector<std::string> entries;
    int summaries = 0;
    EXPECT_TRUE(WaitUntil(
        [&] {
            entries = RelayLog();
            return CopiesLogged(entries, kLengthLine, &summaries) == kRefusals;
        },
        2500ms))
        << entries.size() << " entries";
    EXPECT_GE(summaries, 1);
    const auto took = std::chrono::steady_clock::now() - quiet;
    std::cout << "summary " << std::chrono::duration_cast<std::chrono::milliseconds>(took).count()
              << " ms after the flood\n";

    ASSERT_TRUE(rig_->bridge.process().Signal(SIGRTMIN));
    int signalNumber = 0;
    EXPECT_EQ(rig_->bridge.process().WaitExit(5s, &signalNumber), -2);
    EXPECT_EQ(signalNumber, SIGRTMIN);
}

}  // namespace
