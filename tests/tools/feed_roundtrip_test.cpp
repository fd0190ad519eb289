// bcst-feed's simulated session: its capture decoded independently (pcap, Ethernet/IPv4/UDP, LZ4 and
// the feed's record tables, byte by byte) and by bcst-dump matches the records it says it generated;
// the session is coherent and deterministic; both tools' command lines.
#include <gtest/gtest.h>
#include <lz4.h>

#include <csignal>
#include <filesystem>
#include <regex>
#include <set>

#include "support/pcap_files.h"
#include "support/tool_output.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

const std::string kGroup = "239.50.4.1";
constexpr uint16_t kPort = 34330;

struct Summary {
    int64_t frames = -1, mbp = -1, ohl = -1, ticker = -1, records = -1;
};

Summary ParseFeedSummary(const std::string& err) {
    static const std::regex line(
        R"(bcst-feed: sent (\d+) frames \((\d+) market-by-price, (\d+) open/high/low, (\d+) ticker\), (\d+) records in \d+\.\d\ds)");
    std::smatch m;
    Summary s;
    if (std::regex_search(err, m, line)) {
        s.frames = std::stoll(m[1]);
        s.mbp = std::stoll(m[2]);
        s.ohl = std::stoll(m[3]);
        s.ticker = std::stoll(m[4]);
        s.records = std::stoll(m[5]);
    }
    return s;
}

// Every member of `expected` is in `actual` with the same value; arrays of objects compared item by item.
void ExpectSameMembers(const Json& expected, const Json& actual, const std::string& where) {
    for (const auto& member : expected.members) {
        ASSERT_TRUE(actual.Has(member.first)) << where << ": no " << member.first;
        const Json& a = actual[member.first];
        const Json& e = member.second;
        ASSERT_EQ(a.type, e.type) << where << ": " << member.first;
        if (e.type == Json::kArray) {
            ASSERT_EQ(a.items.size(), e.items.size()) << where << ": " << member.first;
            for (size_t i = 0; i < e.items.size(); ++i) {
                ExpectSameMembers(e.items[i], a.items[i],
                                  where + " " + member.first + "[" + std::to_string(i) + "]");
            }
        } else {
            EXPECT_EQ(a.number, e.number) << where << ": " << member.first;
            EXPECT_EQ(a.text, e.text) << where << ": " << member.first;
        }
    }
}

// The records of one feed frame, read from the payload with the record tables' offsets.
std::vector<Json> DecodeFrameIndependently(const Bytes& frame, int64_t index) {
    std::vector<Json> records;
    EXPECT_GE(frame.size(), 6u);
    if (frame.size() < 6) {
        return records;
    }
    const int type = static_cast<int16_t>(Le16(frame.data()));
    const int compressed = static_cast<int16_t>(Le16(frame.data() + 2));
    const int count = static_cast<int16_t>(Le16(frame.data() + 4));
    EXPECT_EQ(static_cast<size_t>(compressed), frame.size() - 6) << "frame " << index;
    EXPECT_LE(compressed, 2494) << "the bridge's receive buffer holds 2,500 bytes";
    EXPECT_GE(count, 1);
    std::vector<char> decoded(6000, 0);
    const int size = LZ4_decompress_safe(reinterpret_cast<const char*>(frame.data() + 6), decoded.data(),
                                         static_cast<int>(frame.size() - 6), 6000);
    const auto* d = reinterpret_cast<const uint8_t*>(decoded.data());
    auto number = [](int64_t v) {
        Json j;
        j.type = Json::kNumber;
        j.number = v;
        return j;
    };
    auto record = [&](const char* kind) {
        Json j;
        j.type = Json::kObject;
        j.members["kind"].type = Json::kString;
        j.members["kind"].text = kind;
        j.members["datagram"] = number(index);
        return j;
    };
    if (type == 10750) {
        EXPECT_EQ(size, 28 * count) << "frame " << index;
        for (int i = 0; i < count && 28 * (i + 1) <= size; ++i) {
            const uint8_t* r = d + 28 * i;
            Json j = record("ohl");
            const char* names[] = {"token",        "openPrice", "highPrice", "lowPrice",
                                   "closingPrice", "ohlExtra1", "ohlExtra2"};
            for (int f = 0; f < 7; ++f) {
                j.members[names[f]] = number(static_cast<int32_t>(Le32(r + 4 * f)));
            }
            records.push_back(j);
        }
    } else if (type == 10600) {
        EXPECT_EQ(size, 16 * count) << "frame " << index;
        for (int i = 0; i < count && 16 * (i + 1) <= size; ++i) {
            const uint8_t* r = d + 16 * i;
            Json j = record("ticker");
            j.members["token"] = number(static_cast<int32_t>(Le32(r)));
            j.members["tickerValue"] = number(static_cast<int32_t>(Le32(r + 8)));
            EXPECT_EQ(Le32(r + 4), 0u);
            EXPECT_EQ(Le32(r + 12), 0u);
            records.push_back(j);
        }
    } else {
        EXPECT_EQ(type, 10500) << "frame " << index;
        EXPECT_EQ(size, 140 * count) << "frame " << index;
        EXPECT_LE(count, 42);
        for (int i = 0; i < count && 140 * (i + 1) <= size; ++i) {
            const uint8_t* r = d + 140 * i;
            Json j = record("mbp_in");
            j.members["token"] = number(static_cast<int32_t>(Le32(r)));
            j.members["volumeTradedToday"] = number(static_cast<int32_t>(Le32(r + 4)));
            j.members["lastTradedPrice"] = number(static_cast<int32_t>(Le32(r + 8)));
            j.members["lastTradeTime"] = number(static_cast<int32_t>(Le32(r + 12)));
            j.members["averageTradePrice"] = number(static_cast<int32_t>(Le32(r + 16)));
            j.members["totalBuyQuantity"] = number(Le64(r + 20));
            j.members["totalSellQuantity"] = number(Le64(r + 28));
            j.members["indicatorBits"] = number(r[36] | r[37] << 8 | r[38] << 16);
            EXPECT_EQ(r[39], 0) << "reserved byte";
            Json levels;
            levels.type = Json::kArray;
            for (int k = 0; k < 10; ++k) {
                Json level;
                level.type = Json::kObject;
                level.members["quantity"] = number(static_cast<int32_t>(Le32(r + 40 + 10 * k)));
                level.members["price"] = number(static_cast<int32_t>(Le32(r + 44 + 10 * k)));
                level.members["numberOfOrders"] = number(static_cast<int16_t>(Le16(r + 48 + 10 * k)));
                levels.items.push_back(level);
            }
            j.members["levels"] = levels;
            records.push_back(j);
        }
    }
    return records;
}

class FeedTool : public ::testing::Test {
  protected:
    ToolResult Feed(std::vector<std::string> args) {
        args.insert(args.begin(), BCST_FEED_EXE);
        return RunTool(dir_.path(), args);
    }
    ToolResult Dump(std::vector<std::string> args) {
        args.insert(args.begin(), BCST_DUMP_EXE);
        return RunTool(dir_.path(), args);
    }
    std::string File(const std::string& name) const { return dir_.File(name); }

    bcsttest::TempDir dir_;
};

TEST_F(FeedTool, CaptureDecodesToTheGeneratedRecords) {
    const ToolResult feed =
        Feed({"--no-send", "--seed", "21", "--instruments", "60", "--frames", "120", "--ticker-every", "4",
              "--group", kGroup, "--port", std::to_string(kPort), "--pcap-out", File("session.pcap"),
              "--records-out", File("records.jsonl")});
    ASSERT_EQ(feed.status, 0) << feed.err;
    const Summary summary = ParseFeedSummary(feed.err);
    EXPECT_EQ(summary.mbp, 120);
    EXPECT_EQ(summary.ohl, 2) << "60 instruments, at most 50 per open/high/low frame";
    EXPECT_GE(summary.ticker, 30) << "one after every 4 market-by-price frames";
    EXPECT_EQ(summary.frames, summary.mbp + summary.ohl + summary.ticker);

    const std::vector<Json> generated = ParseJsonLines(bcsttest::ReadFile(File("records.jsonl")));
    EXPECT_EQ(static_cast<int64_t>(generated.size()), summary.records);
    std::map<int64_t, std::vector<Json>> byFrame;
    for (const Json& r : generated) {
        byFrame[r.Int("datagram")].push_back(r);
    }

    // The capture, read without the tools' code: each payload holds exactly the frame's records.
    const std::vector<Bytes> payloads = UdpPayloadsOf(File("session.pcap"), kGroup, kPort);
    ASSERT_EQ(static_cast<int64_t>(payloads.size()), summary.frames);
    for (size_t i = 0; i < payloads.size(); ++i) {
        const std::vector<Json> decoded = DecodeFrameIndependently(payloads[i], static_cast<int64_t>(i));
        const std::vector<Json>& expected = byFrame[static_cast<int64_t>(i)];
        ASSERT_EQ(decoded.size(), expected.size()) << "frame " << i;
        for (size_t k = 0; k < decoded.size(); ++k) {
            ExpectSameMembers(expected[k], decoded[k],
                              "frame " + std::to_string(i) + " record " + std::to_string(k));
        }
    }

    // bcst-dump reads the same capture back into the same records, in order.
    const ToolResult dump = Dump({"--pcap", File("session.pcap"), "--json"});
    ASSERT_EQ(dump.status, 0) << dump.err;
    const std::vector<Json> dumped = ParseJsonLines(dump.out);
    ASSERT_EQ(dumped.size(), generated.size());
    for (size_t k = 0; k < dumped.size(); ++k) {
        ExpectSameMembers(generated[k], dumped[k], "dumped record " + std::to_string(k));
        EXPECT_EQ(static_cast<size_t>(dumped[k].Int("length")),
                  payloads[static_cast<size_t>(dumped[k].Int("datagram"))].size());
    }
    EXPECT_NE(dump.err.find(std::to_string(summary.frames) + " datagrams: " + std::to_string(summary.mbp) +
                            " market-by-price, " + std::to_string(summary.ohl) + " open/high/low, " +
                            std::to_string(summary.ticker) + " ticker, 0 output; " +
                            std::to_string(summary.records) + " records; 0 malformed"),
              std::string::npos)
        << dump.err;
}

TEST_F(FeedTool, SessionIsCoherent) {
    // Few instruments, so that each trades many times and tickers repeat.
    const int instruments = 8, tickerEvery = 3, maxRecords = 6;
    const ToolResult feed =
        Feed({"--no-send", "--seed", "8", "--instruments", std::to_string(instruments), "--frames", "300",
              "--ticker-every", std::to_string(tickerEvery), "--max-records", std::to_string(maxRecords),
              "--records-out", File("records.jsonl")});
    ASSERT_EQ(feed.status, 0) << feed.err;
    const std::vector<Json> records = ParseJsonLines(bcsttest::ReadFile(File("records.jsonl")));
    ASSERT_FALSE(records.empty());

    std::map<int64_t, std::vector<const Json*>> frames;
    for (const Json& r : records) {
        frames[r.Int("datagram")].push_back(&r);
    }
    ASSERT_EQ(frames.begin()->first, 0);
    ASSERT_EQ(frames.rbegin()->first + 1, static_cast<int64_t>(frames.size()))
        << "every frame carries records";

    std::set<int64_t> tokens;
    std::map<int64_t, std::vector<const Json*>> history;  // token -> its market-by-price records so far
    std::vector<int64_t> tradedSinceTicker;
    int64_t mbpFrames = 0;
    int64_t lastTime = 0;
    std::string previousKind;
    int statusSeen[4] = {};  // flags 21/22 as 2 bits
    for (const auto& frame : frames) {
        const std::string kind = frame.second.front()->Str("kind");
        for (const Json* r : frame.second) {
            ASSERT_EQ(r->Str("kind"), kind) << "one kind per frame";
        }
        if (kind == "ohl") {
            EXPECT_TRUE(previousKind.empty() || previousKind == "ohl") << "snapshots come first";
            for (const Json* r : frame.second) {
                EXPECT_TRUE(tokens.insert(r->Int("token")).second) << "one snapshot per instrument";
                EXPECT_GT(r->Int("token"), 0);
                EXPECT_LT(r->Int("token"), 32768);
                EXPECT_LE(r->Int("lowPrice"), r->Int("openPrice"));
                EXPECT_LE(r->Int("openPrice"), r->Int("highPrice"));
                EXPECT_GT(r->Int("lowPrice"), 0);
                EXPECT_GT(r->Int("closingPrice"), 0);
                EXPECT_EQ(r->Int("openPrice") % 5, 0);
            }
        } else if (kind == "ticker") {
            EXPECT_EQ(mbpFrames % tickerEvery, 0);
            EXPECT_TRUE(previousKind == "mbp_in" || previousKind == "ticker");
            std::vector<int64_t> reported;
            for (const Json* r : frame.second) {
                reported.push_back(r->Int("token"));
                // The ticker carries the last trade's quantity: the last volume step of the token.
                const std::vector<const Json*>& h = history[r->Int("token")];
                if (h.size() >= 2) {
                    EXPECT_EQ(r->Int("tickerValue"),
                              h.back()->Int("volumeTradedToday") - h[h.size() - 2]->Int("volumeTradedToday"));
                }
            }
            EXPECT_EQ(reported, tradedSinceTicker) << "every instrument traded since the last ticker frame";
            tradedSinceTicker.clear();
        } else {
            ASSERT_EQ(kind, "mbp_in");
            EXPECT_EQ(static_cast<int64_t>(tokens.size()), instruments)
                << "snapshots of all instruments first";
            if (previousKind == "mbp_in") {
                EXPECT_NE(mbpFrames % tickerEvery, 0) << "a ticker frame follows every " << tickerEvery;
            }
            ++mbpFrames;
            EXPECT_GE(frame.second.size(), 1u);
            EXPECT_LE(frame.second.size(), static_cast<size_t>(maxRecords));
            for (const Json* r : frame.second) {
                const int64_t token = r->Int("token");
                EXPECT_EQ(tokens.count(token), 1u);
                if (std::find(tradedSinceTicker.begin(), tradedSinceTicker.end(), token) ==
                    tradedSinceTicker.end()) {
                    tradedSinceTicker.push_back(token);
                }
                std::vector<const Json*>& h = history[token];
                if (!h.empty()) {
                    EXPECT_GT(r->Int("volumeTradedToday"), h.back()->Int("volumeTradedToday"));
                }
                h.push_back(r);
                EXPECT_GE(r->Int("lastTradeTime"), lastTime);
                lastTime = r->Int("lastTradeTime");

                const int64_t last = r->Int("lastTradedPrice");
                const int64_t bits = r->Int("indicatorBits");
                EXPECT_EQ(last % 5, 0);
                EXPECT_GT(r->Int("averageTradePrice"), 0);
                const std::vector<Json>& levels = r->operator[]("levels").items;
                ASSERT_EQ(levels.size(), 10u);
                int64_t bidTotal = 0, askTotal = 0;
                for (int side = 0; side < 2; ++side) {
                    bool ended = false;
                    int64_t previous = last;
                    for (int k = 0; k < 5; ++k) {
                        const Json& level = levels[static_cast<size_t>(5 * side + k)];
                        const bool present = level.Int("quantity") != 0;
                        const int flag = side == 0 ? k : 10 + k;  // bids 0..4, asks 10..14
                        EXPECT_EQ((bits >> flag) & 1, present ? 1 : 0) << "flag " << flag;
                        if (!present) {
                            ended = true;
                            EXPECT_EQ(level.Int("price"), 0);
                            EXPECT_EQ(level.Int("numberOfOrders"), 0);
                            continue;
                        }
                        EXPECT_FALSE(ended) << "levels fill from the best price outward";
                        const int64_t price = level.Int("price");
                        if (side == 0) {
                            EXPECT_LT(price, previous) << "bids descend below the last price";
                            bidTotal += level.Int("quantity");
                        } else {
                            EXPECT_GT(price, previous) << "asks ascend above the last price";
                            askTotal += level.Int("quantity");
                        }
                        previous = price;
                        EXPECT_GE(level.Int("numberOfOrders"), 1);
                        EXPECT_GE(level.Int("quantity"), level.Int("numberOfOrders"));
                    }
                }
                EXPECT_GE(r->Int("totalBuyQuantity"), bidTotal);
                EXPECT_GE(r->Int("totalSellQuantity"), askTotal);
                EXPECT_EQ((bits >> 20) & 1, r->Int("totalBuyQuantity") > 0 ? 1 : 0);
                EXPECT_EQ((bits >> 19) & 1, r->Int("totalSellQuantity") > 0 ? 1 : 0);
                EXPECT_EQ(bits & 0x8783E0, 0) << "flags 5-9, 15-17 (no second inputs), 18 and 23 stay clear";
                ++statusSeen[(bits >> 21) & 3];
            }
        }
        previousKind = kind;
    }
    EXPECT_EQ(mbpFrames, 300);
    EXPECT_GT(statusSeen[2], 0) << "the normal market (flag 22) dominates";
}

TEST_F(FeedTool, SameSeedSameSessionAtAnyRate) {
    auto session = [this](const std::string& name, const std::string& seed, const std::string& rate) {
        const ToolResult r = Feed({"--no-send", "--seed", seed, "--frames", "40", "--rate", rate, "--group",
                                   kGroup, "--port", std::to_string(kPort), "--pcap-out", File(name)});
        EXPECT_EQ(r.status, 0) << r.err;
        return UdpPayloadsOf(File(name), kGroup, kPort);
    };
    const std::vector<Bytes> first = session("a.pcap", "5", "1000");
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(session("b.pcap", "5", "1000"), first);
    EXPECT_EQ(session("c.pcap", "5", "0"), first) << "flat out sends the same frames";
    EXPECT_NE(session("d.pcap", "6", "1000"), first) << "another seed, another session";
}

TEST_F(FeedTool, DurationCountsTheScheduleWhenNothingIsSent) {
    // At 100 frames a second, half a second of schedule is 50 frames, whatever the clock says.
    const ToolResult r = Feed({"--no-send", "--rate", "100", "--duration", "0.5", "--frames", "100000"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ParseFeedSummary(r.err).frames, 50) << r.err;
    // --duration alone sets the length: no default frame limit cuts it short.
    const ToolResult alone = Feed({"--no-send", "--rate", "100", "--duration", "2", "--ticker-every", "0"});
    ASSERT_EQ(alone.status, 0) << alone.err;
    EXPECT_EQ(ParseFeedSummary(alone.err).frames, 200) << alone.err;
    // And the frame limit ends the session first when it comes first.
    const ToolResult shorter = Feed({"--no-send", "--rate", "100", "--duration", "60", "--frames", "3",
                                     "--ticker-every", "0", "--instruments", "10"});
    ASSERT_EQ(shorter.status, 0) << shorter.err;
    const Summary s = ParseFeedSummary(shorter.err);
    EXPECT_EQ(s.mbp, 3);
    EXPECT_EQ(s.ticker, 0);
    EXPECT_EQ(s.frames, 4);
}

// The capture grows under a hidden temporary name and replaces the old file only when complete: an
// interrupt completes it, a kill leaves the old file as it was.
TEST_F(FeedTool, CapturesReplaceTheOldFileOnlyWhenComplete) {
    const uint16_t port = bcsttest::FreeUdpPort();
    const std::string old = "an earlier capture that must survive a killed run";
    auto temporaryGrew = [&] {
        for (const auto& entry : std::filesystem::directory_iterator(dir_.path())) {
            const std::string name = entry.path().filename().string();
            if (name.rfind(".running.pcap.", 0) == 0 && entry.file_size() > 8192) {
                return true;
            }
        }
        return false;
    };
    for (const int signalNumber : {SIGINT, SIGTERM, SIGKILL}) {
        bcsttest::WriteFile(File("running.pcap"), old);
        ToolProcess feed(dir_.path(),
                         {BCST_FEED_EXE, "--group", "239.50.4.2", "--port", std::to_string(port), "--rate",
                          "200", "--pcap-out", File("running.pcap"), "--duration", "60"},
                         "feed" + std::to_string(signalNumber));
        ASSERT_TRUE(bcsttest::WaitUntil(temporaryGrew, 20s)) << signalNumber;
        EXPECT_EQ(bcsttest::ReadFile(File("running.pcap")), old) << "replaced before it was complete";
        ASSERT_TRUE(feed.Signal(signalNumber));
        if (signalNumber == SIGKILL) {
            EXPECT_EQ(feed.Wait(10s), 128 + SIGKILL);
            EXPECT_EQ(bcsttest::ReadFile(File("running.pcap")), old);
            continue;
        }
        ASSERT_EQ(feed.Wait(10s), 0) << feed.Err();
        const Summary s = ParseFeedSummary(feed.Err());
        EXPECT_GT(s.frames, 0) << feed.Err();
        EXPECT_EQ(static_cast<int64_t>(UdpPayloadsOf(File("running.pcap"), "239.50.4.2", port).size()),
                  s.frames)
            << "the capture holds every frame sent, and ends cleanly";
        EXPECT_FALSE(temporaryGrew()) << "the temporary file was renamed";
    }
}

TEST_F(FeedTool, CaptureReadsInTsharkOrTcpdump) {
    const ToolResult feed = Feed({"--no-send", "--frames", "20", "--group", kGroup, "--port",
                                  std::to_string(kPort), "--pcap-out", File("s.pcap")});
    ASSERT_EQ(feed.status, 0) << feed.err;
    const int64_t frames = ParseFeedSummary(feed.err).frames;
    if (bcsttest::FileExists("/usr/bin/tshark")) {
        const ToolResult t = RunTool(
            dir_.path(), {"/usr/bin/tshark", "-r", File("s.pcap"), "-o", "ip.check_checksum:TRUE", "-o",
                          "udp.check_checksum:TRUE", "-T", "fields", "-e", "ip.checksum.status", "-e",
                          "udp.checksum.status", "-e", "ip.dst", "-e", "udp.dstport", "-e", "eth.dst"});
        ASSERT_EQ(t.status, 0) << t.err;
        std::string expected;
        for (int64_t i = 0; i < frames; ++i) {
            expected += "1\t1\t" + kGroup + "\t" + std::to_string(kPort) + "\t01:00:5e:32:04:01\n";
        }
        EXPECT_EQ(t.out, expected);
    } else if (bcsttest::FileExists("/usr/bin/tcpdump") || bcsttest::FileExists("/usr/sbin/tcpdump")) {
        const std::string tcpdump =
            bcsttest::FileExists("/usr/bin/tcpdump") ? "/usr/bin/tcpdump" : "/usr/sbin/tcpdump";
        const ToolResult t = RunTool(dir_.path(), {tcpdump, "-nr", File("s.pcap"), "-vv"});
        ASSERT_EQ(t.status, 0) << t.err;
        size_t ok = 0;
        for (size_t at = t.out.find("[udp sum ok]"); at != std::string::npos;
             at = t.out.find("[udp sum ok]", at + 1)) {
            ++ok;
        }
        EXPECT_EQ(static_cast<int64_t>(ok), frames) << t.out;
    } else {
        GTEST_SKIP() << "neither tshark nor tcpdump is installed";
    }
}

TEST_F(FeedTool, CommandLines) {
    const ToolResult feedHelp = Feed({"--help"});
    EXPECT_EQ(feedHelp.status, 0);
    for (const char* option :
         {"--group", "--port", "--interface", "--seed", "--instruments", "--frames", "--duration", "--rate",
          "--max-records", "--ticker-every", "--pcap-out", "--no-send", "--replay", "--filter-group",
          "--filter-port", "--speed", "--flat-out", "--loop", "--quiet"}) {
        EXPECT_NE(feedHelp.out.find(option), std::string::npos) << option;
    }
    const ToolResult dumpHelp = Dump({"--help"});
    EXPECT_EQ(dumpHelp.status, 0);
    for (const char* option : {"--group", "--port", "--interface", "--pcap", "--filter-port", "--format",
                               "--verbose", "--json", "--count", "--duration", "--pcap-out", "--quiet"}) {
        EXPECT_NE(dumpHelp.out.find(option), std::string::npos) << option;
    }

    // Every bad command line: its exit status and its one-line message on stderr, nothing on stdout.
    bcsttest::WriteFile(File("empty.pcap"), "");
    bcsttest::WriteFile(File("garbage.pcap"), "these bytes are no capture at all, just some text");
    bcsttest::WriteFile(File("keep.pcap"), "an operator's capture");
    ASSERT_EQ(Feed({"--no-send", "--frames", "3", "--pcap-out", File("in.pcap")}).status, 0);
    const std::string inCapture = bcsttest::ReadFile(File("in.pcap"));
    // Lines the bridge would refuse (a segment longer than its field, after the send group and port)
    // or that give no send group and port.
    bcsttest::WriteFile(File("bridge.ini"),
                        "header\nCMXYZ,239.1.1.1,1,239.2.2.2,2,127.0.0.1,127.0.0.1,Y\nCM,239.1.1.1,1\n");
    struct Bad {
        const char* tool;
        std::vector<std::string> args;
        int status;
        std::string message;
    };
    const std::vector<Bad> bad = {
        {BCST_FEED_EXE,
         {"--max-records", "43"},
         2,
         "bcst-feed: --max-records: 43 is not in 1..42 (see --help)"},
        {BCST_FEED_EXE, {"--port", "70000"}, 2, "bcst-feed: --port: 70000 is not in 1..65535 (see --help)"},
        {BCST_FEED_EXE,
         {"--duration", "-1"},
         2,
         "bcst-feed: --duration: '-1' is not a positive number of seconds (see --help)"},
        {BCST_FEED_EXE,
         {"--duration", "1e999"},
         2,
         "bcst-feed: --duration: '1e999' is not a positive number of seconds (see --help)"},
        {BCST_FEED_EXE,
         {"--bogus"},
         2,
         "bcst-feed: The following argument was not expected: --bogus (see --help)"},
        {BCST_FEED_EXE, {"--flat-out"}, 2, "bcst-feed: --flat-out requires --replay (see --help)"},
        {BCST_FEED_EXE,
         {"--group", "nowhere"},
         2,
         "bcst-feed: --group: not an IPv4 multicast group: nowhere"},
        {BCST_FEED_EXE,
         {"--group", "255.255.255.255"},
         2,
         "bcst-feed: --group: not an IPv4 multicast group: 255.255.255.255"},
        {BCST_FEED_EXE,
         {"--group", "10.1.2.3"},
         2,
         "bcst-feed: --group: not an IPv4 multicast group: 10.1.2.3"},
        {BCST_FEED_EXE,
         {"--interface", "no-such-if0"},
         2,
         "bcst-feed: --interface: 'no-such-if0' is neither an IPv4 address nor an interface"},
        {BCST_FEED_EXE,
         {"--replay", File("empty.pcap"), "--seed", "3"},
         2,
         "bcst-feed: --replay excludes --seed (see --help)"},
        {BCST_FEED_EXE,
         {"--replay", "-", "--loop", "2"},
         2,
         "bcst-feed: --loop: the standard input can be read once only"},
        {BCST_FEED_EXE,
         {"--replay", File("in.pcap"), "--pcap-out", dir_.path() + "/./in.pcap"},
         2,
         "bcst-feed: " + dir_.path() + "/./in.pcap is the capture being replayed; write to another file"},
        {BCST_FEED_EXE,
         {"--pcap-out", dir_.path()},
         2,
         "bcst-feed: --pcap-out: " + dir_.path() + " is a directory; name a file"},
        {BCST_FEED_EXE,
         {"--max-token", "19999"},
         2,
         "bcst-feed: --max-token: 19999 is not in 20000..2147483647 (see --help)"},
        {BCST_VERIFY_EXE,
         {File("in.pcap"), File("in.pcap")},
         2,
         "bcst-verify: --segment: a relay instance's segment is needed (see --help)"},
        {BCST_VERIFY_EXE,
         {File("in.pcap"), File("in.pcap"), "--segment", "XX"},
         2,
         "bcst-verify: --segment: XX not in {CM,FO,CD,CO} (see --help)"},
        {BCST_VERIFY_EXE,
         {File("missing.pcap"), File("in.pcap"), "--segment", "CM"},
         1,
         "bcst-verify: " + File("missing.pcap") + ": No such file or directory"},
        {BCST_FEED_EXE,
         {"--replay", File("missing.pcap")},
         1,
         "bcst-feed: " + File("missing.pcap") + ": No such file or directory"},
        {BCST_FEED_EXE,
         {"--replay", File("garbage.pcap"), "--pcap-out", File("keep.pcap")},
         1,
         "bcst-feed: " + File("garbage.pcap") + ": unknown file format"},
        {BCST_DUMP_EXE,
         {},
         2,
         "bcst-dump: say what to read: --group and --port, --instance, or --pcap (see --help)"},
        {BCST_DUMP_EXE, {"--group", "239.50.4.9"}, 2, "bcst-dump: --group requires --port (see --help)"},
        {BCST_DUMP_EXE,
         {"--group", "10.0.0.1", "--port", "5000"},
         2,
         "bcst-dump: --group: not an IPv4 multicast group: 10.0.0.1"},
        {BCST_DUMP_EXE,
         {"--format", "both", "--pcap", File("empty.pcap")},
         2,
         "bcst-dump: --format: both not in {auto,input,output} (see --help)"},
        {BCST_DUMP_EXE,
         {"--count", "0", "--pcap", File("empty.pcap")},
         2,
         "bcst-dump: --count: 0 is not in 1..9223372036854775807 (see --help)"},
        {BCST_DUMP_EXE,
         {"--pcap", File("in.pcap"), "udp port"},
         2,
         "bcst-dump: filter 'udp port': can't parse filter expression: syntax error"},
        {BCST_DUMP_EXE,
         {"--pcap", File("in.pcap"), "-w", File("in.pcap")},
         2,
         "bcst-dump: -w: " + File("in.pcap") + " is the capture being read"},
        {BCST_DUMP_EXE,
         {"--group", "239.50.4.9", "--port", "5000", "--pcap-out", "-"},
         2,
         "bcst-dump: --pcap-out: the standard output carries the decoded records; use -w - to capture only"},
        {BCST_DUMP_EXE,
         {"--instance", "9", "--config", File("missing.ini")},
         2,
         "bcst-dump: --instance: " + File("missing.ini") + ": No such file or directory"},
        {BCST_DUMP_EXE,
         {"--instance", "3", "--config", File("bridge.ini")},
         2,
         "bcst-dump: --instance: " + File("bridge.ini") + " line 4 (instance 3): no such line"},
        {BCST_DUMP_EXE,
         {"--instance", "1", "--config", File("bridge.ini")},
         2,
         "bcst-dump: --instance: " + File("bridge.ini") +
             " line 2 (instance 1): a value is longer than the bridge accepts"},
        {BCST_DUMP_EXE,
         {"--instance", "2", "--config", File("bridge.ini")},
         2,
         "bcst-dump: --instance: " + File("bridge.ini") +
             " line 3 (instance 2): fewer than 5 fields, so no send group and port"},
        {BCST_DUMP_EXE,
         {"--pcap", File("missing.pcap")},
         1,
         "bcst-dump: " + File("missing.pcap") + ": No such file or directory"},
    };
    for (const Bad& b : bad) {
        std::vector<std::string> args = b.args;
        args.insert(args.begin(), b.tool);
        if (std::string(b.tool) == BCST_FEED_EXE) {
            args.push_back("--no-send");
        }
        const ToolResult r = RunTool(dir_.path(), args);
        EXPECT_EQ(r.status, b.status) << b.message;
        EXPECT_EQ(r.err, b.message + "\n");
        EXPECT_EQ(r.out, "") << b.message;
    }
    EXPECT_EQ(bcsttest::ReadFile(File("keep.pcap")), "an operator's capture")
        << "output created before the input failed";
    EXPECT_EQ(bcsttest::ReadFile(File("in.pcap")), inCapture) << "a capture written over itself";

    for (const char* tool : {BCST_FEED_EXE, BCST_DUMP_EXE, BCST_VERIFY_EXE}) {
        const ToolResult version = RunTool(dir_.path(), {tool, "--version"});
        EXPECT_EQ(version.status, 0);
        EXPECT_NE(version.out.find(" (bcstbridge) " BCST_PROJECT_VERSION "\n"), std::string::npos)
            << version.out;
    }
}

}  // namespace
