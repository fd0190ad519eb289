// bcst-dump as a capture tool: nothing lost without saying so under a burst, and a capture file that
// is readable while it grows and after the tool is killed; the filters and the instance lookup.
#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "support/pcap_files.h"
#include "support/tool_output.h"

namespace {

using namespace bcsttest;
using namespace std::chrono_literals;

// Datagrams queued for the sockets bound to `port` (the rx_queue column of /proc/net/udp).
long QueuedFor(uint16_t port) {
    char local[16];
    snprintf(local, sizeof local, ":%04X", port);
    std::ifstream table("/proc/net/udp");
    std::string line;
    long queued = 0;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, address, remote, state, queues;
        fields >> slot >> address >> remote >> state >> queues;
        if (address.size() > 5 && address.compare(address.size() - 5, 5, local) == 0) {
            queued += std::stol(queues.substr(queues.find(':') + 1), nullptr, 16);
        }
    }
    return queued;
}

Bytes Numbered(uint32_t n) {
    Bytes d(512, 0x5A);
    bcsttest::PutBe16(d, 0, static_cast<uint16_t>(n >> 16));
    bcsttest::PutBe16(d, 2, static_cast<uint16_t>(n));
    return d;
}

class CaptureTool : public ::testing::Test {
  protected:
    bcsttest::TempDir dir_;
};

// A burst that the stopped tool cannot take: the kernel's drops are counted and reported, what was
// captured plus what was dropped is what was sent, and the run fails.
TEST_F(CaptureTool, BurstLossIsCountedAndFailsTheRun) {
    constexpr uint32_t kSent = 2000;
    const std::string group = "239.50.6.1";
    for (const bool captureOnly : {true, false}) {
        const uint16_t port = bcsttest::FreeUdpPort();
        std::vector<std::string> args = {BCST_DUMP_EXE,        "--group",       group, "--port",
                                         std::to_string(port), "--buffer-size", "4096"};
        if (captureOnly) {
            args.insert(args.end(), {"-w", dir_.File("burst.pcap")});
        } else {
            args.insert(args.end(), {"--json", "--format", "output"});
        }
        ToolProcess dump(dir_.path(), args, captureOnly ? "capture" : "decode");
        ASSERT_TRUE(
            bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s));
        ASSERT_TRUE(dump.Signal(SIGSTOP));
        std::vector<Bytes> sent;
        {
            bcsttest::MulticastSender sender(group, port);
            for (uint32_t i = 0; i < kSent; ++i) {
                sent.push_back(Numbered(i));
                ASSERT_TRUE(sender.Send(sent.back()));
            }
        }
        ASSERT_TRUE(dump.Signal(SIGCONT));
        ASSERT_TRUE(bcsttest::WaitUntil([&] { return QueuedFor(port) == 0; }, 20s));
        ASSERT_TRUE(dump.Signal(SIGINT));
        EXPECT_EQ(dump.Wait(10s), 1) << "lost datagrams fail the run: " << dump.Err();

        long captured = -1, dropped = -1;
        if (captureOnly) {
            ASSERT_EQ(
                sscanf(dump.Err().substr(dump.Err().find("\nbcst-dump: ") + 1).c_str(),
                       "bcst-dump: %ld packets captured, %ld packets dropped by kernel", &captured, &dropped),
                2)
                << dump.Err();
            const std::vector<Bytes> payloads = UdpPayloadsOf(dir_.File("burst.pcap"), group, port);
            EXPECT_EQ(static_cast<long>(payloads.size()), captured);
            // The tool was stopped from the first datagram on: it kept the first ones, in order.
            EXPECT_EQ(payloads,
                      std::vector<Bytes>(sent.begin(), sent.begin() + static_cast<long>(payloads.size())));
        } else {
            const std::string err = dump.Err();
            const std::vector<Json> summary = ParseJsonLines(err.substr(err.find("{\"kind\":\"summary\"")));
            ASSERT_EQ(summary.size(), 1u) << err;
            captured = summary[0].Int("datagrams");
            dropped = summary[0].Int("droppedByKernel");
            EXPECT_EQ(static_cast<long>(ParseJsonLines(dump.Out()).size()), captured);
            EXPECT_NE(err.find("; " + std::to_string(dropped) + " packets dropped by kernel\n"),
                      std::string::npos)
                << err;
        }
        EXPECT_GT(dropped, 0) << dump.Err();
        EXPECT_EQ(captured + dropped, static_cast<long>(kSent)) << dump.Err();
    }
}

// Written in whole packets and flushed while running: a killed capture reads to its last packet.
TEST_F(CaptureTool, KilledCaptureIsReadableToItsLastPacket) {
    const std::string group = "239.50.6.2";
    const uint16_t port = bcsttest::FreeUdpPort();
    ToolProcess dump(
        dir_.path(),
        {BCST_DUMP_EXE, "--group", group, "--port", std::to_string(port), "-w", dir_.File("k.pcap")},
        "killed");
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s));
    std::vector<Bytes> sent;
    bcsttest::MulticastSender sender(group, port);
    for (uint32_t i = 0; i < 50; ++i) {
        sent.push_back(Numbered(i));
        ASSERT_TRUE(sender.Send(sent.back()));
    }
    // The file header, and each packet's record header and Ethernet/IPv4/UDP headers with its payload.
    const size_t whole = 24 + sent.size() * (16 + 14 + 20 + 8 + 512);
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return bcsttest::ReadFile(dir_.File("k.pcap")).size() == whole; }, 20s));
    ASSERT_TRUE(dump.Signal(SIGKILL));
    dump.Wait(10s);
    EXPECT_EQ(UdpPayloadsOf(dir_.File("k.pcap"), group, port), sent);
    const ToolResult read =
        RunTool(dir_.path(), {BCST_DUMP_EXE, "--pcap", dir_.File("k.pcap"), "--format", "output"});
    EXPECT_EQ(read.status, 0) << read.err;
    EXPECT_NE(read.err.find("bcst-dump: 50 datagrams"), std::string::npos) << read.err;
}

// Offline: a libpcap filter picks datagrams, standard input works, and each JSON line carries the
// datagram's time and addresses. Live: --instance finds the group and the byte-exchanged port.
TEST_F(CaptureTool, FiltersAddressesAndInstanceLookup) {
    const auto packet = [](uint16_t port, uint32_t seconds) {
        PcapPacket p;
        Addressing to;
        to.source = "10.1.2.3";
        to.destination = "239.50.6.3";
        to.sourcePort = 40000;
        to.destinationPort = port;
        p.data = Ethernet(Ipv4Packet(to, Bytes(3, 0x29)));
        p.wireLength = static_cast<uint32_t>(p.data.size());
        p.seconds = seconds;
        p.micros = 250;
        return p;
    };
    WritePcap(dir_.File("two.pcap"), kLinkEthernet, {packet(6790, 1700000000), packet(6791, 1700000001)});
    const ToolResult filtered = RunTool(
        dir_.path(),
        {"/bin/sh", "-c", std::string(BCST_DUMP_EXE) + " --pcap - --json 'udp dst port 6791' < two.pcap"});
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    const std::vector<Json> lines = ParseJsonLines(filtered.out);
    ASSERT_EQ(lines.size(), 1u) << filtered.out;
    EXPECT_EQ(lines[0].Str("time"), "2023-11-14T22:13:21.000250Z");
    EXPECT_EQ(lines[0].Int("timeMicros"), 1700000001000250);
    EXPECT_EQ(lines[0].Str("source"), "10.1.2.3");
    EXPECT_EQ(lines[0].Int("sourcePort"), 40000);
    EXPECT_EQ(lines[0].Str("destination"), "239.50.6.3");
    EXPECT_EQ(lines[0].Int("destinationPort"), 6791);
    EXPECT_EQ(lines[0].Str("kind"), "malformed");

    // Instance 2 sends to 239.50.6.4 with a configured port whose exchange is the wire port.
    const uint16_t wire = bcsttest::FreeUdpPort();
    bcsttest::WriteFile(
        dir_.File("bridge.ini"),
        "MARKET_SEGMENT,...\nCM,239.1.1.1,1,239.9.9.9,1,127.0.0.1,127.0.0.1,Y\nCM,239.1.1.2,2,239.50.6.4," +
            std::to_string(bcsttest::ConfiguredSendPortFor(wire)) + ",127.0.0.1,lo,Y\n");
    ToolProcess dump(
        dir_.path(),
        {BCST_DUMP_EXE, "--instance", "2", "--config", dir_.File("bridge.ini"), "--count", "1", "--json"},
        "instance");
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s))
        << dump.Err();
    EXPECT_NE(dump.Err().find("listening on 239.50.6.4:" + std::to_string(wire) + " via 127.0.0.1"),
              std::string::npos)
        << dump.Err();
    bcsttest::MulticastSender sender("239.50.6.4", wire);
    ASSERT_TRUE(sender.Send(Bytes(3, 0x29)));
    ASSERT_EQ(dump.Wait(10s), 0) << dump.Err();
    const std::vector<Json> live = ParseJsonLines(dump.Out());
    ASSERT_EQ(live.size(), 1u);
    EXPECT_EQ(live[0].Int("destinationPort"), wire);
    EXPECT_EQ(live[0].Str("destination"), "239.50.6.4");
    EXPECT_EQ(live[0].Str("source"), "127.0.0.1");
}

// A full disk: the capture ends at its last whole packet, and the tool says how many the file holds
// (not how many it captured) and fails. Needs a small file system of its own (a tmpfs, as root).
TEST_F(CaptureTool, FullDiskLeavesWholePacketsAndSaysHowMany) {
    const std::string small = dir_.File("small");
    ASSERT_EQ(mkdir(small.c_str(), 0700), 0);
    if (geteuid() != 0 || mount("tmpfs", small.c_str(), "tmpfs", 0, "size=64k") != 0) {
        GTEST_SKIP() << "a full disk is made with a 64 KiB tmpfs, which needs root";
    }
    struct Unmount {
        std::string path;
        ~Unmount() { umount(path.c_str()); }
    } unmount{small};
    const std::string group = "239.50.6.5";
    const uint16_t port = bcsttest::FreeUdpPort();
    const std::string file = small + "/c.pcap";
    ToolProcess dump(dir_.path(),
                     {BCST_DUMP_EXE, "--group", group, "--port", std::to_string(port), "-w", file}, "full");
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s));
    std::vector<Bytes> sent;
    {
        bcsttest::MulticastSender sender(group, port);
        for (uint32_t i = 0; i < 300; ++i) {  // about 170 KB of packets
            sent.push_back(Numbered(i));
            ASSERT_TRUE(sender.Send(sent.back()));
        }
    }
    ASSERT_TRUE(bcsttest::WaitUntil([&] { return QueuedFor(port) == 0; }, 20s));
    ASSERT_TRUE(dump.Signal(SIGINT));
    EXPECT_EQ(dump.Wait(10s), 1) << dump.Err();

    long captured = -1, written = -1;
    const std::string err = dump.Err();
    const size_t at = err.find(" packets captured, ");
    ASSERT_NE(at, std::string::npos) << err;
    ASSERT_EQ(sscanf(err.c_str() + err.rfind('\n', at) + 1,
                     "bcst-dump: %ld packets captured, %ld of them written whole to ", &captured, &written),
              2)
        << err;
    EXPECT_EQ(captured, 300) << err;
    EXPECT_GT(written, 0) << err;
    EXPECT_LT(written, captured) << err;
    EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
    // The file holds exactly those packets, whole, the first ones sent.
    const std::vector<Bytes> kept = UdpPayloadsOf(file, group, port);
    EXPECT_EQ(static_cast<long>(kept.size()), written);
    EXPECT_EQ(kept, std::vector<Bytes>(sent.begin(), sent.begin() + static_cast<long>(kept.size())));
}

}  // namespace
