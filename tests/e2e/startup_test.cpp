// End to end: start-up of the real bcstbridge, its log sequence, every way start-up fails, and how
// the process ends.
#include <gtest/gtest.h>

#include <csignal>
#include <string>
#include <vector>

#include "support/test_support.h"

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

// Arguments that are not exactly one positive number: status 1 before anything is written.
TEST(StartupTest, BadArgumentsEndWithStatusOneAndNoFile) {
    const std::vector<std::vector<std::string>> cases = {
        {}, {"1", "1"}, {"0"}, {"-4"}, {"abc"}, {"99999999999"}, {"4294967297"}, {"-2147483648"}, {""},
    };
    const InstanceConfig config = LoopbackConfig("239.10.1.3", "239.10.1.4");
    for (const std::vector<std::string>& args : cases) {
        SCOPED_TRACE(args.empty() ? "(none)" : args[0] + (args.size() > 1 ? " " + args[1] : ""));
        TempDir dir;
        WriteFile(dir.File("BCSTBRIDGE.INI"), std::string(kHeader) + config.Line() + "\n");
        auto bridge = Start(dir, args);
        EXPECT_EQ(bridge->WaitExit(10s), 1);
        EXPECT_EQ(ListDir(dir.path()), std::vector<std::string>{"BCSTBRIDGE.INI"});
    }
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
