// End to end: start-up of the real bcstbridge, its log sequence, every way start-up fails, and how
// the process ends.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

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

InstanceConfig LoopbackConfig(const std::string& recvGroup, const std::string& sendGroup) {
    InstanceConfig config;
    config.recvGroup = recvGroup;
    config.recvPort = FreeUdpPort();
    config.sendGroup = sendGroup;
    config.sendPort = ConfiguredSendPortFor(FreeUdpPort());
    return config;
}

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

const char kUsage[] = "usage: bcstbridge <instance> | --check <instance> | --help | --version\n";

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

}  // namespace
