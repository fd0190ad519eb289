// Live counters end to end: a real relay instance fed every kind of frame and refusal, each counter of
// its BcstBridge1.counters file checked against what was sent, kernel drops provoked by stopping the
// bridge; bcst-stat on the live instance, on a dead one and on corrupt files; systemd readiness.
#include <sys/stat.h>

#include <fstream>
#include <regex>
#include <thread>

#include "app/counters_reader.h"
#include "app/process_identity.h"
#include "support/bridge_rig.h"
#include "support/expected_messages.h"
#include "support/tool_output.h"
#include "tools/percentiles.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

constexpr int16_t kMbp = 10500, kTicker = 10600, kOhl = 10750;

CountersSnapshot Snapshot(const std::string& path) {
    CountersSnapshot s = {};
    std::string error;
    EXPECT_EQ(ReadCountersFile(path, &s, &error), 0) << error;
    return s;
}

Bytes Concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

struct Expected {
    CounterId id;
    int64_t value;
};

// A counters file of layout 2 as a newer, an older or this bridge would write it, laid out here by
// its documented offsets: header (128 bytes), values at 128 (64 bytes apart), the histogram's 56
// cells at 4224 with sum and count behind them, 55 bounds at 4736, 256-byte metadata records at 5248.
constexpr size_t kImageSize = 21632;
struct ImageCounter {
    int64_t value;
    int32_t type;
    std::string key, family, labels, label;
};
Bytes CountersImage(int instance, const std::vector<ImageCounter>& counters) {
    Bytes image(kImageSize, 0);
    PutLe32(image, 0, 0x54534342);  // "BCST"
    PutLe32(image, 4, 0x31544E43);  // "CNT1"
    PutLe32(image, 8, 2);
    PutLe32(image, 12, kImageSize);
    PutLe32(image, 16, 128);
    PutLe32(image, 20, static_cast<uint32_t>(counters.size()));
    PutLe32(image, 28, static_cast<uint32_t>(instance));
    memcpy(image.data() + 56, "CM", 2);
    image[62] = kCountersModeRelay;
    const uint32_t layout[] = {128, 64, 4224, 56, 4736, 5248, 256};
    for (size_t i = 0; i < 7; ++i) {
        PutLe32(image, 64 + 4 * i, layout[i]);
    }
    for (size_t i = 0; i < counters.size(); ++i) {
        const ImageCounter& c = counters[i];
        PutLe64(image, 128 + 64 * i, static_cast<uint64_t>(c.value));
        const size_t record = 5248 + 256 * i;
        PutLe32(image, record, static_cast<uint32_t>(c.type));
        memcpy(image.data() + record + 8, c.key.data(), c.key.size());
        memcpy(image.data() + record + 48, c.family.data(), c.family.size());
        memcpy(image.data() + record + 96, c.labels.data(), c.labels.size());
        memcpy(image.data() + record + 144, c.label.data(), c.label.size());
    }
    // 1, 2, ... 9 µs, 10, 20, ... 90 µs, ... 1 s.
    int64_t bound = 1000;
    for (int i = 0; i < 55; ++i) {
        PutLe64(image, 4736 + 8 * static_cast<size_t>(i), static_cast<uint64_t>(bound * (i % 9 + 1)));
        bound *= i % 9 == 8 ? 10 : 1;
    }
    return image;
}

// This build's counters, each with `value`.
std::vector<ImageCounter> TheseCounters(int64_t value) {
    std::vector<ImageCounter> all;
    for (int id = 0; id < kCounterCount; ++id) {
        const CounterDescription& d = kCounterDescriptions[id];
        all.push_back({value, CounterTypeOf(d), d.key, d.family, d.label, d.help});
    }
    return all;
}

void SetBucket(Bytes& image, int bucket, int64_t count) {
    PutLe64(image, 4224 + 8 * static_cast<size_t>(bucket), static_cast<uint64_t>(count));
}

void WriteImage(const std::string& path, const Bytes& image) {
    WriteFile(path, std::string(image.begin(), image.end()));
}

// Stops the bridge and sends more than its socket buffer holds, then lets it go on: afterwards every
// datagram sent is either counted by the bridge in `handled` or as dropped by the kernel.
void ExpectKernelDropsAccounted(BridgeRig& rig, const Bytes& datagram, CounterId handled) {
    BridgeUnderTest& bridge = rig.bridge;
    const std::string file = rig.CountersFile();
    const int64_t before = Snapshot(file).values[handled];
    ASSERT_TRUE(bridge.process().Signal(SIGSTOP));
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(bridge.process().pid()) == 'T'; }, 5s));
    int64_t sent = 0;
    for (int i = 0; i < 4000; ++i) {
        sent += rig.Send(datagram) ? 1 : 0;
    }
    ASSERT_TRUE(bridge.process().Signal(SIGCONT));
    auto accounted = [&] {
        const CountersSnapshot now = Snapshot(file);
        return now.values[handled] - before + now.values[kCounterKernelDrops];
    };
    // The count arrives with the next datagram that the kernel queues, once the bridge has made room.
    for (int tries = 0; tries < 50 && accounted() != sent; ++tries) {
        ASSERT_TRUE(rig.Send(datagram));
        ++sent;
        WaitUntil([&] { return accounted() == sent; }, 200ms);
    }
    EXPECT_EQ(accounted(), sent);
    EXPECT_GT(Snapshot(file).values[kCounterKernelDrops], 0);
}

TEST(Counters, EveryCounterMatchesTheFeedAndBcstStatShowsIt) {
    BridgeRig rig("CM", "Y", "239.31.1.1", "239.31.1.2");
    const std::string file = rig.CountersFile();
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();

    const Bytes valid = CompressBlock(EncodeFeedRecords({SampleRecord(5, 1), SampleRecord(6, 2)}));
    Bytes wrongSize = EncodeFeedRecords({SampleRecord(5, 1), SampleRecord(6, 2)});
    wrongSize.resize(300, 0x42);  // 150 bytes a record
    const std::vector<Bytes> feed = {
        MakeFrame(kOhl, 2,
                  CompressBlock(
                      Concat(EncodeOhlRecord(1, 1, 2, 3, 4, 5, 6), EncodeOhlRecord(2, 1, 2, 3, 4, 5, 6)))),
        MakeFrame(kTicker, 2, CompressBlock(Concat(EncodeTickerRecord(2, 7), EncodeTickerRecord(3, 8)))),
        MakeFrame(
            kMbp, 3,
            CompressBlock(EncodeFeedRecords({SampleRecord(1, 1), SampleRecord(2, 2), SampleRecord(3, 3)}))),
        MakeFrame(kMbp, 2, valid),
        MakeFrame(10501, 2, valid),                             // unknown type
        MakeFrame(kMbp, 0, valid),                              // zero count
        MakeFrameWithLength(kMbp, 0, 2, valid),                 // bad length
        MakeFrameWithLength(kMbp, 2495, 2, Bytes(2494, 0x41)),  // bad length: past the receive buffer
        MakeFrame(kMbp, 2, Bytes(40, 0xFF)),                    // not LZ4
        MakeFrame(kMbp, 2, CompressBlock(wrongSize)),           // wrong record size
    };
    for (const Bytes& frame : feed) {
        ASSERT_TRUE(rig.in.Send(frame));
    }
    const std::vector<Expected> expected = {
        {kCounterReceived, 2},
        {kCounterSent, 3},
        {kCounterSendErrors, 0},
        {kCounterReceiveErrors, 0},
        {kCounterFramesMbp, 2},
        {kCounterFramesOhl, 1},
        {kCounterFramesTicker, 1},
        {kCounterRefusedUnknownType, 1},
        {kCounterRefusedZeroCount, 1},
        {kCounterRefusedBadLength, 2},
        {kCounterRefusedDecodeFailure, 1},
        {kCounterRefusedWrongRecordSize, 1},
        {kCounterStoreEntries, 3},
        {kCounterKernelDrops, 0},
    };
    EXPECT_EQ(rig.out.ReceiveCount(3, 10s).size(), 3u);
    ASSERT_TRUE(WaitUntil([&] { return Snapshot(file).values[kCounterRefusedWrongRecordSize] == 1; }, 10s));
    CountersSnapshot s = Snapshot(file);
    for (const Expected& e : expected) {
        EXPECT_EQ(s.values[e.id], e.value) << kCounterDescriptions[e.id].key;
    }
    EXPECT_EQ(s.header.pid, rig.bridge.process().pid());
    EXPECT_EQ(s.header.instance, 1);
    EXPECT_STREQ(s.header.segment, "CM");
    EXPECT_EQ(s.header.mode, kCountersModeRelay);
    EXPECT_TRUE(s.header.sendPath >= kSendPathUdpSegmentation && s.header.sendPath <= kSendPathSendto)
        << "the path the sending socket's set-up chose, not " << int{s.header.sendPath};
    EXPECT_GT(s.values[kCounterLastAcceptedNs], s.header.startMonotonicNs);
    EXPECT_GT(s.values[kCounterMaxServiceNs], 0);
    // Every datagram's handling is in the histogram: in its buckets, its count and its sum.
    EXPECT_EQ(s.histogramBuckets, kServiceBuckets);
    EXPECT_EQ(s.histogramCount, static_cast<int64_t>(feed.size()));
    int64_t inBuckets = 0;
    for (int i = 0; i < s.histogramBuckets; ++i) {
        inBuckets += s.buckets[i];
    }
    EXPECT_EQ(inBuckets, static_cast<int64_t>(feed.size()));
    EXPECT_GE(s.histogramSumNs, s.values[kCounterMaxServiceNs]);
    EXPECT_EQ(s.values[kCounterLogLost], 0);
    // Each counter describes itself in the file, whole (nothing cut to its field).
    ASSERT_EQ(s.counterCount, kCounterCount);
    for (int id = 0; id < kCounterCount; ++id) {
        const CounterDescription& d = kCounterDescriptions[id];
        EXPECT_STREQ(s.metadata[id].key, d.key);
        EXPECT_STREQ(s.metadata[id].family, d.family);
        EXPECT_STREQ(s.metadata[id].labels, d.label);
        EXPECT_STREQ(s.metadata[id].label, d.help);
        EXPECT_EQ(s.metadata[id].typeId, CounterTypeOf(d)) << d.key;
    }

    // bcst-stat reports the same numbers, for a running instance.
    ToolResult json = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json> lines = ParseJsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u) << json.out;
    EXPECT_EQ(lines[0].Str("state"), "running");
    EXPECT_EQ(lines[0].Str("mode"), "relay");
    EXPECT_EQ(lines[0].Int("role_changes"), 0);
    EXPECT_EQ(lines[0].Int("role_changed_time_ms"), lines[0].Int("start_time_ms")) << "before any change";
    for (const Expected& e : expected) {
        EXPECT_EQ(lines[0].Int(kCounterDescriptions[e.id].key), e.value) << kCounterDescriptions[e.id].key;
    }
    ToolResult prometheus = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--prometheus", "-i", "1"});
    ASSERT_EQ(prometheus.status, 0) << prometheus.err;
    for (const char* line :
         {"bcstbridge_up{instance=\"1\",segment=\"CM\"} 1\n",
          "bcstbridge_frames_total{instance=\"1\",segment=\"CM\",type=\"mbp\"} 2\n",
          "bcstbridge_refused_frames_total{instance=\"1\",segment=\"CM\",reason=\"bad_length\"} 2\n",
          "# TYPE bcstbridge_datagrams_sent_total counter\n",
          "bcstbridge_datagrams_sent_total{instance=\"1\",segment=\"CM\"} 3\n"}) {
        EXPECT_NE(prometheus.out.find(line), std::string::npos) << line << prometheus.out;
    }
    // The live view, with frames arriving all along: the percentiles of an interval that had some.
    ToolProcess view(rig.bridge.dir().path(), {BCST_STAT_EXE, "--count", "3", "--interval", "0.2"}, "live");
    for (int i = 0; i < 500 && view.Running(); ++i) {
        ASSERT_TRUE(rig.in.Send(MakeFrame(kMbp, 2, valid)));
        std::this_thread::sleep_for(10ms);
    }
    ToolResult live;
    live.status = view.Wait(10s);
    live.out = view.Out();
    ASSERT_EQ(live.status, 0) << view.Err();
    EXPECT_NE(live.out.find(" running "), std::string::npos) << live.out;
    // A row ends in four times (P50, P99, P99.9, MAX), each a number of µs or ms, rather than "-".
    EXPECT_TRUE(std::regex_search(live.out, std::regex(R"(( +[0-9.]+(us|ms)){4}\n)"))) << live.out;
    EXPECT_NE(live.out.find("refused: 1 unknown type, 1 zero count, 2 bad length, 1 decode failure, 1 wrong"),
              std::string::npos)
        << live.out;

    // Kernel drops: every datagram sent is either refused by the bridge (unknown type) or dropped.
    ExpectKernelDropsAccounted(rig, MakeFrameWithLength(1, 1400, 1, Bytes(1400, 0x11)),
                               kCounterRefusedUnknownType);

    // A dead instance: the file stays, bcst-stat says so.
    ASSERT_TRUE(rig.bridge.process().Signal(SIGKILL));
    ASSERT_NE(rig.bridge.process().WaitExit(5s), -1);
    ToolResult dead = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--once"});
    EXPECT_EQ(dead.status, 0) << dead.err;
    EXPECT_NE(dead.out.find("not running"), std::string::npos) << dead.out;
    prometheus = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--prometheus"});
    EXPECT_NE(prometheus.out.find("bcstbridge_up{instance=\"1\",segment=\"CM\",reason=\"not_running\"} 0\n"),
              std::string::npos)
        << prometheus.out;

    // A live pid whose start time is not the writer's (a reused pid) is not the instance either.
    Bytes image(kCountersFileSize);
    std::ifstream(file, std::ios::binary).read(reinterpret_cast<char*>(image.data()), kCountersFileSize);
    PutLe32(image, 24, static_cast<uint32_t>(getpid()));
    PutLe32(image, 28, 7);
    bcsttest::PutLe64(image, 32, 1);  // started one tick after boot: certainly not this test
    WriteFile(rig.bridge.dir().File("BcstBridge7.counters"), std::string(image.begin(), image.end()));
    ToolResult reused = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--json", "-i", "7"});
    EXPECT_NE(reused.out.find("\"state\":\"not running\""), std::string::npos) << reused.out;

    // The check itself, as the bridge stamps the file and bcst-stat applies it.
    uint64_t own = 0, byPid = 0;
    int openError = -1;
    ASSERT_TRUE(ProcessStartTicks(0, &own, &openError));
    ASSERT_TRUE(ProcessStartTicks(getpid(), &byPid, &openError));
    EXPECT_EQ(openError, 0);
    EXPECT_EQ(own, byPid);
    EXPECT_TRUE(ProcessRunning(getpid(), own));
    EXPECT_TRUE(ProcessRunning(getpid(), 0));
    EXPECT_FALSE(ProcessRunning(getpid(), own + 1));
    const BCST_COUNTERS_HEADER killed = Snapshot(rig.CountersFile()).header;
    EXPECT_NE(killed.startTicks, 0u);
    EXPECT_FALSE(ProcessRunning(killed.pid, killed.startTicks)) << "the killed bridge";
    EXPECT_FALSE(ProcessRunning(0, 0));
}

// Pass-through receives in batches: the same counts, and the drop count from the batch's last datagram.
TEST(Counters, PassThroughCountsBatchesAndKernelDrops) {
    BridgeRig rig("CM", "N", "239.31.3.1", "239.31.3.2");
    const std::string file = rig.CountersFile();
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(rig.in.Send(Bytes(100, static_cast<uint8_t>(i))));
    }
    EXPECT_EQ(rig.out.ReceiveCount(5, 10s).size(), 5u);
    ASSERT_TRUE(WaitUntil([&] { return Snapshot(file).values[kCounterSent] == 5; }, 5s));
    const CountersSnapshot s = Snapshot(file);
    EXPECT_EQ(s.header.mode, kCountersModePassThrough);
    EXPECT_EQ(s.values[kCounterReceived], 5);
    EXPECT_EQ(s.values[kCounterFramesMbp], 0);
    EXPECT_GT(s.values[kCounterLastAcceptedNs], 0);
    ExpectKernelDropsAccounted(rig, Bytes(1400, 0x22), kCounterReceived);
}

TEST(Counters, ReaderRefusesEveryTruncatedOrForeignFileWithOneLine) {
    TempDir dir;
    Bytes valid = CountersImage(3, TheseCounters(0));
    PutLe64(valid, 128 + 64 * kCounterSent, 42);
    CountersSnapshot s;
    std::string error;
    ASSERT_EQ(ReadCountersImage(valid.data(), valid.size(), &s, &error), 0) << error;
    EXPECT_EQ(s.values[kCounterSent], 42);
    EXPECT_EQ(s.counterCount, kCounterCount);
    EXPECT_STREQ(s.metadata[kCounterSent].key, "sent");
    for (size_t length = 0; length < kImageSize; length += length < 300 ? 1 : 97) {
        EXPECT_EQ(ReadCountersImage(valid.data(), length, &s, &error), 1) << length;
    }

    struct Case {
        const char* what;
        size_t at;  // a 32-bit field to change, or the length to cut to
        uint32_t value;
        bool cut;
        std::string error;
        const char* reason;  // of bcstbridge_up 0
    };
    const std::string corrupt =
        "corrupt header (header size 128, " + std::to_string(kCounterCount) + " counters)";
    const std::vector<Case> cases = {
        {"foreign magic", 0, 0x464C457F, false, "not a bcstbridge counters file (bad magic)", "foreign"},
        {"version 3", 8, 3, false, "counters layout version 3, this reader knows version 2", "version"},
        {"version 1", 8, 1, false, "counters layout version 1, this reader knows version 2", "version"},
        {"size field", 12, 8192, false, "file is 21632 bytes, its header says 8192", "truncated"},
        {"counter count", 20, 200, false, "corrupt header (header size 128, 200 counters)", "corrupt"},
        {"header size", 16, 64, false,
         "corrupt header (header size 64, " + std::to_string(kCounterCount) + " counters)", "corrupt"},
        {"values past the end", 64, 21600, false, corrupt, "corrupt"},
        {"values unaligned", 64, 129, false, corrupt, "corrupt"},
        {"histogram past the end", 72, 21620, false, corrupt, "corrupt"},
        {"too many buckets", 76, 57, false, corrupt, "corrupt"},
        {"wire histogram past the end", 92, 21620, false, corrupt, "corrupt"},
        {"wire histogram unaligned", 92, 5252, false, corrupt, "corrupt"},
        {"short metadata records", 88, 128, false, corrupt, "corrupt"},
        {"bounds not rising", 4736 + 8 * 3, 1000, false, "corrupt histogram bounds", "corrupt"},
        {"a key that is no name", 5248 + 8, 0x2D2D2D2D, false, "corrupt metadata of counter 0", "corrupt"},
        {"a running total that is a level", 5248 + 256 * kCounterSent, kCounterTypeLevel, false,
         "corrupt metadata of counter " + std::to_string(kCounterSent), "corrupt"},
        {"an upper-case name", 5248 + 256 * kCounterSent + 48, 0x41544144, false,
         "corrupt metadata of counter " + std::to_string(kCounterSent), "corrupt"},
        {"a line break in a label", 5248 + 256 + 144, 0x0A0A0A0A, false, "corrupt metadata of counter 1",
         "corrupt"},
        {"labels without a value", 5248 + 256 * kCounterFramesOhl + 96 + 4, 0x00226F22, false,
         "corrupt metadata of counter " + std::to_string(kCounterFramesOhl), "corrupt"},
        {"cut in the header", 40, 0, true, "too short for a counters file (40 bytes)", "truncated"},
        {"cut in the counters", 1000, 0, true, "file is 1000 bytes, its header says 21632", "truncated"},
        {"empty", 0, 0, true, "too short for a counters file (0 bytes)", "truncated"},
    };
    for (const Case& c : cases) {
        Bytes broken = valid;
        if (c.cut) {
            broken.resize(c.at);
        } else {
            PutLe32(broken, c.at, c.value);
        }
        WriteImage(dir.File("BcstBridge3.counters"), broken);
        const ToolResult r = RunTool(dir.path(), {BCST_STAT_EXE, "--once", "-i", "3"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, "bcst-stat: ./BcstBridge3.counters: " + c.error + "\n") << c.what;
        // Monitoring still sees the instance: down, and why.
        const ToolResult p = RunTool(dir.path(), {BCST_STAT_EXE, "--prometheus"});
        EXPECT_EQ(p.status, 1) << c.what;
        EXPECT_NE(p.out.find(std::string("bcstbridge_up{instance=\"3\",reason=\"") + c.reason + "\"} 0\n"),
                  std::string::npos)
            << c.what << "\n"
            << p.out;
    }
    const ToolResult bogus = RunTool(dir.path(), {BCST_STAT_EXE, "--bogus"});
    EXPECT_EQ(bogus.status, 2);
    EXPECT_EQ(bogus.err, "bcst-stat: The following argument was not expected: --bogus (see --help)\n");
    const ToolResult zero = RunTool(dir.path(), {BCST_STAT_EXE, "-i", "0"});
    EXPECT_EQ(zero.status, 2);
    EXPECT_EQ(zero.err, "bcst-stat: --instance: instance 0 does not exist (see --help)\n");
    const ToolResult interval = RunTool(dir.path(), {BCST_STAT_EXE, "--interval", "0.01"});
    EXPECT_EQ(interval.status, 2);
    EXPECT_EQ(interval.err,
              "bcst-stat: --interval: '0.01' is not a number of seconds from 0.1 to 3600 (see --help)\n");
    const ToolResult version = RunTool(dir.path(), {BCST_STAT_EXE, "--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("bcst-stat (bcstbridge) ") + BCST_PROJECT_VERSION + "\n");
    const ToolResult none = RunTool(dir.path(), {BCST_STAT_EXE, "--once", "-i", "4", dir.path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "bcst-stat: " + dir.File("BcstBridge4.counters") + ": No such file or directory\n");
}

// A bridge whose loop does not run (stopped with SIGSTOP here) shows as stalled in every output of
// bcst-stat; an idle one, which has received nothing at all, still shows as running.
TEST(Counters, AStoppedLoopShowsAsStalledAndAnIdleOneAsRunning) {
    BridgeRig rig("CM", "Y", "239.31.4.1", "239.31.4.2");
    const std::string file = rig.CountersFile();
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    auto json = [&] {
        const ToolResult r = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--json"});
        EXPECT_EQ(r.status, 0) << r.err;
        const std::vector<Json> lines = ParseJsonLines(r.out);
        return lines.size() == 1 ? lines[0] : Json{};
    };
    std::this_thread::sleep_for(2500ms);  // idle for longer than a stall takes to show
    Json idle = json();
    EXPECT_EQ(idle.Str("state"), "running");
    EXPECT_LT(idle.Int("heartbeat_age_ms"), 2000);
    EXPECT_EQ(idle.Int("last_frame_age_ms"), -1);

    ASSERT_TRUE(rig.bridge.process().Signal(SIGSTOP));
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(rig.bridge.process().pid()) == 'T'; }, 5s));
    Json stopped;
    EXPECT_TRUE(WaitUntil(
        [&] {
            stopped = json();
            return stopped.Has("state") && stopped.Str("state") == "stalled";
        },
        10s));
    EXPECT_GT(stopped.Int("heartbeat_age_ms"), 2000);
    const ToolResult live = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--count", "1"});
    EXPECT_NE(live.out.find(" stalled "), std::string::npos) << live.out;
    const ToolResult prometheus = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--prometheus"});
    for (const char* line :
         {"bcstbridge_up{instance=\"1\",segment=\"CM\"} 1\n", "# TYPE bcstbridge_stalled gauge\n",
          "bcstbridge_stalled{instance=\"1\",segment=\"CM\"} 1\n"}) {
        EXPECT_NE(prometheus.out.find(line), std::string::npos) << line << prometheus.out;
    }

    ASSERT_TRUE(rig.bridge.process().Signal(SIGCONT));
    EXPECT_TRUE(WaitUntil(
        [&] {
            const Json now = json();
            return now.Has("state") && now.Str("state") == "running";
        },
        5s));
}

// A newer bridge's counters are shown by their metadata; an older one's missing counters are absent;
// a file seen through a second name is one instance; the histogram goes out cumulative.
TEST(Counters, FilesOfOtherBuildsAndSecondNames) {
    TempDir dir;
    std::vector<ImageCounter> newer = TheseCounters(5);
    newer.push_back({77, kCounterTypeTotal, "heartbeats", "heartbeats_total", "", "Loop heartbeats."});
    newer.push_back({9, kCounterTypeLevel, "queue_depth", "queue_depth", "queue=\"a\"", "Depth of a queue."});
    Bytes newest = CountersImage(3, newer);
    SetBucket(newest, 0, 5);                     // up to 1 µs
    SetBucket(newest, 10, 3);                    // up to 20 µs
    SetBucket(newest, 55, 1);                    // over 1 s
    PutLe64(newest, 4224 + 8 * 56, 2500000000);  // the sum
    PutLe64(newest, 4224 + 8 * 57, 9);           // the count
    WriteImage(dir.File("BcstBridge3.counters"), newest);
    std::vector<ImageCounter> older = TheseCounters(6);
    older.resize(kCounterLogHeldBack);  // before the log counters
    WriteImage(dir.File("BcstBridge4.counters"), CountersImage(4, older));
    ASSERT_EQ(symlink("BcstBridge3.counters", dir.File("BcstBridge5.counters").c_str()), 0);
    ASSERT_EQ(link(dir.File("BcstBridge4.counters").c_str(), dir.File("BcstBridge6.counters").c_str()), 0);

    const ToolResult p = RunTool(dir.path(), {BCST_STAT_EXE, "--prometheus"});
    EXPECT_EQ(p.status, 0) << p.err;
    for (const char* line : {
             "# TYPE bcstbridge_heartbeats_total counter\n",
             "bcstbridge_heartbeats_total{instance=\"3\",segment=\"CM\"} 77\n",
             "# TYPE bcstbridge_queue_depth gauge\n",
             "bcstbridge_queue_depth{instance=\"3\",segment=\"CM\",queue=\"a\"} 9\n",
             "bcstbridge_log_entries_lost_total{instance=\"3\",segment=\"CM\"} 5\n",
             "bcstbridge_frames_total{instance=\"4\",segment=\"CM\",type=\"mbp\"} 6\n",
             "# TYPE bcstbridge_service_seconds histogram\n",
             "bcstbridge_service_seconds_bucket{instance=\"3\",segment=\"CM\",le=\"1e-06\"} 5\n",
             "bcstbridge_service_seconds_bucket{instance=\"3\",segment=\"CM\",le=\"1e-05\"} 5\n",
             "bcstbridge_service_seconds_bucket{instance=\"3\",segment=\"CM\",le=\"2e-05\"} 8\n",
             "bcstbridge_service_seconds_bucket{instance=\"3\",segment=\"CM\",le=\"1\"} 8\n",
             "bcstbridge_service_seconds_bucket{instance=\"3\",segment=\"CM\",le=\"+Inf\"} 9\n",
             "bcstbridge_service_seconds_sum{instance=\"3\",segment=\"CM\"} 2.500000000\n",
             "bcstbridge_service_seconds_count{instance=\"3\",segment=\"CM\"} 9\n",
             "bcstbridge_service_seconds_count{instance=\"4\",segment=\"CM\"} 0\n",
         }) {
        EXPECT_NE(p.out.find(line), std::string::npos) << line << p.out;
    }
    EXPECT_EQ(p.out.find("instance=\"5\""), std::string::npos) << "the link is the same instance";
    EXPECT_EQ(p.out.find("instance=\"6\""), std::string::npos) << "the hard link is the same instance";
    EXPECT_EQ(p.out.find("bcstbridge_log_entries_lost_total{instance=\"4\""), std::string::npos) << p.out;

    const ToolResult json = RunTool(dir.path(), {BCST_STAT_EXE, "--json", "--interval", "0.1"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json> lines = ParseJsonLines(json.out);
    ASSERT_EQ(lines.size(), 2u) << json.out;
    EXPECT_EQ(lines[0].Int("heartbeats"), 77);
    EXPECT_EQ(lines[0].Int("log_lost"), 5);
    EXPECT_EQ(lines[0].Int("service_p99_ns"), -1) << "nothing handled within the interval";
    EXPECT_EQ(lines[1].Int("frames_mbp"), 6);
    EXPECT_THROW(lines[1].Int("log_lost"), std::runtime_error) << json.out;

    const ToolResult table = RunTool(dir.path(), {BCST_STAT_EXE, "--once"});
    EXPECT_NE(table.out.find("      instance 3 heartbeats: 77 (Loop heartbeats.)\n"), std::string::npos)
        << table.out;
}

// Bucket bounds: 1..9 µs, 10..90 µs, ... 100..900 ms, 1 s; each time in the first bucket whose bound
// is at least the time.
TEST(Counters, ServiceTimesFallInTheirBuckets) {
    struct Case {
        int64_t ns;
        int bucket;
        int64_t boundNs;  // of that bucket; 0 for the last one (longer than 1 s)
    };
    const std::vector<Case> cases = {
        {-5, 0, 1000},
        {0, 0, 1000},
        {1000, 0, 1000},
        {1001, 1, 2000},
        {2000, 1, 2000},
        {2001, 2, 3000},
        {9000, 8, 9000},
        {9001, 9, 10000},
        {10000, 9, 10000},
        {10001, 10, 20000},
        {99999, 18, 100000},
        {100001, 19, 200000},
        {850000, 26, 900000},
        {999999, 27, 1000000},
        {1000001, 28, 2000000},
        {999999999, 54, 1000000000},
        {1000000000, 54, 1000000000},
        {1000000001, 55, 0},
        {INT64_MAX / 2, 55, 0},
        {INT64_MAX, 55, 0},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(ServiceBucket(c.ns), c.bucket) << c.ns;
        if (c.boundNs != 0) {
            EXPECT_EQ(ServiceBoundNs(c.bucket), c.boundNs) << c.ns;
        }
    }
    // Every bound is in its own bucket, and one nanosecond more is in the next.
    for (int i = 0; i < kServiceBoundCount; ++i) {
        EXPECT_EQ(ServiceBucket(ServiceBoundNs(i)), i) << i;
        EXPECT_EQ(ServiceBucket(ServiceBoundNs(i) + 1), i + 1) << i;
    }

    // Percentiles over an interval: the bound of the bucket that holds the rank, never above the max.
    CountersSnapshot before = {}, now = {};
    before.histogramBuckets = now.histogramBuckets = kServiceBuckets;
    for (int i = 0; i < kServiceBuckets; ++i) {
        before.boundsNs[i] = now.boundsNs[i] = i < kServiceBoundCount ? ServiceBoundNs(i) : INT64_MAX;
        before.buckets[i] = now.buckets[i] = 1000;  // counted before the interval
    }
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.5, 60000000), -1);
    EXPECT_EQ(ServiceMaxNs(now, &before, 60000000), -1);
    now.buckets[2] += 900;  // 3 µs
    now.buckets[20] += 99;  // 300 µs
    now.buckets[40] += 1;   // 50 ms
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.5, 60000000), 3000);
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.9, 60000000), 3000);
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.99, 60000000), 300000);
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.999, 60000000), 300000);
    EXPECT_EQ(ServiceMaxNs(now, &before, 60000000), 50000000);
    EXPECT_EQ(ServiceMaxNs(now, &before, 42000000), 42000000) << "no more than the longest ever seen";
    now.buckets[kServiceBoundCount] += 9;  // over 1 s: only the longest ever seen bounds it
    EXPECT_EQ(ServicePercentileNs(now, &before, 0.999, 3000000000), 3000000000);
    EXPECT_EQ(ServicePercentileNs(now, nullptr, 0.5, 3000000000), ServiceBoundNs(kServiceBoundCount / 2))
        << "since the start: 1000 in each bucket";
}

// Readiness: READY=1 reaches the notify socket only after both sockets are up, and never from an
// instance that fails to start. A counters file that cannot be made costs one log entry, nothing else.
TEST(Counters, ReadyOnlyOnceUpAndRunsOnWithoutTheFile) {
    TempDir dir;
    NotifySocket notify(dir.File("notify"));

    InstanceConfig broken;
    broken.veltIp = "192.0.2.1";  // not an address of this host: the sender cannot bind
    BridgeUnderTest failing(broken);
    EXPECT_EQ(failing.process().WaitExit(10s), 1);
    EXPECT_EQ(notify.Next(3s), "");

    InstanceConfig config;
    config.recvGroup = "239.31.2.1";
    config.recvPort = FreeUdpPort();
    config.sendGroup = "239.31.2.2";
    const uint16_t wirePort = FreeUdpPort();
    config.sendPort = ConfiguredSendPortFor(wirePort);
    TempDir work;
    WriteFile(work.File("BCSTBRIDGE.INI"), "HEADER\n" + config.Line() + "\n");
    ASSERT_EQ(mkdir(work.File("BcstBridge1.counters").c_str(), 0755), 0);  // the name is taken
    MulticastReceiver out(config.sendGroup, wirePort);
    ChildProcess bridge(work.path(), {BCSTBRIDGE_EXE, "1"});
    EXPECT_EQ(notify.Next(3s), "READY=1");
    notify.Forget();
    const std::vector<std::string> log = LogMessages(ReadFile(FindLogFile(work.path())));
    ASSERT_GE(log.size(), 2u);
    EXPECT_EQ(log[log.size() - 2], "Sender Socket Initialized Successfully");
    EXPECT_EQ(log.back(),
              "Counters file BcstBridge1.counters could not be created (rename: Is a directory); running "
              "without live counters");
    MulticastSender in(config.recvGroup, config.recvPort);
    ASSERT_TRUE(in.Send(Bytes(100, 0x33)));  // pass-through
    EXPECT_EQ(out.ReceiveCount(1, 5s).size(), 1u);
    // The configuration, the log, the directory in the counters file's way and the store file.
    EXPECT_EQ(ListDir(work.path()).size(), 4u) << "no temporary file left behind";
    EXPECT_TRUE(FileExists(work.File("BcstBridge1.store")));
}

}  // namespace
