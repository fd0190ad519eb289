// bcst-feed's replay: a captured session replayed into a fresh bridge comes out byte for byte as the
// live session did; captures of every usual shape (VLAN tags, Linux cooked, raw IP, fragments,
// padding, cut packets, other traffic) give exactly the UDP payloads they hold, filtered and looped.
#include <gtest/gtest.h>

#include "support/bridge_rig.h"
#include "support/pcap_files.h"
#include "support/tool_output.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

TEST(Replay, ReplayedCaptureConvertsLikeTheLiveSession) {
    bcsttest::TempDir work;
    const std::vector<std::string> session = {"--seed",   "9",  "--instruments", "20",
                                              "--frames", "30", "--rate",        "500"};
    auto feed = [&](std::vector<std::string> args) {
        args.insert(args.begin(), BCST_FEED_EXE);
        args.insert(args.end(), session.begin(), session.end());
        return RunTool(work.path(), args);
    };

    // The session captured without sending.
    const ToolResult captured =
        feed({"--no-send", "--group", "239.50.2.1", "--port", "34330", "--pcap-out",
              work.File("session.pcap"), "--records-out", work.File("session.jsonl")});
    ASSERT_EQ(captured.status, 0) << captured.err;
    const size_t expected =
        OutputDatagramsFor(ParseJsonLines(bcsttest::ReadFile(work.File("session.jsonl"))));
    ASSERT_GT(expected, 30u);

    // Live: the same session sent to a bridge.
    bcsttest::BridgeRig live("CM", "Y", "239.50.2.2", "239.50.2.3");
    ASSERT_TRUE(live.WaitReady()) << live.bridge.Log();
    const ToolResult sent =
        feed({"--group", live.config.recvGroup, "--port", std::to_string(live.config.recvPort), "--pcap-out",
              work.File("live.pcap")});
    ASSERT_EQ(sent.status, 0) << sent.err;
    const std::vector<Bytes> liveOutput = live.out.ReceiveCount(expected, 20s);
    ASSERT_EQ(liveOutput.size(), expected);
    bcsttest::Bytes extra;
    EXPECT_FALSE(live.out.Receive(&extra, 300ms)) << "one datagram per pair of records, no more";
    EXPECT_EQ(UdpPayloadsOf(work.File("live.pcap"), live.config.recvGroup, live.config.recvPort),
              UdpPayloadsOf(work.File("session.pcap"), "239.50.2.1", 34330))
        << "sending does not change the frames";

    // Replayed from the capture into a fresh bridge, at twice the recorded pace.
    bcsttest::BridgeRig replayed("CM", "Y", "239.50.2.4", "239.50.2.5");
    ASSERT_TRUE(replayed.WaitReady()) << replayed.bridge.Log();
    const ToolResult replay =
        RunTool(work.path(),
                {BCST_FEED_EXE, "--replay", work.File("session.pcap"), "--group", replayed.config.recvGroup,
                 "--port", std::to_string(replayed.config.recvPort), "--speed", "2"});
    ASSERT_EQ(replay.status, 0) << replay.err;
    const std::vector<Bytes> replayOutput = replayed.out.ReceiveCount(expected, 20s);
    ASSERT_EQ(replayOutput.size(), expected);
    for (size_t i = 0; i < expected; ++i) {
        ASSERT_EQ(replayOutput[i], liveOutput[i]) << "datagram " << i;
    }
    EXPECT_NE(replay.err.find(captured.err.substr(0, captured.err.find(" records in"))), std::string::npos)
        << "the replay's summary counts the frames as the session's did:\n"
        << captured.err << replay.err;
}

Bytes Payload(const std::string& tag, size_t size) {
    Bytes p(size);
    for (size_t i = 0; i < size; ++i) {
        p[i] = static_cast<uint8_t>(i < tag.size() ? tag[i] : (i * 7 + tag.size()) & 0xFF);
    }
    return p;
}

class ReplayCaptureShapes : public ::testing::Test {
  protected:
    ReplayCaptureShapes()
        : plain(Payload("plain", 300)),
          vlan(Payload("vlan", 120)),
          qinq(Payload("qinq", 64)),
          otherPort(Payload("other port", 50)),
          otherGroup(Payload("other group", 50)),
          fragmented(Payload("fragmented", 3000)),
          tiny(Payload("tiny", 4)) {}

    Addressing To(const std::string& group, uint16_t port, uint16_t id) {
        Addressing s;
        s.destination = group;
        s.destinationPort = port;
        s.id = id;
        return s;
    }

    // Every shape in one Ethernet capture, 10 ms apart.
    std::vector<PcapPacket> EthernetCapture() {
        std::vector<Bytes> frames;
        frames.push_back(Ethernet(Ipv4Packet(To(kGroup, kPort, 1), plain)));
        frames.push_back(Ethernet(Ipv4Packet(To(kGroup, kPort, 2), vlan), 0x0800, {0x8100}));
        frames.push_back(Ethernet(Ipv4Packet(To(kGroup, kPort, 3), qinq), 0x0800, {0x88A8, 0x8100}));
        frames.push_back(Ethernet(Ipv4Packet(To(kGroup, kPort + 1, 4), otherPort)));
        frames.push_back(Ethernet(Ipv4Packet(To("239.50.2.11", kPort, 5), otherGroup)));
        Addressing tcp = To(kGroup, kPort, 6);
        tcp.protocol = 6;
        frames.push_back(Ethernet(Ipv4Packet(tcp, Payload("tcp", 40))));
        frames.push_back(Ethernet(Payload("arp", 28), 0x0806));
        frames.push_back(Ethernet(Payload("ipv6", 60), 0x86DD));
        // A lone first fragment of a datagram whose rest never comes.
        frames.push_back(
            Ethernet(Fragment(Ipv4Packet(To(kGroup, kPort, 7), Payload("lost", 2000)), 1480)[0]));
        // The 3,000-byte datagram in three fragments, last one first.
        const std::vector<Bytes> pieces = Fragment(Ipv4Packet(To(kGroup, kPort, 8), fragmented), 1480);
        EXPECT_EQ(pieces.size(), 3u);
        frames.push_back(Ethernet(pieces[2]));
        frames.push_back(Ethernet(pieces[0]));
        frames.push_back(Ethernet(pieces[1]));
        frames.push_back(Ethernet(Ipv4Packet(To(kGroup, kPort, 9), tiny)));  // padded to 60 bytes
        std::vector<PcapPacket> packets;
        for (size_t i = 0; i < frames.size(); ++i) {
            PcapPacket p;
            p.seconds = 1700000000;
            p.micros = static_cast<uint32_t>(10000 * i);
            p.data = frames[i];
            packets.push_back(p);
        }
        // A packet the capture cut short: not replayed.
        PcapPacket cut;
        cut.seconds = 1700000001;
        cut.data = Ethernet(Ipv4Packet(To(kGroup, kPort, 10), Payload("cut", 400)));
        cut.wireLength = static_cast<uint32_t>(cut.data.size());
        cut.data.resize(100);
        packets.push_back(cut);
        return packets;
    }

    std::vector<Bytes> Replay(const std::string& capture, std::vector<std::string> extra) {
        const std::string out = work.File("out" + std::to_string(runs++) + ".pcap");
        std::vector<std::string> args = {BCST_FEED_EXE, "--replay", capture,         "--no-send",
                                         "--pcap-out",  out,        "--group",       "239.50.2.12",
                                         "--port",      "6000",     "--pcap-rewrite"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolResult r = RunTool(work.path(), args);
        EXPECT_EQ(r.status, 0) << r.err;
        return UdpPayloadsOf(out, "239.50.2.12", 6000);
    }

    const std::string kGroup = "239.50.2.10";
    const uint16_t kPort = 5000;
    bcsttest::TempDir work;
    int runs = 0;
    Bytes plain, vlan, qinq, otherPort, otherGroup, fragmented, tiny;
};

TEST_F(ReplayCaptureShapes, EthernetWithTagsFragmentsAndOtherTraffic) {
    WritePcap(work.File("ethernet.pcap"), kLinkEthernet, EthernetCapture());
    const std::vector<std::string> filter = {"--filter-group", kGroup, "--filter-port",
                                             std::to_string(kPort)};
    const std::vector<Bytes> expected = {plain, vlan, qinq, fragmented, tiny};

    std::vector<std::string> flat = filter;
    flat.push_back("--flat-out");
    EXPECT_EQ(Replay(work.File("ethernet.pcap"), flat), expected);

    std::vector<std::string> looped = filter;
    looped.insert(looped.end(), {"--loop", "3", "--speed", "50"});
    std::vector<Bytes> threeTimes;
    for (int i = 0; i < 3; ++i) {
        threeTimes.insert(threeTimes.end(), expected.begin(), expected.end());
    }
    EXPECT_EQ(Replay(work.File("ethernet.pcap"), looped), threeTimes);

    EXPECT_EQ(Replay(work.File("ethernet.pcap"), {"--flat-out"}),
              (std::vector<Bytes>{plain, vlan, qinq, otherPort, otherGroup, fragmented, tiny}))
        << "without filters every UDP datagram is replayed";
    EXPECT_EQ(Replay(work.File("ethernet.pcap"), {"--flat-out", "--filter-port", std::to_string(kPort + 1)}),
              (std::vector<Bytes>{otherPort}));
}

// Without --pcap-rewrite a replay's capture keeps each datagram's own addresses, ports and time stamp.
TEST_F(ReplayCaptureShapes, CaptureOfAReplayKeepsTheOriginalAddressesAndTimes) {
    const std::vector<PcapPacket> original = EthernetCapture();
    WritePcap(work.File("ethernet.pcap"), kLinkEthernet, original);
    const ToolResult r =
        RunTool(work.path(), {BCST_FEED_EXE, "--replay", work.File("ethernet.pcap"), "--no-send",
                              "--pcap-out", work.File("kept.pcap"), "--group", "239.50.2.12", "--port",
                              "6000", "--filter-port", std::to_string(kPort + 1)});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(UdpPayloadsOf(work.File("kept.pcap"), kGroup, kPort + 1), std::vector<Bytes>{otherPort});
    const std::vector<PcapPacket> kept = ReadPcap(work.File("kept.pcap"));
    ASSERT_EQ(kept.size(), 1u);
    EXPECT_EQ(kept[0].seconds, original[3].seconds);
    EXPECT_EQ(kept[0].micros, original[3].micros);
    EXPECT_EQ(bcsttest::Be16(kept[0].data.data() + 14 + 20), 40000) << "the original source port";
}

TEST_F(ReplayCaptureShapes, LinuxCookedAndRawIp) {
    const std::vector<Bytes> ips = {Ipv4Packet(To(kGroup, kPort, 1), plain),
                                    Ipv4Packet(To(kGroup, kPort + 1, 2), otherPort)};
    std::vector<Bytes> withFragments = ips;
    for (const Bytes& piece : Fragment(Ipv4Packet(To(kGroup, kPort, 3), fragmented), 1480)) {
        withFragments.push_back(piece);
    }
    withFragments.push_back(Ipv4Packet(To(kGroup, kPort, 4), tiny));
    std::vector<PcapPacket> cooked, raw;
    for (const Bytes& ip : withFragments) {
        PcapPacket p;
        p.seconds = 1700000000;
        p.data = LinuxCooked(ip);
        cooked.push_back(p);
        p.data = ip;
        raw.push_back(p);
    }
    WritePcap(work.File("cooked.pcap"), kLinkLinuxCooked, cooked);
    WritePcap(work.File("raw.pcap"), kLinkRawIp, raw);
    const std::vector<Bytes> expected = {plain, fragmented, tiny};
    const std::vector<std::string> filter = {"--filter-port", std::to_string(kPort), "--flat-out"};
    EXPECT_EQ(Replay(work.File("cooked.pcap"), filter), expected);
    EXPECT_EQ(Replay(work.File("raw.pcap"), filter), expected);
}

TEST_F(ReplayCaptureShapes, SentThroughTheSocketToTheGroup) {
    WritePcap(work.File("ethernet.pcap"), kLinkEthernet, EthernetCapture());
    const std::string group = "239.50.2.13";
    const uint16_t port = bcsttest::FreeUdpPort();
    bcsttest::MulticastReceiver receiver(group, port);
    const ToolResult r =
        RunTool(work.path(), {BCST_FEED_EXE, "--replay", work.File("ethernet.pcap"), "--filter-group", kGroup,
                              "--filter-port", std::to_string(kPort), "--group", group, "--port",
                              std::to_string(port), "--speed", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(
        r.err.find("bcst-feed: sent 5 frames (0 market-by-price, 0 open/high/low, 0 ticker), 0 records in "),
        std::string::npos)
        << r.err;
    EXPECT_EQ(receiver.ReceiveCount(5, 10s), (std::vector<Bytes>{plain, vlan, qinq, fragmented, tiny}));
}

TEST_F(ReplayCaptureShapes, UnreadableCapturesEndWithAnError) {
    bcsttest::WriteFile(work.File("not.pcap"), "this is not a capture file at all");
    std::vector<PcapPacket> packets = EthernetCapture();
    WritePcap(work.File("whole.pcap"), kLinkEthernet, packets);
    const std::string whole = bcsttest::ReadFile(work.File("whole.pcap"));
    bcsttest::WriteFile(work.File("cut.pcap"), whole.substr(0, whole.size() - 30));
    for (const char* name : {"not.pcap", "cut.pcap"}) {
        const ToolResult r = RunTool(work.path(), {BCST_FEED_EXE, "--replay", work.File(name), "--no-send"});
        EXPECT_EQ(r.status, 1) << name << ": " << r.err;
        EXPECT_NE(r.err.find(work.File(name)), std::string::npos) << r.err;
    }
}

}  // namespace
