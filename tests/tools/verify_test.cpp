// bcst-verify on captures that the real bridge made on loopback: identical, a datagram lost, a price
// changed, a datagram duplicated, captures begun at different moments, two datagrams swapped, orphan
// IP fragments, an output held in segmented super-packets, the latency from the time stamps; and the
// real capture of the bridge's output on its own host (loopback, root only) read by bcst-verify,
// bcst-dump and the Wireshark dissector.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <functional>
#include <memory>
#include <sstream>

#include "support/bridge_rig.h"
#include "support/pcap_files.h"
#include "support/tool_output.h"

namespace {

using namespace bcsttest;
using namespace std::chrono_literals;

// Payload offset in the Ethernet/IPv4/UDP packets that bcst-dump and bcst-feed write.
constexpr size_t kPayloadAt = 14 + 20 + 8;
// The derivatives message: 6-byte frame head, 50-byte message header, then record slot 0 with its
// 4-byte token; the first level's price is 52 + 4 bytes after the token, big-endian.
constexpr size_t kFirstPriceAt = 6 + 50 + 4 + 52 + 4;

const char* const kInGroup = "239.50.9.1";
const char* const kOutGroup = "239.50.9.2";

// One session through a derivatives bridge: the input as bcst-feed sent it, the output as a receiver
// on the group took it, and (with `loopback`, as root) the output as a capture on `lo` saw it.
struct Session {
    TempDir dir;
    size_t datagrams = 0;
    std::vector<int64_t> ohlFrames;     // input datagrams that carry open/high/low records
    std::vector<int64_t> tickerFrames;  // input datagrams that carry ticker records
    std::vector<int64_t> tokens;        // every market-by-price record's token, in order
    std::vector<int64_t> inputOf;       // per output datagram: the input datagram it comes from
    std::vector<std::string> tokensOf;  // per output datagram: its tokens as bcst-verify names them
    uint16_t wirePort = 0;
    bool haveLoopback = false;
    std::string loopbackWhyNot;

    std::string File(const std::string& name) const { return dir.File(name); }

    void Record(bool loopback, bool passThrough = false, int tickerEvery = 0) {
        BridgeRig rig("FO", passThrough ? "N" : "Y", kInGroup, kOutGroup);
        ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
        const InstanceConfig& config = rig.config;
        wirePort = rig.wirePort;

        std::unique_ptr<ChildProcess> dumpcap;
        if (loopback) {
            StartLoopbackCapture(&dumpcap);
        }
        ToolProcess dump(
            dir.path(),
            {BCST_DUMP_EXE, "--group", kOutGroup, "--port", std::to_string(wirePort), "-w", File("out.pcap")},
            "dump");
        ASSERT_TRUE(WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s));
        const ToolResult feed = RunTool(dir.path(), {BCST_FEED_EXE,
                                                     "--group",
                                                     kInGroup,
                                                     "--port",
                                                     std::to_string(config.recvPort),
                                                     "--seed",
                                                     "12",
                                                     "--instruments",
                                                     "25",
                                                     "--frames",
                                                     "30",
                                                     "--ticker-every",
                                                     std::to_string(tickerEvery),
                                                     "--rate",
                                                     "400",
                                                     "--max-token",
                                                     "200000",
                                                     "--pcap-out",
                                                     File("in.pcap"),
                                                     "--records-out",
                                                     File("session.jsonl")});
        ASSERT_EQ(feed.status, 0) << feed.err;
        const std::vector<Json> session = ParseJsonLines(ReadFile(File("session.jsonl")));
        // Pass-through forwards every frame as one datagram; a relay pairs the market-by-price records.
        datagrams = passThrough ? ReadPcap(File("in.pcap")).size() : OutputDatagramsFor(session);
        for (const Json& r : session) {
            if (r.Str("kind") == "ohl" && (ohlFrames.empty() || ohlFrames.back() != r.Int("datagram"))) {
                ohlFrames.push_back(r.Int("datagram"));
            } else if (r.Str("kind") == "ticker" &&
                       (tickerFrames.empty() || tickerFrames.back() != r.Int("datagram"))) {
                tickerFrames.push_back(r.Int("datagram"));
            } else if (r.Str("kind") == "mbp_in") {
                // A frame's records leave two to a datagram.
                const bool first = inputOf.empty() || inputOf.back() != r.Int("datagram") ||
                                   tokensOf.back().find(',') != std::string::npos;
                if (first) {
                    inputOf.push_back(r.Int("datagram"));
                    tokensOf.push_back("token " + std::to_string(r.Int("token")));
                } else {
                    tokensOf.back() += ", " + std::to_string(r.Int("token"));
                }
                tokens.push_back(r.Int("token"));
            }
        }
        ASSERT_GT(datagrams, 30u);
        ASSERT_FALSE(ohlFrames.empty());
        // The file header, then each datagram as a record header, Ethernet/IPv4/UDP headers and 512 bytes.
        const size_t whole = 24 + datagrams * (16 + kPayloadAt + 512);
        EXPECT_TRUE(WaitUntil([&] { return ReadFile(File("out.pcap")).size() >= whole; }, 20s));
        ASSERT_TRUE(dump.Signal(SIGINT));
        ASSERT_EQ(dump.Wait(10s), 0) << dump.Err();
        ASSERT_EQ(ReadPcap(File("out.pcap")).size(), datagrams);
        // The store as the bridge holds it now, written through to its file as the frames arrived.
        WriteFile(File("BcstBridge1.store"), ReadFile(rig.bridge.dir().File("BcstBridge1.store")));
        if (dumpcap) {
            ASSERT_TRUE(dumpcap->Signal(SIGINT));
            ASSERT_EQ(dumpcap->Wait(10s), 0) << dumpcap->Err();
        }
    }

    // dumpcap on the loopback device, filtered to the bridge's output; needs root or capture
    // capabilities, and is left out (with the reason kept) without them.
    void StartLoopbackCapture(std::unique_ptr<ChildProcess>* dumpcap) {
        if (!FileExists("/usr/bin/dumpcap")) {
            loopbackWhyNot = "dumpcap is not installed (scripts/test installs tshark)";
            return;
        }
        if (geteuid() != 0) {
            loopbackWhyNot = "capturing on lo needs root";
            return;
        }
        *dumpcap = std::make_unique<ChildProcess>(
            dir.path(),
            std::vector<std::string>{
                "/usr/bin/dumpcap", "-i", "lo", "-P", "-q", "-f",
                std::string("udp and dst host ") + kOutGroup + " and dst port " + std::to_string(wirePort),
                "-w", File("lo.pcap")},
            "dumpcap");
        haveLoopback =
            WaitUntil([&] { return (*dumpcap)->Err().find("Capturing on") != std::string::npos; }, 10s);
        if (!haveLoopback) {
            loopbackWhyNot = "dumpcap could not capture on lo: " + (*dumpcap)->Err();
            dumpcap->reset();
        }
    }
};

// The counts of bcst-verify's summary line (its last line on stdout).
struct Verdict {
    int status = -1;
    long matched = -1, differing = -1, missing = -1, extra = -1, unseen = -1;
    long reordered = -1, duplicated = -1, capturedBefore = -1, expectedBefore = -1;
    std::string out, err;
};

Verdict Verify(const Session& s, const std::string& in, const std::string& out,
               const std::vector<std::string>& mode = {"--segment", "FO"}) {
    std::vector<std::string> args = {BCST_VERIFY_EXE, s.File(in), s.File(out)};
    args.insert(args.end(), mode.begin(), mode.end());
    const ToolResult r = RunTool(s.dir.path(), args);
    Verdict v;
    v.status = r.status;
    v.out = r.out;
    v.err = r.err;
    const size_t at = r.out.find(" captured: ");
    if (at != std::string::npos) {
        sscanf(r.out.c_str() + at,
               " captured: %ld matched, %ld differing, %ld missing, %ld extra, %ld differing only",
               &v.matched, &v.differing, &v.missing, &v.extra, &v.unseen);
    }
    const size_t tail = r.out.find(" not yet seen in the input, ");
    if (tail != std::string::npos) {
        sscanf(r.out.c_str() + tail,
               " not yet seen in the input, %ld reordered, %ld duplicated, %ld captured and %ld expected",
               &v.reordered, &v.duplicated, &v.capturedBefore, &v.expectedBefore);
    }
    return v;
}

// A copy of a capture, changed packet by packet.
void Rewrite(const Session& s, const std::string& from, const std::string& to,
             const std::function<void(std::vector<PcapPacket>&)>& change) {
    uint32_t link = 0;
    std::vector<PcapPacket> packets = ReadPcap(s.File(from), &link);
    change(packets);
    WritePcap(s.File(to), link, packets);
}

Bytes PayloadOf(const PcapPacket& p) {
    return Bytes(p.data.begin() + kPayloadAt, p.data.end());
}

TEST(VerifyTool, ReportsWhatDiffersBetweenInputAndOutputCaptures) {
    Session s;
    s.Record(false);
    if (HasFatalFailure()) {
        return;
    }
    const long n = static_cast<long>(s.datagrams);
    const size_t k = s.datagrams / 2;  // the datagram each damaged copy changes
    const std::vector<PcapPacket> original = ReadPcap(s.File("out.pcap"));
    const Bytes changed = PayloadOf(original[k]);
    const uint32_t price = Be32(changed.data() + kFirstPriceAt);

    Rewrite(s, "out.pcap", "dropped.pcap", [&](auto& p) { p.erase(p.begin() + static_cast<long>(k)); });
    Rewrite(s, "out.pcap", "price.pcap", [&](auto& p) { p[k].data[kPayloadAt + kFirstPriceAt + 3] ^= 0x01; });
    Rewrite(s, "out.pcap", "duplicated.pcap", [&](auto& p) {
        const PcapPacket copy = p[k];
        p.insert(p.begin() + static_cast<long>(k), copy);
    });
    // An output capture that began late: the first third of the datagrams never captured.
    const long late = n / 3;
    Rewrite(s, "out.pcap", "late.pcap", [&](auto& p) { p.erase(p.begin(), p.begin() + late); });
    // The input from after its open/high/low frames: every instrument is new to the run.
    Rewrite(s, "in.pcap", "midstream.pcap", [&](auto& p) {
        for (auto frame = s.ohlFrames.rbegin(); frame != s.ohlFrames.rend(); ++frame) {
            p.erase(p.begin() + *frame);
        }
    });
    // A failover: five datagrams lost in the gap, then another host's.
    Rewrite(s, "out.pcap", "failover.pcap", [&](auto& p) {
        p.erase(p.begin() + static_cast<long>(k), p.begin() + static_cast<long>(k) + 5);
        for (size_t i = k; i < p.size(); ++i) {
            p[i].data[14 + 12] = 10;  // the IPv4 source: 10.x.x.x
        }
    });
    // The output as super-packets of 1 to 21 datagrams each, as a capture on the bridge's host holds it.
    size_t superPackets = 0;
    Rewrite(s, "out.pcap", "segmented.pcap", [&](auto& p) {
        std::vector<PcapPacket> joined;
        for (size_t at = 0, size = 1; at < p.size(); at += size, size = size % 21 + 4) {
            Bytes payload;
            for (size_t i = at; i < at + size && i < p.size(); ++i) {
                const Bytes part = PayloadOf(p[i]);
                payload.insert(payload.end(), part.begin(), part.end());
            }
            Addressing to;
            to.destination = kOutGroup;
            to.destinationPort = s.wirePort;
            PcapPacket packet = p[at];
            packet.data = Ethernet(Ipv4Packet(to, payload));
            packet.wireLength = 0;
            joined.push_back(packet);
            superPackets += payload.size() > 512 ? 1 : 0;
        }
        p = joined;
    });

    const std::string priceLine = "slot 0 (token " + std::to_string(Be32(changed.data() + 6 + 50)) +
                                  ") level 1 price expected " + std::to_string(static_cast<int32_t>(price)) +
                                  ", captured " + std::to_string(static_cast<int32_t>(price ^ 0x01));
    struct Case {
        const char* name;
        const char* in;
        const char* out;
        int status;
        long matched, differing, missing, extra;
        std::string reported;  // a line of the report, in part
    } cases[] = {
        {"identical", "in.pcap", "out.pcap", 0, n, 0, 0, 0, "identical"},
        {"one dropped", "in.pcap", "dropped.pcap", 1, n - 1, 0, 1, 0,
         "missing: expected datagram " + std::to_string(k)},
        {"price changed", "in.pcap", "price.pcap", 1, n - 1, 1, 0, 0, priceLine},
        {"began late", "in.pcap", "late.pcap", 0, n - late, 0, 0, 0,
         "before the capture: expected datagrams 0-" + std::to_string(late - 1) + " (" +
             std::to_string(late) + ", from input datagrams "},
        {"one duplicated", "in.pcap", "duplicated.pcap", 1, n, 0, 0, 0,
         "duplicate: captured datagram " + std::to_string(k + 1) + ", duplicate of captured datagram " +
             std::to_string(k) + ", " + s.tokensOf[k] + "\n"},
        {"failover", "in.pcap", "failover.pcap", 1, n - 5, 0, 5, 0,
         "\ngap: expected datagrams " + std::to_string(k) + "-" + std::to_string(k + 4) + " missing (5, "},
        {"segmented", "in.pcap", "segmented.pcap", 0, n, 0, 0, 0,
         std::to_string(superPackets) + " segmented packets split into "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = Verify(s, c.in, c.out);
        EXPECT_EQ(v.status, c.status) << v.out << v.err;
        EXPECT_EQ(v.matched, c.matched) << v.out;
        EXPECT_EQ(v.differing, c.differing) << v.out;
        EXPECT_EQ(v.missing, c.missing) << v.out;
        EXPECT_EQ(v.extra, c.extra) << v.out;
        EXPECT_EQ(v.unseen, 0) << v.out;
        EXPECT_NE((v.out + v.err).find(c.reported), std::string::npos) << v.out << v.err;
    }

    const std::string switched = Verify(s, "in.pcap", "failover.pcap").out;
    EXPECT_NE(switched.find("\noutput from 127.0.0.1: captured datagrams 0-" + std::to_string(k - 1) + " (" +
                            std::to_string(k) + "), "),
              std::string::npos)
        << switched;
    EXPECT_NE(switched.find("\noutput from 10.0.0.1: captured datagrams " + std::to_string(k) + "-"),
              std::string::npos)
        << switched;
    EXPECT_NE(switched.find(" s after the previous sender's last\n"), std::string::npos) << switched;

    // Mid-stream: the open/high/low values the bridge had are not in the input; the records that
    // carry them are named as instruments not yet seen, nothing is called wrong.
    const Verdict v = Verify(s, "midstream.pcap", "out.pcap");
    EXPECT_EQ(v.status, 3) << v.out << v.err;
    EXPECT_EQ(v.differing, 0) << v.out;
    EXPECT_EQ(v.missing, 0) << v.out;
    EXPECT_EQ(v.extra, 0) << v.out;
    EXPECT_GT(v.unseen, 0) << v.out;
    EXPECT_EQ(v.matched + v.unseen, n) << v.out;
    EXPECT_NE(v.out.find("not yet seen: "), std::string::npos) << v.out;
    EXPECT_NE(v.out.find("openPrice expected 0, captured "), std::string::npos) << v.out;
    EXPECT_EQ(v.out.find("differs: "), std::string::npos) << v.out;

    // The same input started from the store file the bridge kept: nothing is unseen any more.
    const Verdict stored =
        Verify(s, "midstream.pcap", "out.pcap", {"--segment", "FO", "--store", "BcstBridge1.store"});
    EXPECT_EQ(stored.status, 0) << stored.out << stored.err;
    EXPECT_EQ(stored.matched, n) << stored.out;
    EXPECT_EQ(stored.unseen, 0) << stored.out;
    const Verdict notAStore =
        Verify(s, "midstream.pcap", "out.pcap", {"--segment", "FO", "--store", "in.pcap"});
    EXPECT_EQ(notAStore.status, 1) << notAStore.out << notAStore.err;
    EXPECT_NE(notAStore.err.find("bad magic"), std::string::npos) << notAStore.err;

    // Latency: input frames captured 1 ms apart, the first 20 output datagrams each 50 to 1000 us
    // (shuffled) after its input frame; then the same with the output capture's clock 10 s behind.
    constexpr uint32_t kBase = 1800000000;
    constexpr size_t kTimed = 20;
    Rewrite(s, "in.pcap", "timed-in.pcap", [&](auto& p) {
        for (size_t f = 0; f < p.size(); ++f) {
            p[f] = {kBase, static_cast<uint32_t>(f * 1000), p[f].wireLength, p[f].data};
        }
    });
    for (const uint32_t behind : {0, 10}) {
        Rewrite(s, "out.pcap", "timed-out-" + std::to_string(behind) + ".pcap", [&](auto& p) {
            p.resize(kTimed);
            for (size_t d = 0; d < kTimed; ++d) {
                p[d].seconds = kBase - behind;
                p[d].micros = static_cast<uint32_t>(s.inputOf[d] * 1000 + 50 * ((d * 7) % kTimed + 1));
            }
        });
    }
    // Nearest rank of the 20 values 50, 100, ..., 1000: ranks 10, 18, 20 and 20.
    const int64_t percentiles[] = {500, 900, 1000, 1000, 1000};  // p50, p90, p99, p99.9, max
    const int64_t worst[][2] = {{1000, 17}, {950, 14}, {900, 11}, {850, 8}, {800, 5}};  // us, captured
    const struct {
        const char* out;
        int64_t shift;  // the output clock's offset, us
        int64_t negative;
    } timed[] = {{"timed-out-0.pcap", 0, 0}, {"timed-out-10.pcap", -10000000, 20}};
    for (const auto& c : timed) {
        SCOPED_TRACE(c.out);
        const Verdict t = Verify(s, "timed-in.pcap", c.out, {"--segment", "FO", "--latency"});
        EXPECT_EQ(t.matched, static_cast<long>(kTimed)) << t.out;
        std::string lines = "latency: 20 matched datagrams, capture time minus their input's: p50 " +
                            std::to_string(percentiles[0] + c.shift) + " us, p90 " +
                            std::to_string(percentiles[1] + c.shift) + " us, p99 " +
                            std::to_string(percentiles[2] + c.shift) + " us, p99.9 " +
                            std::to_string(percentiles[3] + c.shift) + " us, max " +
                            std::to_string(percentiles[4] + c.shift) + " us, " + std::to_string(c.negative) +
                            " negative\n";
        for (const auto& w : worst) {
            lines += "latency worst: " + std::to_string(w[0] + c.shift) + " us, captured datagram " +
                     std::to_string(w[1]) + " from input datagram " + std::to_string(s.inputOf[w[1]]) + "\n";
        }
        EXPECT_NE(t.out.find(lines), std::string::npos) << lines << t.out;
        const size_t warned = t.err.find(
            "do not overlap: the two captures may not share a clock, latencies are differences between two "
            "clocks (20 of 20 negative)\n");
        EXPECT_EQ(warned != std::string::npos, c.negative > 0) << t.err;

        const Verdict j = Verify(s, "timed-in.pcap", c.out, {"--segment", "FO", "--latency", "--json"});
        const std::vector<Json> json = ParseJsonLines(j.out);
        ASSERT_EQ(json.size(), 2u) << j.out;
        EXPECT_EQ(json[1].Int("matched"), static_cast<int64_t>(kTimed));
        const Json& l = json[0];
        EXPECT_EQ(l.Str("kind"), "latency");
        EXPECT_EQ(l.Int("matched"), static_cast<int64_t>(kTimed));
        EXPECT_EQ(l.Int("negative"), c.negative);
        const char* const keys[] = {"p50Micros", "p90Micros", "p99Micros", "p999Micros", "maxMicros"};
        for (size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(l.Int(keys[k]), percentiles[k] + c.shift) << keys[k];
        }
        ASSERT_EQ(l["worst"].items.size(), 5u);
        for (size_t k = 0; k < 5; ++k) {
            EXPECT_EQ(l["worst"].items[k].Int("micros"), worst[k][0] + c.shift);
            EXPECT_EQ(l["worst"].items[k].Int("captured"), worst[k][1]);
            EXPECT_EQ(l["worst"].items[k].Int("input"), s.inputOf[static_cast<size_t>(worst[k][1])]);
        }
    }
}

// Capture pairs as real hosts leave them: begun at different moments (the input with and without
// ticker records), two datagrams swapped, one duplicated, and an input capture holding fragments that
// cannot be reassembled. Each row: the report lines that matter and the exit status.
TEST(VerifyTool, LinesUpCapturePairsByTheirRecords) {
    Session s;
    s.Record(false, false, 3);
    if (HasFatalFailure()) {
        return;
    }
    const long n = static_cast<long>(s.datagrams);
    ASSERT_FALSE(s.tickerFrames.empty());
    // The input from its first ticker frame on: the open/high/low frame and the first market-by-price
    // frames went by before the input capture began.
    const int64_t m = s.tickerFrames.front();
    const auto early = static_cast<long>(
        std::count_if(s.inputOf.begin(), s.inputOf.end(), [&](int64_t f) { return f < m; }));
    ASSERT_GT(early, 0);
    Rewrite(s, "in.pcap", "from-ticker.pcap", [&](auto& p) { p.erase(p.begin(), p.begin() + m); });
    Rewrite(s, "in.pcap", "no-ticker.pcap", [&](auto& p) {
        for (auto f = s.tickerFrames.rbegin(); f != s.tickerFrames.rend(); ++f) {
            p.erase(p.begin() + *f);
        }
        p.erase(p.begin(), p.begin() + m);
    });
    const long late = early + 10;  // the output capture began after the input capture
    Rewrite(s, "out.pcap", "began-late.pcap", [&](auto& p) { p.erase(p.begin(), p.begin() + late); });
    const size_t k = s.datagrams / 2;
    Rewrite(s, "out.pcap", "swapped.pcap", [&](auto& p) { std::swap(p[k], p[k + 1]); });
    Rewrite(s, "out.pcap", "duplicated.pcap", [&](auto& p) {
        const PcapPacket copy = p[k];
        p.insert(p.begin() + static_cast<long>(k) + 1, copy);
    });
    // Two market-by-price frames cut into 256-byte IP fragments: of the first only its first fragment
    // kept (what a capture filter by port keeps), of the second all but its first.
    std::vector<size_t> cut;
    size_t laterFragments = 0;
    Rewrite(s, "in.pcap", "fragments.pcap", [&](auto& p) {
        for (size_t f = p.size() / 2; f < p.size() && cut.size() < 2; ++f) {
            if (p[f].data.size() > kPayloadAt + 256 &&
                std::count(s.inputOf.begin(), s.inputOf.end(), static_cast<int64_t>(f)) > 0) {
                cut.push_back(f);
            }
        }
        ASSERT_EQ(cut.size(), 2u);
        for (size_t c = 2; c-- > 0;) {
            const std::vector<Bytes> pieces =
                Fragment(Bytes(p[cut[c]].data.begin() + 14, p[cut[c]].data.end()), 256);
            std::vector<PcapPacket> kept;
            for (size_t q = c == 0 ? 0 : 1; q < (c == 0 ? 1 : pieces.size()); ++q) {
                kept.push_back(p[cut[c]]);
                kept.back().data = Ethernet(pieces[q]);
                kept.back().wireLength = 0;
            }
            laterFragments = c == 1 ? kept.size() : laterFragments;
            p.erase(p.begin() + static_cast<long>(cut[c]));
            p.insert(p.begin() + static_cast<long>(cut[c]), kept.begin(), kept.end());
        }
    });
    ASSERT_GT(laterFragments, 0u);
    const auto lost = static_cast<long>(std::count_if(s.inputOf.begin(), s.inputOf.end(), [&](int64_t f) {
        return f == static_cast<int64_t>(cut[0]) || f == static_cast<int64_t>(cut[1]);
    }));

    struct Case {
        const char* name;
        const char* in;
        const char* out;
        int status;
        long placed, differing, missing, extra, reordered, duplicated, capturedBefore, expectedBefore;
        std::vector<std::string> lines;  // each in the report, in whole or in part
    } cases[] = {
        {"mid-stream, ticker records in the input",
         "from-ticker.pcap",
         "out.pcap",
         3,
         n - early,
         0,
         0,
         0,
         0,
         0,
         early,
         0,
         {"\nbefore the capture: captured datagrams 0-" + std::to_string(early - 1) + " (" +
              std::to_string(early) + "), from input the input capture does not hold\n",
          " (no open/high/low record for it earlier in the input)\n"}},
        {"mid-stream, no ticker records, output begun later",
         "no-ticker.pcap",
         "began-late.pcap",
         3,
         n - late,
         0,
         0,
         0,
         0,
         0,
         0,
         late - early,
         {"\nbefore the capture: expected datagrams 0-" + std::to_string(late - early - 1) + " (" +
              std::to_string(late - early) + ", from input datagrams 0-",
          " (no ticker record for it earlier in the input)\n"}},
        {"two swapped",
         "in.pcap",
         "swapped.pcap",
         1,
         n,
         0,
         0,
         0,
         1,
         0,
         0,
         0,
         {"\nreordered: captured datagram " + std::to_string(k) + " is expected datagram " +
          std::to_string(k + 1) + " (from input datagram " + std::to_string(s.inputOf[k + 1]) +
          "), 1 place early\n"}},
        {"one duplicated",
         "in.pcap",
         "duplicated.pcap",
         1,
         n,
         0,
         0,
         0,
         0,
         1,
         0,
         0,
         {"\nduplicate: captured datagram " + std::to_string(k + 1) + ", duplicate of captured datagram " +
          std::to_string(k) + ", " + s.tokensOf[k] + "\n"}},
        {"orphan fragments",
         "fragments.pcap",
         "out.pcap",
         1,
         n - lost,
         0,
         0,
         lost,
         0,
         0,
         0,
         0,
         {"bcst-verify: warning: " + s.File("fragments.pcap") + ": " + std::to_string(1 + laterFragments) +
          " IP fragments could not be reassembled, their datagrams left out (first fragments without the "
          "rest: "
          "1, later fragments without their first: " +
          std::to_string(laterFragments) +
          "); a capture filter by port keeps only first fragments: filter by host\n"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Verdict v = Verify(s, c.in, c.out);
        EXPECT_EQ(v.status, c.status) << v.out << v.err;
        EXPECT_EQ(v.matched + v.unseen, c.placed) << v.out;
        EXPECT_EQ(v.unseen > 0, c.status == 3) << v.out;
        EXPECT_EQ(v.differing, c.differing) << v.out;
        EXPECT_EQ(v.missing, c.missing) << v.out;
        EXPECT_EQ(v.extra, c.extra) << v.out;
        EXPECT_EQ(v.reordered, c.reordered) << v.out;
        EXPECT_EQ(v.duplicated, c.duplicated) << v.out;
        EXPECT_EQ(v.capturedBefore, c.capturedBefore) << v.out;
        EXPECT_EQ(v.expectedBefore, c.expectedBefore) << v.out;
        EXPECT_EQ(v.out.find("\ngap: "), std::string::npos) << v.out;
        for (const std::string& line : c.lines) {
            EXPECT_NE(("\n" + v.err + v.out).find(line), std::string::npos) << line << "\n" << v.out << v.err;
        }
    }
}

// A pass-through instance forwards each frame cut to, or zero-filled up to, 512 bytes; taken for a
// relay, the same output is wrong.
TEST(VerifyTool, PassThroughOutputIsEachInputDatagramAs512Bytes) {
    Session s;
    s.Record(false, true);
    if (HasFatalFailure()) {
        return;
    }
    const std::vector<PcapPacket> in = ReadPcap(s.File("in.pcap"));
    ASSERT_TRUE(std::any_of(in.begin(), in.end(), [](const PcapPacket& p) {
        return p.data.size() > kPayloadAt + 512;
    })) << "some frames are cut";
    ASSERT_TRUE(std::any_of(in.begin(), in.end(), [](const PcapPacket& p) {
        return p.data.size() < kPayloadAt + 512;
    })) << "some frames are filled";

    const Verdict forwarded = Verify(s, "in.pcap", "out.pcap", {"--mode", "pass-through"});
    EXPECT_EQ(forwarded.status, 0) << forwarded.out << forwarded.err;
    EXPECT_EQ(forwarded.matched, static_cast<long>(s.datagrams)) << forwarded.out;
    const Verdict asRelay = Verify(s, "in.pcap", "out.pcap");
    EXPECT_EQ(asRelay.status, 1) << asRelay.out;
    EXPECT_EQ(asRelay.matched, 0) << asRelay.out;
}

// Comma-separated values of one tshark field column.
size_t CountValues(const std::string& column) {
    return column.empty() ? 0 : static_cast<size_t>(std::count(column.begin(), column.end(), ',')) + 1;
}

TEST(SegmentedCapture, BridgeOutputCapturedOnItsHostReadsAsItsDatagrams) {
    Session s;
    s.Record(true);
    if (HasFatalFailure()) {
        return;
    }
    if (!s.haveLoopback) {
        GTEST_SKIP() << s.loopbackWhyNot;
    }
    // The bridge sends each frame's datagrams in one segmented send: the capture holds fewer packets
    // than datagrams, some several times 512 bytes long.
    const std::vector<PcapPacket> packets = ReadPcap(s.File("lo.pcap"));
    size_t longest = 0;
    for (const PcapPacket& p : packets) {
        longest = std::max(longest, p.data.size() - kPayloadAt);
    }
    ASSERT_LT(packets.size(), s.datagrams);
    ASSERT_GT(longest, 512u);
    EXPECT_EQ(longest % 512, 0u);

    const Verdict v = Verify(s, "in.pcap", "lo.pcap");
    EXPECT_EQ(v.status, 0) << v.out << v.err;
    EXPECT_EQ(v.matched, static_cast<long>(s.datagrams)) << v.out;
    EXPECT_NE(v.err.find(" segmented packets split into "), std::string::npos) << v.err;

    // bcst-dump: every datagram decodes, none is malformed, and the split is counted.
    const ToolResult dump = RunTool(s.dir.path(), {BCST_DUMP_EXE, "-r", s.File("lo.pcap"), "--json"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const std::vector<Json> records = ParseJsonLines(dump.out);
    ASSERT_EQ(records.size(), s.tokens.size());
    for (size_t i = 0; i < records.size(); ++i) {
        ASSERT_EQ(records[i].Str("kind"), "mbp_out") << i;
        EXPECT_EQ(records[i].Int("token"), s.tokens[i]) << i;
    }
    const std::vector<Json> summary = ParseJsonLines(dump.err.substr(dump.err.find("{\"kind\":\"summary\"")));
    ASSERT_EQ(summary.size(), 1u) << dump.err;
    EXPECT_EQ(summary[0].Int("malformed"), 0);
    EXPECT_EQ(summary[0].Int("output"), static_cast<int64_t>(s.datagrams));
    EXPECT_EQ(summary[0].Int("segmentedDatagrams") - summary[0].Int("segmentedPackets") +
                  static_cast<int64_t>(packets.size()),
              static_cast<int64_t>(s.datagrams))
        << dump.err;

    // The dissector: each 512-byte part its own message, the tokens in the order they were sent.
    if (!FileExists("/usr/bin/tshark")) {
        GTEST_SKIP() << "tshark is not installed (scripts/test installs it)";
    }
    const ToolResult tshark = RunTool(s.dir.path(), {"/usr/bin/tshark",
                                                     "-n",
                                                     "-r",
                                                     s.File("lo.pcap"),
                                                     "-X",
                                                     std::string("lua_script:") + BCST_DISSECTOR_LUA,
                                                     "-o",
                                                     "bcstbridge.output_port:" + std::to_string(s.wirePort),
                                                     "-T",
                                                     "fields",
                                                     "-E",
                                                     "separator=;",
                                                     "-E",
                                                     "aggregator=,",
                                                     "-e",
                                                     "bcstbridge.parts",
                                                     "-e",
                                                     "bcstbridge.part",
                                                     "-e",
                                                     "bcstbridge.token",
                                                     "-e",
                                                     "_ws.expert.message"});
    ASSERT_EQ(tshark.status, 0) << tshark.err;
    EXPECT_EQ(tshark.err.find("Lua"), std::string::npos) << tshark.err;
    size_t parts = 0;
    std::vector<int64_t> tokens;
    std::istringstream lines(tshark.out);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream columns(line);
        std::string announced, numbers, tokenList, experts;
        std::getline(columns, announced, ';');
        std::getline(columns, numbers, ';');
        std::getline(columns, tokenList, ';');
        std::getline(columns, experts, ';');
        const size_t here = announced.empty() ? 1 : std::stoul(announced);
        EXPECT_EQ(CountValues(numbers), announced.empty() ? 0 : here) << line;
        EXPECT_EQ(experts.find("not 512 bytes"), std::string::npos) << line;
        parts += here;
        std::istringstream each(tokenList);
        for (std::string token; std::getline(each, token, ',');) {
            tokens.push_back(std::stoll(token));
        }
    }
    EXPECT_EQ(parts, s.datagrams) << tshark.out;
    EXPECT_EQ(tokens, s.tokens);
}

}  // namespace
