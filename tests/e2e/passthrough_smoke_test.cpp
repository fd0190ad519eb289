// End to end: the real bcstbridge forwarding datagrams on loopback multicast.
#include <gtest/gtest.h>

#include <csignal>

#include "support/test_support.h"

using namespace bcsttest;
using namespace std::chrono_literals;

TEST(PassThroughSmoke, ForwardsOneDatagramAs512Bytes) {
    InstanceConfig config;
    config.recvGroup = "239.1.2.3";
    config.recvPort = FreeUdpPort();
    config.sendGroup = "239.1.2.4";
    const uint16_t wirePort = FreeUdpPort();
    config.sendPort = ConfiguredSendPortFor(wirePort);
    MulticastReceiver out(config.sendGroup, wirePort);
    BridgeUnderTest bridge(config);
    ASSERT_TRUE(bridge.WaitReady()) << bridge.Log();
    MulticastSender in(config.recvGroup, config.recvPort);
    Bytes payload(100, 0xAB);
    ASSERT_TRUE(in.Send(payload));
    Bytes got;
    uint16_t from = 0;
    ASSERT_TRUE(out.Receive(&got, 5s, &from));
    ASSERT_EQ(got.size(), 512u);
    EXPECT_EQ(from, wirePort);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 100), payload);
    EXPECT_EQ(Bytes(got.begin() + 100, got.end()), Bytes(412, 0));
}
