// Live counters end to end: a real relay instance fed every kind of frame and refusal, each counter of
// its BcstBridge1.counters file checked against what was sent, kernel drops provoked by stopping the
// bridge; bcst-stat on the live instance, on a dead one and on corrupt files; systemd readiness.
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "app/counters.h"
#include "support/expected_messages.h"
#include "support/tool_output.h"

using namespace bcsttest;
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

// A loopback instance with its output receiver and input sender, its counters file in place.
struct CountedBridge {
    static InstanceConfig Config(const char* recvGroup, const char* sendGroup, const char* flag,
                                 uint16_t wirePort) {
        InstanceConfig c;
        c.flag = flag;
        c.recvGroup = recvGroup;
        c.recvPort = FreeUdpPort();
        c.sendGroup = sendGroup;
        c.sendPort = ConfiguredSendPortFor(wirePort);
        return c;
    }
    CountedBridge(const char* recvGroup, const char* sendGroup, const char* flag)
        : wirePort(FreeUdpPort()),
          config(Config(recvGroup, sendGroup, flag, wirePort)),
          out(config.sendGroup, wirePort),
          bridge(config),
          in(config.recvGroup, config.recvPort),
          file(bridge.dir().File("BcstBridge1.counters")) {}
    bool Ready() {
        return bridge.WaitReady() && WaitUntil([&] { return FileExists(file); }, 5s);
    }

    uint16_t wirePort;
    InstanceConfig config;
    MulticastReceiver out;
    BridgeUnderTest bridge;
    MulticastSender in;
    std::string file;
};

struct Expected {
    CounterId id;
    int64_t value;
};

// Stops the bridge and sends more than its socket buffer holds, then lets it go on: afterwards every
// datagram sent is either counted by the bridge in `handled` or as dropped by the kernel.
void ExpectKernelDropsAccounted(BridgeUnderTest& bridge, MulticastSender& in, const std::string& file,
                                const Bytes& datagram, CounterId handled) {
    const int64_t before = Snapshot(file).values[handled];
    ASSERT_TRUE(bridge.process().Signal(SIGSTOP));
    ASSERT_TRUE(WaitUntil([&] { return ProcessState(bridge.process().pid()) == 'T'; }, 5s));
    int64_t sent = 0;
    for (int i = 0; i < 4000; ++i) {
        sent += in.Send(datagram) ? 1 : 0;
    }
    ASSERT_TRUE(bridge.process().Signal(SIGCONT));
    auto accounted = [&] {
        const CountersSnapshot now = Snapshot(file);
        return now.values[handled] - before + now.values[kCounterKernelDrops];
    };
    // The count arrives with the next datagram that the kernel queues, once the bridge has made room.
    for (int tries = 0; tries < 50 && accounted() != sent; ++tries) {
        ASSERT_TRUE(in.Send(datagram));
        ++sent;
        WaitUntil([&] { return accounted() == sent; }, 200ms);
    }
    EXPECT_EQ(accounted(), sent);
    EXPECT_GT(Snapshot(file).values[kCounterKernelDrops], 0);
}

TEST(Counters, EveryCounterMatchesTheFeedAndBcstStatShowsIt) {
    CountedBridge rig("239.31.1.1", "239.31.1.2", "Y");
    ASSERT_TRUE(rig.Ready()) << rig.bridge.Log();

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
    ASSERT_TRUE(
        WaitUntil([&] { return Snapshot(rig.file).values[kCounterRefusedWrongRecordSize] == 1; }, 10s));
    CountersSnapshot s = Snapshot(rig.file);
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

    // bcst-stat reports the same numbers, for a running instance.
    ToolResult json = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--json"});
    ASSERT_EQ(json.status, 0) << json.err;
    const std::vector<Json> lines = ParseJsonLines(json.out);
    ASSERT_EQ(lines.size(), 1u) << json.out;
    EXPECT_EQ(lines[0].Str("state"), "running");
    EXPECT_EQ(lines[0].Str("mode"), "relay");
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
    ToolResult live = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--count", "2", "--interval", "0.2"});
    ASSERT_EQ(live.status, 0) << live.err;
    EXPECT_NE(live.out.find(" running "), std::string::npos) << live.out;
    EXPECT_NE(live.out.find("refused: 1 unknown type, 1 zero count, 2 bad length, 1 decode failure, 1 wrong"),
              std::string::npos)
        << live.out;

    // Kernel drops: every datagram sent is either refused by the bridge (unknown type) or dropped.
    ExpectKernelDropsAccounted(rig.bridge, rig.in, rig.file,
                               MakeFrameWithLength(1, 1400, 1, Bytes(1400, 0x11)),
                               kCounterRefusedUnknownType);

    // A dead instance: the file stays, bcst-stat says so.
    ASSERT_TRUE(rig.bridge.process().Signal(SIGKILL));
    ASSERT_NE(rig.bridge.process().WaitExit(5s), -1);
    ToolResult dead = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--once"});
    EXPECT_EQ(dead.status, 0) << dead.err;
    EXPECT_NE(dead.out.find("not running"), std::string::npos) << dead.out;
    prometheus = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--prometheus"});
    EXPECT_NE(prometheus.out.find("bcstbridge_up{instance=\"1\",segment=\"CM\"} 0\n"), std::string::npos);

    // A live pid whose start time is not the writer's (a reused pid) is not the instance either.
    Bytes image(kCountersFileSize);
    std::ifstream(rig.file, std::ios::binary).read(reinterpret_cast<char*>(image.data()), kCountersFileSize);
    PutLe32(image, 24, static_cast<uint32_t>(getpid()));
    PutLe32(image, 28, 7);
    bcsttest::PutLe64(image, 32, 1);  // started one tick after boot: certainly not this test
    WriteFile(rig.bridge.dir().File("BcstBridge7.counters"), std::string(image.begin(), image.end()));
    ToolResult reused = RunTool(rig.bridge.dir().path(), {BCST_STAT_EXE, "--json", "-i", "7"});
    EXPECT_NE(reused.out.find("\"state\":\"not running\""), std::string::npos) << reused.out;
}

// Pass-through receives in batches: the same counts, and the drop count from the batch's last datagram.
TEST(Counters, PassThroughCountsBatchesAndKernelDrops) {
    CountedBridge rig("239.31.3.1", "239.31.3.2", "N");
    ASSERT_TRUE(rig.Ready()) << rig.bridge.Log();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(rig.in.Send(Bytes(100, static_cast<uint8_t>(i))));
    }
    EXPECT_EQ(rig.out.ReceiveCount(5, 10s).size(), 5u);
    ASSERT_TRUE(WaitUntil([&] { return Snapshot(rig.file).values[kCounterSent] == 5; }, 5s));
    const CountersSnapshot s = Snapshot(rig.file);
    EXPECT_EQ(s.header.mode, kCountersModePassThrough);
    EXPECT_EQ(s.values[kCounterReceived], 5);
    EXPECT_EQ(s.values[kCounterFramesMbp], 0);
    EXPECT_GT(s.values[kCounterLastAcceptedNs], 0);
    ExpectKernelDropsAccounted(rig.bridge, rig.in, rig.file, Bytes(1400, 0x22), kCounterReceived);
}

TEST(Counters, ReaderRefusesEveryTruncatedOrForeignFileWithOneLine) {
    TempDir dir;
    Bytes valid(kCountersFileSize, 0);
    PutLe32(valid, 0, 0x54534342);  // "BCST"
    PutLe32(valid, 4, 0x31544E43);  // "CNT1"
    PutLe32(valid, 8, 1);
    PutLe32(valid, 12, kCountersFileSize);
    PutLe32(valid, 16, 64);
    PutLe32(valid, 20, kCounterCount);
    PutLe32(valid, 64 + 64 * kCounterSent, 42);
    CountersSnapshot s;
    std::string error;
    ASSERT_EQ(ReadCountersImage(valid.data(), valid.size(), &s, &error), 0) << error;
    EXPECT_EQ(s.values[kCounterSent], 42);
    for (size_t length = 0; length < kCountersFileSize; ++length) {
        EXPECT_EQ(ReadCountersImage(valid.data(), length, &s, &error), 1) << length;
    }

    struct Case {
        const char* what;
        size_t at;  // a 32-bit field to change, or the length to cut to
        uint32_t value;
        bool cut;
        const char* error;
    };
    const std::vector<Case> cases = {
        {"foreign magic", 0, 0x464C457F, false, "not a bcstbridge counters file (bad magic)"},
        {"version 2", 8, 2, false, "counters layout version 2, this reader knows version 1"},
        {"size field", 12, 8192, false, "file is 4096 bytes, its header says 8192"},
        {"counter count", 20, 200, false, "corrupt header (header size 64, 200 counters)"},
        {"cut in the header", 40, 0, true, "too short for a counters file (40 bytes)"},
        {"cut in the counters", 1000, 0, true, "file is 1000 bytes, its header says 4096"},
        {"empty", 0, 0, true, "too short for a counters file (0 bytes)"},
    };
    for (const Case& c : cases) {
        Bytes broken = valid;
        if (c.cut) {
            broken.resize(c.at);
        } else {
            PutLe32(broken, c.at, c.value);
        }
        WriteFile(dir.File("BcstBridge3.counters"), std::string(broken.begin(), broken.end()));
        const ToolResult r = RunTool(dir.path(), {BCST_STAT_EXE, "--once", "-i", "3"});
        EXPECT_EQ(r.status, 1) << c.what;
        EXPECT_EQ(r.err, std::string("bcst-stat: ./BcstBridge3.counters: ") + c.error + "\n") << c.what;
    }
    EXPECT_EQ(RunTool(dir.path(), {BCST_STAT_EXE, "--bogus"}).status, 2);
    const ToolResult none = RunTool(dir.path(), {BCST_STAT_EXE, "--once", "-i", "4", dir.path()});
    EXPECT_EQ(none.status, 1);
    EXPECT_EQ(none.err, "bcst-stat: " + dir.File("BcstBridge4.counters") + ": No such file or directory\n");
}

// A bridge whose loop does not run (stopped with SIGSTOP here) shows as stalled in every output of
// bcst-stat; an idle one, which has received nothing at all, still shows as running.
TEST(Counters, AStoppedLoopShowsAsStalledAndAnIdleOneAsRunning) {
    CountedBridge rig("239.31.4.1", "239.31.4.2", "Y");
    ASSERT_TRUE(rig.Ready()) << rig.bridge.Log();
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
