// End to end: start-up of the real bcstbridge, its log sequence, every way start-up fails, and how
// the process ends.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <csignal>
#include <ctime>
#include <string>
#include <vector>

#include "app/counters.h"
#include "app/counters_reader.h"
#include "feed/store_file.h"
#include "support/test_support.h"
#include "support/tool_output.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

const char kHeader[] = "SEGMENT,RECV_ADDR,RECV_PORT,SEND_ADDR,SEND_PORT,HOST_IP,VELT_IP,FLAG\n";

std::vector<std::string> Concat(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::string Signed16(uint16_t port) {
    return std::to_string(static_cast<int16_t>(port));
}

// The configuration entries of a complete record line.
std::vector<std::string> ConfigEntries(const InstanceConfig& c) {
    return {"BCSTBRIDGE.INI config file open successfully",
            "MARKET_SEGMENT - " + c.segment,
            "RECV_MULTICAST_ADDR - " + c.recvGroup,
            "RECV_MULTICAST_PORT - " + Signed16(c.recvPort),
            "SEND_MULTICAST_ADDR - " + c.sendGroup,
            "SEND_MULTICAST_PORT - " + Signed16(c.sendPort),
            "LOCAL_IP_TO_HOST - " + c.hostIp,
            "LOCAL_IP_TO_VELT - " + c.veltIp,
            std::string("NEW_MKT_DATA_FLAG - ") + (c.flag == "Y" ? "1" : "0")};
}

const std::vector<std::string> kReceiverEntries = {
    "Receiver: Socket Create Success",
    "Receiver: Socket Bind Success",
    "Reciever: setsockopt for IP_MULTICAST_TTL successful ",
    "Reciever: setsockopt for IP_ADD_MEMBERSHIP successful",
    "Reciever: setsockopt for SO_REUSEADDR successful",
    "Reciever: setsockopt for SO_RCVBUF successful",
    "Receiver Socket Initialized Successfully",
};

const std::vector<std::string> kSenderEntries = {
    "Sender: Socket Create Success",
    "Sender: setsockopt for SO_REUSEADDR successful",
    "Sender: Socket Bind Success",
    "Sender: setsockopt for IP_MULTICAST_IF is successful",
    "Sender: setsockopt for IP_MULTICAST_TTL successful ",
    "Sender Socket Initialized Successfully",
};

// The bridge run in `dir` with the given arguments after the program name.
std::unique_ptr<ChildProcess> Start(const TempDir& dir, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {BCSTBRIDGE_EXE};
    argv.insert(argv.end(), args.begin(), args.end());
    return std::make_unique<ChildProcess>(dir.path(), argv);
}

std::vector<std::string> LogOf(const TempDir& dir) {
    const std::string file = FindLogFile(dir.path());
    return file.empty() ? std::vector<std::string>{} : LogMessages(ReadFile(file));
}

TEST(StartupTest, CompleteStartupLogsEveryStepInOrderAndSigusr2EndsIt) {
    const InstanceConfig config = LoopbackConfig("239.10.1.1", "239.10.1.2");
    BridgeUnderTest bridge(config);
    ASSERT_TRUE(bridge.WaitReady()) << bridge.Log();
    EXPECT_EQ(bridge.LogEntries(), Concat(Concat(ConfigEntries(config), kReceiverEntries), kSenderEntries));
    EXPECT_EQ(bridge.Log().substr(0, 1), "\n");
    EXPECT_EQ(FindLogFile(bridge.dir().path()).rfind(bridge.dir().File("BcstBridge1_"), 0), 0u);

    ASSERT_TRUE(bridge.process().Signal(SIGUSR2));
    int signalNumber = 0;
    EXPECT_EQ(bridge.process().WaitExit(5s, &signalNumber), -2);
    EXPECT_EQ(signalNumber, SIGUSR2);
    EXPECT_EQ(signalNumber, 12);
}

// The files in `dir` but the output that RunTool keeps there (run<N>.out, run<N>.err).
std::vector<std::string> WrittenFiles(const TempDir& dir) {
    std::vector<std::string> files;
    for (const std::string& name : ListDir(dir.path())) {
        if (name.rfind("run", 0) != 0 ||
            (name.find(".out") == std::string::npos && name.find(".err") == std::string::npos)) {
            files.push_back(name);
        }
    }
    return files;
}

const char kUsage[] =
    "usage: bcstbridge [--busy-poll] <instance> | --check <instance> [--busy-poll] | --help | --version\n";

// Arguments that are not exactly one positive number (nor an option): status 1 and the usage line on
// standard error, before anything is written.
TEST(StartupTest, BadArgumentsEndWithStatusOneAndNoFile) {
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"1", "1"},
        {"0"},
        {"-4"},
        {"abc"},
        {"99999999999"},
        {"4294967297"},
        {"-2147483648"},
        {""},
        {"--bogus"},
        {"--check"},
        {"--check", "0"},
        {"--help", "1"},
        {"--version", "x"},
        {"--check", "1", "2"},
        {"--busy-poll"},
        {"--busy-poll", "--busy-poll", "1"},
        {"--busy-poll", "--check"},
        {"1", "--busy-poll", "2"},
    };
    const InstanceConfig config = LoopbackConfig("239.10.1.3", "239.10.1.4");
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : ""));
        TempDir dir;
        WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + config.Line() + "\n");
        std::vector<std::string> argv = {BCSTBRIDGE_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        const ToolResult r = RunTool(dir.path(), argv, 10s);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, kUsage);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(WrittenFiles(dir), std::vector<std::string>{"BCSTBRIDGE.INI"});
    }
}

TEST(StartupTest, HelpAndVersionPrintAndWriteNothing) {
    TempDir dir;
    const ToolResult help = RunTool(dir.path(), {BCSTBRIDGE_EXE, "--help"}, 10s);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind(kUsage, 0), 0u) << help.out;
    EXPECT_NE(help.out.find("--check <instance>"), std::string::npos) << help.out;
    const ToolResult version = RunTool(dir.path(), {BCSTBRIDGE_EXE, "--version"}, 10s);
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, std::string("bcstbridge ") + BCST_PROJECT_VERSION + "\n");
    EXPECT_TRUE(WrittenFiles(dir).empty());
}

struct CheckCase {
    const char* name;
    std::string ini;  // whole BCSTBRIDGE.INI, or empty for none
    const char* instance;
    std::vector<std::string> warnings;  // each a line on standard error, after "bcstbridge: instance N: "
};

// --check reads the line as the bridge would, prints every field as the bridge would log it, and warns
// about each thing that would go wrong, in this order; it writes no file and binds nothing.
TEST(StartupTest, CheckWarnsAboutWhatWouldGoWrong) {
    const InstanceConfig good = LoopbackConfig("239.10.2.1", "239.10.2.2");
    InstanceConfig crlf = good;
    crlf.flag = "Y\r";
    InstanceConfig lowWire = good;
    lowWire.sendPort = 0x0300;  // 768: 3 on the wire
    InstanceConfig groups = good;
    groups.recvGroup = "127.0.0.1";
    groups.sendGroup = "239.10.2";  // inet_addr reads it, as 239.10.0.2: a multicast address all the same
    InstanceConfig foreign = good;
    foreign.hostIp = "192.0.2.1";  // documentation range: on no interface of a test machine
    foreign.veltIp = "not-an-address";
    foreign.sendGroup = "10.1.1.1";
    InstanceConfig sameGroup = LoopbackConfig("239.10.2.1", "239.10.2.9");
    sameGroup.recvPort = good.recvPort;
    InstanceConfig samePort = sameGroup;
    samePort.recvGroup = "239.10.2.7";
    const std::string recvPort = std::to_string(good.recvPort);
    const std::string sendPort = std::to_string(good.sendPort);
    // The good line with its two port fields written as given.
    auto ports = [&](const std::string& recv, const std::string& send) {
        return good.segment + "," + good.recvGroup + "," + recv + "," + good.sendGroup + "," + send + "," +
               good.hostIp + "," + good.veltIp + "," + good.flag + "\n";
    };
    InstanceConfig sendZero = good;
    sendZero.sendPort = 0;
    InstanceConfig lowerCase = good;
    lowerCase.segment = "cm";
    lowerCase.flag = "y";
    InstanceConfig longSegment = good;
    longSegment.segment = "CMFOX";
    InstanceConfig longFlag = good;
    longFlag.flag = "Yes-please";

    const std::vector<CheckCase> cases = {
        {"a good line", kHeader + good.Line() + "\n", "1", {}},
        {"a good line, its number with a trailing letter", kHeader + good.Line() + "\n", "1x", {}},
        {"CRLF line ends",
         kHeader + crlf.Line() + "\n",
         "1",
         {"the last field, NEW_MKT_DATA_FLAG, ends in a carriage return (a file saved with CRLF line ends): "
          "it "
          "is not \"Y\", so the instance runs in pass-through mode"}},
        {"send port below 1024 on the wire",
         kHeader + lowWire.Line() + "\n",
         "1",
         {"SEND_MULTICAST_PORT 768 goes on the wire byte-exchanged as port 3, below 1024: binding it needs "
          "privilege, and receivers must listen there"}},
        {"groups",
         kHeader + groups.Line() + "\n",
         "1",
         {"RECV_MULTICAST_ADDR 127.0.0.1 is not a multicast address (224.0.0.0/4)"}},
        {"addresses not multicast, not local, not addresses",
         kHeader + foreign.Line() + "\n",
         "1",
         {"SEND_MULTICAST_ADDR 10.1.1.1 is not a multicast address (224.0.0.0/4)",
          "LOCAL_IP_TO_HOST 192.0.2.1 is on none of this host's interfaces",
          "LOCAL_IP_TO_VELT 'not-an-address' is not an IPv4 address"}},
        {"another instance on the same group and port",
         kHeader + good.Line() + "\n" + sameGroup.Line() + "\n",
         "2",
         {"instance 1 (line 2) receives on the same group and port, 239.10.2.1:" + recvPort +
          ": only the first of the two to start can bind it"}},
        {"another instance on the same port",
         kHeader + samePort.Line() + "\n\n" + good.Line() + "\n",
         "3",
         {"instance 1 (line 2) receives on the same port, 239.10.2.7:" + recvPort +
          ": only the first of the two to start can bind it"}},
        {"seven fields",
         kHeader + good.Line().substr(0, good.Line().rfind(',')) + "\n",
         "1",
         {"the line has 7 of 8 fields; the missing ones stay empty or zero"}},
        {"blank line",
         std::string(kHeader) + "\n" + good.Line() + "\n",
         "1",
         {"the line is empty: the bridge would start with nothing configured and fail at its sockets"}},
        {"no such line",
         kHeader + good.Line() + "\n",
         "2",
         {"Input instance 2 not available in BCSTBRIDGE.INI config file"}},
        {"no file", "", "1", {"Error while opening BCSTBRIDGE.INI config file"}},
        {"receive port of letters",
         kHeader + ports("abc", sendPort),
         "1",
         {"RECV_MULTICAST_PORT 'abc' is not a whole number from 1 to 65535: the bridge reads it as 0",
          "RECV_MULTICAST_PORT 0: the receiving socket binds a random port, where the feed never arrives"}},
        {"receive port above 65535",
         kHeader + ports("70000", sendPort),
         "1",
         {"RECV_MULTICAST_PORT '70000' is not a whole number from 1 to 65535: the bridge reads it as 4464"}},
        {"send port with a letter O for a zero",
         kHeader + ports(recvPort, "3433O"),
         "1",
         {"SEND_MULTICAST_PORT '3433O' is not a whole number from 1 to 65535: the bridge reads it as 3433 "
          "(port "
          "26893 on the wire, byte-exchanged)"}},
        {"send port 0",
         kHeader + sendZero.Line() + "\n",
         "1",
         {"SEND_MULTICAST_PORT 0: the sending socket binds a random local port, and every send fails as no "
          "datagram can go to port 0"}},
        {"segment and flag in lower case",
         kHeader + lowerCase.Line() + "\n",
         "1",
         {"MARKET_SEGMENT 'cm' is not exactly CM, FO, CD or CO: in relay mode the instance converts with the "
          "derivatives layout and sends datagrams with segment code 0 and no message bytes",
          "NEW_MKT_DATA_FLAG 'y' is not exactly Y (nor N): the instance runs in pass-through mode"}},
        {"a ninth field, and a trailing comma that adds none",
         kHeader + good.Line() + ",extra,\n",
         "1",
         {"field 9 'extra' is beyond the 8 fields of a line: the bridge ignores it and logs "
          "\"CopyConfigParamToGlobalStruct - Improper Field position\""}},
        {"segment too long",
         kHeader + longSegment.Line() + "\n",
         "1",
         {"MARKET_SEGMENT 'CMFOX' has 5 characters, more than its limit of 4: the bridge stops at start-up "
          "with \"Error during copying config parameters into Global Structure\""}},
        {"flag too long, as the last field",
         kHeader + longFlag.Line() + "\n",
         "1",
         {"NEW_MKT_DATA_FLAG 'Yes-please' has 10 characters, more than its limit of 9: the bridge stops at "
          "start-up with \"Error during copying last config parameters into Global Structure\""}},
    };
    for (const CheckCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (!c.ini.empty()) {
            WriteFile(dir.File("BCSTBRIDGE.INI"), c.ini);
        }
        const ToolResult r = RunTool(dir.path(), {BCSTBRIDGE_EXE, "--check", c.instance}, 10s);
        const std::string number = std::string(c.instance).substr(0, 1);
        std::string expected;
        for (const std::string& w : c.warnings) {
            expected += "bcstbridge: instance " + number + ": " + w + "\n";
        }
        EXPECT_EQ(r.err, expected);
        EXPECT_EQ(r.status, c.warnings.empty() ? 0 : 1);
        EXPECT_EQ(r.out.find("nothing to warn about") != std::string::npos, c.warnings.empty()) << r.out;
        EXPECT_EQ(WrittenFiles(dir).size(), c.ini.empty() ? 0u : 1u) << "no log, no counters file";
    }
    // The fields, each as the bridge logs it.
    TempDir dir;
    WriteFile(dir.File("BCSTBRIDGE.INI"), kHeader + good.Line() + "\n");
    const ToolResult r = RunTool(dir.path(), {BCSTBRIDGE_EXE, "--check", "1"}, 10s);
    std::string expected = "instance 1: line 2 of BCSTBRIDGE.INI\n";
    for (const std::string& entry : ConfigEntries(good)) {
        expected += "  " + entry + "\n";
    }
    EXPECT_EQ(r.out, expected + "instance 1: nothing to warn about\n");

    // Both streams into one file: the header and the fields come before the warnings.
    TempDir merged;
    WriteFile(merged.File("BCSTBRIDGE.INI"), kHeader + lowerCase.Line() + "\n");
    const ToolResult both =
        RunTool(merged.path(), {"/bin/sh", "-c", std::string(BCSTBRIDGE_EXE) + " --check 1 2>&1"}, 10s);
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.out.rfind("instance 1: line 2 of BCSTBRIDGE.INI\n", 0), 0u) << both.out;
    EXPECT_LT(both.out.find("NEW_MKT_DATA_FLAG - 0\n"), both.out.find("bcstbridge: instance 1: "))
        << both.out;
}

TEST(StartupTest, ArgumentWithTrailingLetterIsThatInstance) {
    const InstanceConfig config = LoopbackConfig("239.10.1.5", "239.10.1.6");
    TempDir dir;
    // Lines of instances 1 and 2 would not start, so a wrong line shows.
    WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + "not instance one\nnot instance two\n" +
                                              config.Line() + "\nnot instance four\n");
    auto bridge = Start(dir, {"3x"});
    ASSERT_TRUE(
        WaitUntil([&] { return !LogOf(dir).empty() && LogOf(dir).back() == kSenderEntries.back(); }, 10s))
        << ReadFile(FindLogFile(dir.path()));
    EXPECT_EQ(LogOf(dir), Concat(Concat(ConfigEntries(config), kReceiverEntries), kSenderEntries));
    EXPECT_EQ(FindLogFile(dir.path()).rfind(dir.File("BcstBridge3_"), 0), 0u);
    EXPECT_TRUE(bridge->Running());
}

// Instance 40000 picks line 40001, but the log name and the statistics line show it as 16 bits.
TEST(StartupTest, LargeInstanceShowsAsSixteenBits) {
    const InstanceConfig config = LoopbackConfig("239.10.1.7", "239.10.1.8");
    BridgeUnderTest bridge(config, 40000);
    ASSERT_TRUE(bridge.WaitReady()) << bridge.Log();
    EXPECT_EQ(FindLogFile(bridge.dir().path()).rfind(bridge.dir().File("BcstBridge-25536_"), 0), 0u);
    EXPECT_EQ(bridge.LogEntries(), Concat(Concat(ConfigEntries(config), kReceiverEntries), kSenderEntries));
    ASSERT_TRUE(bridge.process().Signal(SIGUSR1));
    EXPECT_TRUE(WaitUntil([&] { return !bridge.Statistics().empty(); }, 5s));
    EXPECT_EQ(bridge.Statistics(), "Host-25536,              0,              0, Running\n");
}

struct FailureCase {
    const char* name;
    std::string ini;  // whole BCSTBRIDGE.INI, or empty for none
    std::vector<std::string> log;
};

TEST(StartupTest, ConfigurationAndSocketFailuresEndWithStatusOne) {
    const InstanceConfig good = LoopbackConfig("239.10.1.9", "239.10.1.10");
    InstanceConfig longSegment = good;
    longSegment.segment = "CMXYZ";
    InstanceConfig longFlag = good;
    longFlag.flag = "YYYYYYYYYY";
    InstanceConfig foreignVelt = good;
    foreignVelt.veltIp = "192.0.2.1";
    InstanceConfig notMulticast = good;
    notMulticast.recvGroup = "127.0.0.5";
    std::vector<std::string> sevenFields = ConfigEntries(longFlag);
    sevenFields.pop_back();

    const std::vector<FailureCase> cases = {
        {"no configuration file", "", {"Error while opening BCSTBRIDGE.INI config file"}},
        {"instance line missing",
         kHeader,
         {"BCSTBRIDGE.INI config file open successfully",
          "Input instance 1 not available in BCSTBRIDGE.INI config file"}},
        {"over-long segment",
         kHeader + longSegment.Line() + "\n",
         {"BCSTBRIDGE.INI config file open successfully",
          "Error during copying config parameters into Global Structure"}},
        {"over-long flag after the last comma", kHeader + longFlag.Line() + "\n",
         Concat(sevenFields, {"Error during copying last config parameters into Global Structure"})},
        {"sending address not on this host", kHeader + foreignVelt.Line() + "\n",
         Concat(Concat(ConfigEntries(foreignVelt), kReceiverEntries),
                {"Sender: Socket Create Success", "Sender: setsockopt for SO_REUSEADDR successful",
                 "Sender: Socket Bind Error"})},
        {"receive group not multicast", kHeader + notMulticast.Line() + "\n",
         Concat(ConfigEntries(notMulticast),
                {"Receiver: Socket Create Success", "Receiver: Socket Bind Success",
                 "Reciever: setsockopt for IP_MULTICAST_TTL successful ",
                 "Reciever: Error in setting socket options for  for IP_ADD_MEMBERSHIP"})},
        // A blank record line is not itself an error: the all-zero record then fails at the first
        // socket step that needs an address.
        {"blank record line",
         std::string(kHeader) + "\n",
         {"BCSTBRIDGE.INI config file open successfully", "Blank line present in config file .. Line No. - 2",
          "Receiver: Socket Create Success", "Receiver: Socket Bind Success",
          "Reciever: setsockopt for IP_MULTICAST_TTL successful ",
          "Reciever: Error in setting socket options for  for IP_ADD_MEMBERSHIP"}},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        if (!c.ini.empty()) {
            WriteFile(dir.File("BCSTBRIDGE.INI"), c.ini);
        }
        auto bridge = Start(dir, {"1"});
        EXPECT_EQ(bridge->WaitExit(10s), 1);
        EXPECT_EQ(LogOf(dir), c.log);
    }
}

// The receiving socket allows reuse only after its own bind, so a second instance on the same
// input port cannot bind.
TEST(StartupTest, SecondInstanceOnTheSameReceivePortFails) {
    const InstanceConfig first = LoopbackConfig("239.10.1.11", "239.10.1.12");
    BridgeUnderTest running(first);
    ASSERT_TRUE(running.WaitReady()) << running.Log();

    InstanceConfig second = LoopbackConfig("239.10.1.13", "239.10.1.14");
    second.recvPort = first.recvPort;
    BridgeUnderTest refused(second);
    EXPECT_EQ(refused.process().WaitExit(10s), 1);
    EXPECT_EQ(refused.LogEntries(), Concat(ConfigEntries(second), {"Receiver: Socket Create Success",
                                                                   "Receiver: Socket Bind Error"}));
    EXPECT_TRUE(running.process().Running());
}

// ---- the store file at start-up ------------------------------------------------------------------

struct StoreFileEntry {
    int32_t token, open, high, low, close, extra1, extra2, ticker;
};

// A store file written out from its layout: a 128-byte header ("BCSTSTO1", version 1, header size,
// entry size, capacity, date yyyymmdd, instance, creation time, pid, count, journal reference, the
// journal's entry at 64), then 32-byte entries from offset 128.
Bytes StoreFileBytes(uint32_t date, const std::vector<StoreFileEntry>& entries) {
    Bytes b(128 + 32 * entries.size(), 0);
    const char magic[] = "BCSTSTO1";
    std::copy(magic, magic + 8, b.begin());
    PutLe32(b, 8, 1);
    PutLe32(b, 12, 128);
    PutLe32(b, 16, 32);
    PutLe32(b, 20, 1u << 22);
    PutLe32(b, 24, date);
    PutLe32(b, 28, 1);
    PutLe32(b, 40, 4242);
    PutLe32(b, 44, static_cast<uint32_t>(entries.size()));
    for (size_t i = 0; i < entries.size(); ++i) {
        const StoreFileEntry& e = entries[i];
        const int32_t words[8] = {e.token, e.open, e.high, e.low, e.close, e.extra1, e.extra2, e.ticker};
        for (size_t w = 0; w < 8; ++w) {
            PutLe32(b, 128 + 32 * i + 4 * w, static_cast<uint32_t>(words[w]));
        }
    }
    return b;
}

std::string AsText(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

std::tm LocalNow() {
    const time_t now = time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

uint32_t Today() {
    const std::tm t = LocalNow();
    return static_cast<uint32_t>((t.tm_year + 1900) * 10000 + (t.tm_mon + 1) * 100 + t.tm_mday);
}

std::string DayText(uint32_t date) {
    return std::to_string(date % 100) + "-" + std::to_string(date / 100 % 100) + "-" +
           std::to_string(date / 10000);
}

// What the bridge does with each kind of store file it finds: the entry it logs between the
// configuration and the receiving socket, the file it keeps aside, and what it reads back.
TEST(StartupTest, TheStoreFileIsRestoredKeptAsideOrLeftAloneAsItDeserves) {
    const uint32_t today = Today();
    const std::vector<StoreFileEntry> two = {{1001, 9500, 10500, 9000, 10000, 1, 2, 77},
                                             {-7, 1, 2, 3, 4, 5, 6, 8}};
    Bytes journalled = StoreFileBytes(today, two);
    PutLe32(journalled, 48, 2);  // a rewrite of entry 2 cut off: the journal holds its new value
    const int32_t journal[8] = {-7, 11, 12, 13, 14, 15, 16, 18};
    for (size_t w = 0; w < 8; ++w) {
        PutLe32(journalled, 64 + 4 * w, static_cast<uint32_t>(journal[w]));
    }
    Bytes badMagic = StoreFileBytes(today, two);
    badMagic[0] = 'X';
    Bytes badVersion = StoreFileBytes(today, two);
    PutLe32(badVersion, 8, 9);
    Bytes badSizes = StoreFileBytes(today, two);
    PutLe32(badSizes, 16, 28);
    Bytes countBeyond = StoreFileBytes(today, two);
    PutLe32(countBeyond, 44, 3);
    Bytes badJournal = StoreFileBytes(today, two);
    PutLe32(badJournal, 48, 1);  // the journal's token (0) is not entry 1's
    const Bytes twice = StoreFileBytes(today, {two[0], two[1], two[0]});
    Bytes otherInstance = StoreFileBytes(today, two);
    PutLe32(otherInstance, 28, 2);  // renamed into place from instance 2
    Bytes shortOfRoom = StoreFileBytes(today, two);
    PutLe32(shortOfRoom, 52, 7);      // the writer held 7 more than the disk took
    const uint32_t later = 20991231;  // a restart whose clock is behind the store's day
    const std::string damaged = "Instrument store BcstBridge1.store is damaged (";

    struct Case {
        const char* name;
        std::string file;         // the store file found; "" for none
        std::string logged;       // the entry between the configuration and the receiver, or ""
        const char* keptAs;       // the name the old file is kept under, or ""
        int64_t restored;         // instruments read back
        int32_t journalledClose;  // the closing price of token -7 in the file after start-up, or 0
        bool keptBefore = false;  // a file kept earlier under `keptAs` stays; this one gets ".2"
        uint32_t day = 0;         // the day of the file in place after start-up; 0 for today
    };
    const std::vector<Case> cases = {
        {"no file", "", "", "", 0, 0},
        {"an empty file", " ", "", "", 0, 0},  // replaced below by an empty one
        {"today's", AsText(StoreFileBytes(today, two)),
         "Instrument store BcstBridge1.store restored: 2 instruments of " + DayText(today), "", 2, 4},
        {"today's with a rewrite cut off", AsText(journalled),
         "Instrument store BcstBridge1.store restored: 2 instruments of " + DayText(today), "", 2, 14},
        {"another day's", AsText(StoreFileBytes(20240305, two)),
         "Instrument store BcstBridge1.store is of 5-3-2024; kept as BcstBridge1.store.prev, the day starts "
         "empty",
         "BcstBridge1.store.prev", 0, 0},
        {"another day's, with a day kept before", AsText(StoreFileBytes(20240305, two)),
         "Instrument store BcstBridge1.store is of 5-3-2024; kept as BcstBridge1.store.prev.2, the day "
         "starts "
         "empty",
         "BcstBridge1.store.prev", 0, 0, true},
        {"another day's without entries", AsText(StoreFileBytes(20240305, {})), "", "", 0, 0},
        {"a later day's (the clock was set back)", AsText(StoreFileBytes(later, two)),
         "Instrument store BcstBridge1.store restored: 2 instruments of " + DayText(later), "", 2, 4, false,
         later},
        {"today's, short of room on disk", AsText(shortOfRoom),
         "Instrument store BcstBridge1.store restored: 2 instruments of " + DayText(today) +
             "\nInstrument store BcstBridge1.store lacks 7 instruments that the process which wrote it held "
             "(no room on disk); they start empty",
         "", 2, 4},
        {"another instance's", AsText(otherInstance),
         damaged + "written by instance 2); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"bad magic", AsText(badMagic), damaged + "bad magic); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"another version", AsText(badVersion),
         damaged +
             "layout version 9, this build reads version 1); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"bad sizes", AsText(badSizes),
         damaged +
             "bad sizes (header 128, entry 28, capacity 4194304)); kept as BcstBridge1.store.bad, starting "
             "empty",
         "BcstBridge1.store.bad", 0, 0},
        {"count beyond the file", AsText(countBeyond),
         damaged + "count 3 beyond the file's 2 entries); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"journal of another entry", AsText(badJournal),
         damaged + "journal for entry 1 does not match it); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"a token twice", AsText(twice),
         damaged + "token 1001 appears twice); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
        {"shorter than a header", "BCSTSTO1",
         damaged + "shorter than its header (8 bytes)); kept as BcstBridge1.store.bad, starting empty",
         "BcstBridge1.store.bad", 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const InstanceConfig config = LoopbackConfig("239.10.1.21", "239.10.1.22");
        TempDir dir;
        WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + config.Line() + "\n");
        if (!c.file.empty()) {
            WriteFile(dir.File("BcstBridge1.store"), c.file == " " ? "" : c.file);
        }
        if (c.keptBefore) {
            WriteFile(dir.File(c.keptAs), "kept before");
        }
        ChildProcess bridge(dir.path(), {BCSTBRIDGE_EXE, "1"});
        ASSERT_TRUE(
            WaitUntil([&] { return !LogOf(dir).empty() && LogOf(dir).back() == kSenderEntries.back(); }, 10s))
            << ReadFile(FindLogFile(dir.path()));
        std::vector<std::string> expected = ConfigEntries(config);
        for (size_t at = 0, end = 0; end != std::string::npos && !c.logged.empty(); at = end + 1) {
            end = c.logged.find('\n', at);
            expected.push_back(c.logged.substr(at, end == std::string::npos ? end : end - at));
        }
        EXPECT_EQ(LogOf(dir), Concat(Concat(expected, kReceiverEntries), kSenderEntries));
        if (c.keptBefore) {
            EXPECT_EQ(ReadFile(dir.File(c.keptAs)), "kept before");
            EXPECT_EQ(ReadFile(dir.File(std::string(c.keptAs) + ".2")), c.file) << "kept as it was";
        } else if (*c.keptAs != '\0') {
            EXPECT_EQ(ReadFile(dir.File(c.keptAs)), c.file) << "kept as it was";
        }

        // The file now in place is valid, of today, and holds what was read back.
        CountersSnapshot counters;
        std::string error;
        // The counters file comes right after the last start-up entry.
        ASSERT_TRUE(WaitUntil(
            [&] { return ReadCountersFile(dir.File("BcstBridge1.counters"), &counters, &error) == 0; }, 10s))
            << error;
        EXPECT_EQ(ListDir(dir.path()).size(), 4u + (*c.keptAs != '\0') + c.keptBefore)
            << "the configuration, the log, the counters, the store and what was kept";
        EXPECT_EQ(counters.values[kCounterStoreRestored], c.restored);
        EXPECT_EQ(counters.values[kCounterStoreEntries], c.restored);
        const std::string now = ReadFile(dir.File("BcstBridge1.store"));
        StoreFileImage image;
        ASSERT_EQ(ValidateStoreImage(reinterpret_cast<const unsigned char*>(now.data()), now.size(), &image,
                                     &error),
                  0)
            << error;
        EXPECT_EQ(image.header.tradingDate, c.day != 0 ? c.day : today);
        EXPECT_EQ(image.header.memoryOnly, 0u);
        EXPECT_EQ(image.header.journalRef, 0u);
        ASSERT_EQ(image.header.count, static_cast<uint32_t>(c.restored));
        if (c.journalledClose != 0) {
            EXPECT_EQ(image.entries[1].token, -7);
            EXPECT_EQ(image.entries[1].closingPrice, c.journalledClose);
        }
    }
}

// Two processes never share one instance's files: a second start of the instance, or of a number
// equal to it in 16 bits, is refused before it writes anything, and the first runs on untouched.
// A store file that cannot be had at all costs one log entry; the bridge runs without it.
TEST(StartupTest, OneProcessPerInstanceFilesAndNoneWithoutAStoreFile) {
    const InstanceConfig config = LoopbackConfig("239.10.1.23", "239.10.1.24");
    BridgeUnderTest first(config, 3);
    ASSERT_TRUE(first.WaitReady()) << first.Log();
    const std::string logBefore = first.Log();
    // The counters file is live (its heartbeat moves): the same file, still the first process's.
    struct stat countersBefore;
    ASSERT_TRUE(WaitUntil(
        [&] { return stat(first.dir().File("BcstBridge3.counters").c_str(), &countersBefore) == 0; }, 10s));
    // The lock is no file: removing the store file first (or, to the second start, putting anything in
    // its place) takes nothing from the first.
    const std::string storeFile = first.dir().File("BcstBridge3.store");
    for (const char* instance : {"3", "65539", "3 after the store file was removed"}) {
        SCOPED_TRACE(instance);
        if (std::string(instance).size() > 5) {
            ASSERT_EQ(unlink(storeFile.c_str()), 0);
        }
        ChildProcess second(first.dir().path(), {BCSTBRIDGE_EXE, std::string(instance).substr(0, 5)},
                            "second");
        EXPECT_EQ(second.WaitExit(10s), 1);
        EXPECT_NE(second.Err().find("instance 3 of this directory is run by another bcstbridge (pid " +
                                    std::to_string(first.process().pid()) + ")"),
                  std::string::npos)
            << second.Err();
    }
    // The first writes its store file again from memory; nothing of the second's is in it or the log.
    ASSERT_TRUE(WaitUntil([&] { return first.Log() != logBefore; }, 10s));
    EXPECT_EQ(first.Log().substr(0, logBefore.size()), logBefore);
    EXPECT_EQ(
        LogMessages(first.Log().substr(logBefore.size())),
        std::vector<std::string>{"Instrument store file BcstBridge3.store was removed; written again from "
                                 "memory (0 instruments)"});
    std::string bytes, error;
    StoreFileImage image;
    ASSERT_TRUE(WaitUntil(
        [&] {
            return ReadStoreFileBytes(storeFile, &bytes, &error) == 0 &&
                   ValidateStoreImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(),
                                      &image, &error) == 0;
        },
        10s))
        << error;
    EXPECT_EQ(image.header.pid, first.process().pid());
    struct stat countersAfter;
    ASSERT_EQ(stat(first.dir().File("BcstBridge3.counters").c_str(), &countersAfter), 0);
    EXPECT_EQ(countersAfter.st_ino, countersBefore.st_ino);
    CountersSnapshot counters;
    ASSERT_EQ(ReadCountersFile(first.dir().File("BcstBridge3.counters"), &counters, &error), 0) << error;
    EXPECT_EQ(counters.header.pid, first.process().pid());
    EXPECT_TRUE(first.process().Running());

    TempDir dir;
    WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + config.Line() + "\n");
    ASSERT_EQ(mkdir(dir.File("BcstBridge1.store").c_str(), 0755), 0);  // the name is taken
    InstanceConfig other = LoopbackConfig("239.10.1.25", "239.10.1.26");
    WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + other.Line() + "\n");
    ChildProcess bridge(dir.path(), {BCSTBRIDGE_EXE, "1"});
    ASSERT_TRUE(
        WaitUntil([&] { return !LogOf(dir).empty() && LogOf(dir).back() == kSenderEntries.back(); }, 10s));
    ChildProcess refused(dir.path(), {BCSTBRIDGE_EXE, "1"}, "refused");
    EXPECT_EQ(refused.WaitExit(10s), 1) << "without a store file, the instance is still locked";
    std::vector<std::string> expected = ConfigEntries(other);
    expected.push_back(
        "Instrument store file BcstBridge1.store could not be written (open: Is a directory); instruments "
        "are "
        "kept in memory only");
    EXPECT_EQ(LogOf(dir), Concat(Concat(expected, kReceiverEntries), kSenderEntries));
    EXPECT_TRUE(bridge.Running());
}

}  // namespace
