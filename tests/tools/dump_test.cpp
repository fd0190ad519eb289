// bcst-dump: old-format datagrams written by the tests' oracle from the layout tables decode to the
// values put in; feed frames show as the bridge's intake takes them, over the intake's table of rules
// and against the intake itself on a mixed capture; malformed datagrams of every kind are reported and
// skipped; truncations, random and
// mutated datagrams and damaged captures never crash it; live decoding and capture on a group.
#include <gtest/gtest.h>

#include <csignal>
#include <random>

#include "app/counters.h"
#include "app/relay.h"
#include "app/statistics.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "support/expected_messages.h"
#include "support/frame_rules.h"
#include "support/pcap_files.h"
#include "support/tool_output.h"

using namespace bcsttest;
using bcsttest::PutBe16;
using bcsttest::PutBe32;
using bcsttest::PutLe16;
using bcsttest::PutLe32;
using namespace std::chrono_literals;

namespace {

constexpr size_t kHead = 6;  // frame head before the message

// A capital-market datagram with two records from the tests' oracle: every value a distinct number
// that bcst-dump must print back.
Bytes CapitalMarketDatagram() {
    Bytes message(474, 0);
    ExpectHeader(message, 466, 2);
    for (size_t slot = 0; slot < 2; ++slot) {
        FeedRecord in;
        in.token = slot == 0 ? 12345 : 40000;
        in.volume = 1000000 + static_cast<int32_t>(slot);
        in.lastTradedPrice = 123450;
        in.lastTradeTime = 1393751700;
        in.averageTradePrice = 123400;
        in.totalBuyQuantity = 0x0102030405060708ULL;
        in.totalSellQuantity = 9876543210ULL;
        Derived d;
        d.tradingStatus = slot == 0 ? 6 : 3;
        d.netChangeIndicator = slot == 0 ? '-' : ' ';
        d.netChange = slot == 0 ? 42 : 0;
        d.totalBuyFlag = 3;
        d.totalSellFlag = 2;
        d.store = {123500, 123000, 124000, -5, 75};  // a negative low shows the sign survives
        for (int k = 0; k < 10; ++k) {
            in.levels[k] = {100 * (k + 1), k < 5 ? 123445 - 5 * k : 123455 + 5 * (k - 5),
                            static_cast<int16_t>(k + 1)};
            d.buySell[k] = k < 5 ? 1 : 2;
        }
        ExpectRecordCM(message, 50 + 212 * slot, in, d);
    }
    return OutputDatagram(4, message);
}

// A derivatives datagram (segment "CO") with one record; the second slot stays zero.
Bytes DerivativesDatagram() {
    Bytes message(478, 0);
    ExpectHeader(message, 470, 1);
    FeedRecord in;
    in.token = 70000;
    in.volume = 5000;
    in.lastTradedPrice = 99900;
    in.lastTradeTime = 1393751760;
    in.averageTradePrice = 99500;
    in.totalBuyQuantity = 300;
    in.totalSellQuantity = 400;
    for (int k = 0; k < 10; ++k) {
        in.levels[k] = {7 * (k + 1), 99000 + k, static_cast<int16_t>(20 - k)};
    }
    Derived d = DerivativesRules(in, {99000, 98000, 100000, 97000, 25});
    ExpectRecordFO(message, 50, in, d);
    return OutputDatagram(8, message);
}

// A market-by-price feed frame of `count` records, each record's fields at the feed table's offsets.
Bytes FeedFrame(int16_t type, int16_t count, size_t recordSize, int16_t announcedCount) {
    Bytes payload(recordSize * static_cast<size_t>(count), 0);
    for (int16_t i = 0; i < count; ++i) {
        const size_t r = recordSize * static_cast<size_t>(i);
        PutLe32(payload, r, static_cast<uint32_t>(100 + i));
        for (size_t f = 4; f + 4 <= recordSize; f += 4) {
            PutLe32(payload, r + f, static_cast<uint32_t>(1000 * (i + 1) + f));
        }
    }
    return bcsttest::MakeFrame(type, announcedCount, bcsttest::CompressBlock(payload));
}

std::vector<PcapPacket> AsCapture(const std::vector<Bytes>& datagrams, uint16_t port = 5000) {
    std::vector<PcapPacket> packets;
    for (size_t i = 0; i < datagrams.size(); ++i) {
        Addressing to;
        to.destination = "239.50.3.9";
        to.destinationPort = port;
        to.id = static_cast<uint16_t>(i);
        PcapPacket p;
        p.seconds = 1700000000;
        p.micros = static_cast<uint32_t>(i);
        p.data = Ethernet(Ipv4Packet(to, datagrams[i]));
        packets.push_back(p);
    }
    return packets;
}

class DumpTool : public ::testing::Test {
  protected:
    ToolResult Dump(std::vector<std::string> args) {
        args.insert(args.begin(), BCST_DUMP_EXE);
        return RunTool(work.path(), args);
    }
    // bcst-dump --json over the datagrams; the records of each datagram by its index.
    std::map<int64_t, std::vector<Json>> DumpJson(const std::vector<Bytes>& datagrams,
                                                  std::vector<std::string> extra,
                                                  ToolResult* result = nullptr) {
        const std::string capture = work.File("d" + std::to_string(runs++) + ".pcap");
        WritePcap(capture, kLinkEthernet, AsCapture(datagrams));
        std::vector<std::string> args = {"--pcap", capture, "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const ToolResult r = Dump(args);
        EXPECT_EQ(r.status, 0) << r.err;
        std::map<int64_t, std::vector<Json>> byDatagram;
        for (const Json& j : ParseJsonLines(r.out)) {
            byDatagram[j.Int("datagram")].push_back(j);
        }
        if (result != nullptr) {
            *result = r;
        }
        return byDatagram;
    }

    bcsttest::TempDir work;
    int runs = 0;
};

TEST_F(DumpTool, OutputDatagramsDecodeToTheValuesAtTheirOffsets) {
    auto decoded = DumpJson({CapitalMarketDatagram(), DerivativesDatagram()}, {});
    ASSERT_EQ(decoded[0].size(), 2u);
    ASSERT_EQ(decoded[1].size(), 1u);

    const Json& cm = decoded[0][0];
    const std::map<std::string, int64_t> cmValues = {{"slot", 0},
                                                     {"transactionCode", 7208},
                                                     {"messageLength", 466},
                                                     {"numberOfRecords", 2},
                                                     {"token", 12345},
                                                     {"bookType", 1},
                                                     {"tradingStatus", 6},
                                                     {"volumeTradedToday", 1000000},
                                                     {"lastTradedPrice", 123450},
                                                     {"netPriceChangeFromClosingPrice", 42},
                                                     {"lastTradeQuantity", 75},
                                                     {"lastTradeTime", 1393751700},
                                                     {"averageTradePrice", 123400},
                                                     {"totalBuyFlag", 3},
                                                     {"totalSellFlag", 2},
                                                     {"totalBuyQuantity", 0x0102030405060708LL},
                                                     {"totalSellQuantity", 9876543210LL},
                                                     {"closingPrice", 123500},
                                                     {"openPrice", 123000},
                                                     {"highPrice", 124000},
                                                     {"lowPrice", -5},
                                                     {"auctionNumber", 0},
                                                     {"initiatorPrice", 0},
                                                     {"auctionQuantity", 0},
                                                     {"mbpIndicator", 0}};
    EXPECT_EQ(cm.Str("kind"), "mbp_out");
    EXPECT_EQ(cm.Str("segment"), "CM");
    EXPECT_EQ(cm.Str("netChangeIndicator"), "-");
    for (const auto& v : cmValues) {
        EXPECT_EQ(cm.Int(v.first), v.second) << v.first;
    }
    const std::vector<Json>& levels = cm["levels"].items;
    ASSERT_EQ(levels.size(), 10u);
    for (size_t k = 0; k < 10; ++k) {
        EXPECT_EQ(levels[k].Int("quantity"), static_cast<int64_t>(100 * (k + 1)));
        EXPECT_EQ(levels[k].Int("price"),
                  static_cast<int64_t>(k < 5 ? 123445 - 5 * k : 123455 + 5 * (k - 5)));
        EXPECT_EQ(levels[k].Int("numberOfOrders"), static_cast<int64_t>(k + 1));
        EXPECT_EQ(levels[k].Int("buySellFlag"), k < 5 ? 1 : 2);
    }
    const Json& second = decoded[0][1];
    EXPECT_EQ(second.Int("slot"), 1);
    EXPECT_EQ(second.Int("token"), 40000) << "the 16-bit token reads as an instrument number";
    EXPECT_EQ(second.Int("tradingStatus"), 3);
    EXPECT_EQ(second.Int("volumeTradedToday"), 1000001);
    EXPECT_EQ(second.Str("netChangeIndicator"), " ");

    const Json& fo = decoded[1][0];
    EXPECT_EQ(fo.Str("segment"), "CO");
    EXPECT_EQ(fo.Str("netChangeIndicator"), "+");
    const std::map<std::string, int64_t> foValues = {{"slot", 0},
                                                     {"messageLength", 470},
                                                     {"numberOfRecords", 1},
                                                     {"token", 70000},
                                                     {"bookType", 1},
                                                     {"tradingStatus", 2},
                                                     {"volumeTradedToday", 5000},
                                                     {"lastTradedPrice", 99900},
                                                     {"netPriceChangeFromClosingPrice", 99000},
                                                     {"lastTradeQuantity", 25},
                                                     {"lastTradeTime", 1393751760},
                                                     {"averageTradePrice", 99500},
                                                     {"totalBuyFlag", 0},
                                                     {"totalSellFlag", 0},
                                                     {"totalBuyQuantity", 300},
                                                     {"totalSellQuantity", 400},
                                                     {"closingPrice", 99000},
                                                     {"openPrice", 98000},
                                                     {"highPrice", 100000},
                                                     {"lowPrice", 97000}};
    for (const auto& v : foValues) {
        EXPECT_EQ(fo.Int(v.first), v.second) << v.first;
    }
    for (size_t k = 0; k < 10; ++k) {
        const Json& level = fo["levels"].items.at(k);
        EXPECT_EQ(level.Int("quantity"), static_cast<int64_t>(7 * (k + 1)));
        EXPECT_EQ(level.Int("price"), static_cast<int64_t>(99000 + k));
        EXPECT_EQ(level.Int("numberOfOrders"), static_cast<int64_t>(20 - k));
        EXPECT_EQ(level.Int("buySellFlag"), 0);
    }

    // The readable forms carry the same values.
    const ToolResult text = Dump({"--pcap", work.File("d0.pcap")});
    ASSERT_EQ(text.status, 0);
    EXPECT_NE(text.out.find("mbp_out CM slot 0 token 12345 status 6 ltp 123450 chg -42 ltq 75 vol 1000000 "
                            "o/h/l/c 123000/124000/-5/123500 bid 100@123445 ask 600@123455"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("mbp_out CO slot 0 token 70000 status 2 ltp 99900 chg +99000"),
              std::string::npos);
    const ToolResult verbose = Dump({"--pcap", work.File("d0.pcap"), "-v"});
    ASSERT_EQ(verbose.status, 0);
    EXPECT_NE(verbose.out.find("    totalBuyQuantity                72623859790382856\n"), std::string::npos)
        << verbose.out;
    EXPECT_NE(verbose.out.find("       10        1000      123475      10            2\n"),
              std::string::npos);
}

TEST_F(DumpTool, MalformedDatagramsAreReportedAndSkipped) {
    struct Case {
        Bytes datagram;
        std::vector<std::string> kinds;  // of the records printed for it
        std::string reason;              // part of the malformed report
    };
    const Bytes lz4Of280 = bcsttest::CompressBlock(Bytes(280, 1));
    Bytes unknownSegmentOutput(512, 0);
    PutBe16(unknownSegmentOutput, 2, 1);
    Bytes wrongCode = CapitalMarketDatagram();
    PutBe16(wrongCode, kHead + 18, 7207);
    Bytes threeRecords = CapitalMarketDatagram();
    PutBe16(threeRecords, kHead + 48, 3);
    Bytes foWithCmLength = DerivativesDatagram();
    PutBe16(foWithCmLength, kHead + 46, 466);
    Bytes almostOutput = CapitalMarketDatagram();
    almostOutput.pop_back();

    const std::vector<Case> cases = {
        {{}, {"malformed"}, "empty datagram"},
        {Bytes(5, 0x04), {"malformed"}, "short datagram: 5 bytes"},
        {bcsttest::MakeFrame(1234, 2, lz4Of280), {"malformed"}, "message type 1234"},
        {bcsttest::MakeFrame(10500, 0, lz4Of280), {"malformed"}, "record count 0"},
        {bcsttest::MakeFrame(10500, -2, lz4Of280), {"malformed"}, "not 140 bytes for each of -2 records"},
        {bcsttest::MakeFrameWithLength(10500, 100, 2, Bytes(10, 0)),
         {"malformed"},
         "past the 10 payload bytes"},
        {bcsttest::MakeFrameWithLength(10500, 0, 2, Bytes(10, 0)),
         {"malformed"},
         "compressed length 0 outside"},
        {bcsttest::MakeFrameWithLength(10500, 3000, 2, Bytes(3000, 0)),
         {"malformed"},
         "compressed length 3000"},
        {bcsttest::MakeFrame(10500, 1, Bytes(20, 0xFF)), {"malformed"}, "does not decode"},
        {bcsttest::MakeFrame(10500, 1, bcsttest::CompressBlock(Bytes(7000, 0))),
         {"malformed"},
         "does not decode"},
        {bcsttest::MakeFrame(10500, 2, bcsttest::CompressBlock(Bytes(282 + 140, 0))),
         {"malformed"},
         "decoded 422 bytes: not 140 bytes for each of 2 records"},
        // Store frames are taken whatever their count: records past the decoded bytes read as zeros.
        {FeedFrame(10750, 2, 28, 3), {"ohl", "ohl", "ohl"}, ""},
        {FeedFrame(10600, 1, 16, 2), {"ticker", "ticker"}, ""},
        {FeedFrame(10600, 3, 16, 1), {"ticker"}, ""},
        {wrongCode, {"malformed"}, "transaction code 7207"},
        {threeRecords, {"malformed"}, "with 3 records"},
        {foWithCmLength, {"malformed"}, "CO message length 466, not 470"},
        {unknownSegmentOutput, {"mbp_out"}, ""},
        {almostOutput, {"malformed"}, "record count 0"},  // the output frame head's bytes 4 and 5
        {FeedFrame(10500, 2, 140, 2), {"mbp_in", "mbp_in"}, ""},
    };
    std::vector<Bytes> datagrams;
    for (const Case& c : cases) {
        datagrams.push_back(c.datagram);
    }
    ToolResult result;
    auto decoded = DumpJson(datagrams, {}, &result);
    size_t malformed = 0;
    for (size_t i = 0; i < cases.size(); ++i) {
        const std::vector<Json>& records = decoded[static_cast<int64_t>(i)];
        ASSERT_EQ(records.size(), cases[i].kinds.size()) << "datagram " << i;
        for (size_t k = 0; k < records.size(); ++k) {
            EXPECT_EQ(records[k].Str("kind"), cases[i].kinds[k]) << "datagram " << i;
            EXPECT_EQ(records[k].Int("length"), static_cast<int64_t>(cases[i].datagram.size()));
            if (cases[i].kinds[k] == "malformed") {
                EXPECT_NE(records[k].Str("reason").find(cases[i].reason), std::string::npos)
                    << "datagram " << i << ": " << records[k].Str("reason");
            }
        }
        malformed += cases[i].reason.empty() ? 0 : 1;
    }
    EXPECT_EQ(decoded[11][2].Int("token"), 0) << "the third record lies wholly past the decoded bytes";
    EXPECT_EQ(decoded[11][2].Int("zeroFilledBytes"), 28);
    EXPECT_FALSE(decoded[11][1].Has("zeroFilledBytes"));
    EXPECT_EQ(decoded[12][1].Int("zeroFilledBytes"), 16);
    const ToolResult text = Dump({"--pcap", work.File("d0.pcap")});
    EXPECT_NE(text.out.find("#11 ohl     token 0 open 0 high 0 low 0 close 0 [zero-filled: 28 bytes past the "
                            "decoded payload]\n"),
              std::string::npos)
        << text.out;
    EXPECT_NE(text.out.find("#11 ohl     token 101 open 2004 high 2008 low 2012 close 2016\n"),
              std::string::npos);
    EXPECT_EQ(decoded[17][0].Str("segment"), "unknown");
    EXPECT_EQ(decoded[17][0].Int("numberOfRecords"), 0);
    EXPECT_EQ(decoded[19][1].Int("token"), 101);
    EXPECT_NE(result.err.find("; " + std::to_string(malformed) + " malformed"), std::string::npos)
        << result.err;

    // Forced to the output side, a feed frame and a bad segment code are malformed too.
    Bytes badSegment = CapitalMarketDatagram();
    badSegment[0] = 3;
    auto forced = DumpJson({FeedFrame(10500, 1, 140, 1), badSegment}, {"--format", "output"});
    EXPECT_NE(forced[0].at(0).Str("reason").find("not 512"), std::string::npos);
    EXPECT_NE(forced[1].at(0).Str("reason").find("segment code 3"), std::string::npos);
    // Forced to the input side, an output datagram is read as a frame header.
    auto asInput = DumpJson({CapitalMarketDatagram()}, {"--format", "input"});
    EXPECT_EQ(asInput[0].at(0).Str("kind"), "malformed");
}

// The words each refusal is reported with.
const char* ReasonOf(FrameVerdict verdict, size_t length) {
    switch (verdict) {
        case FrameVerdict::kRefusedZeroCount:
            return length == 0 ? "empty datagram" : "record count 0";
        case FrameVerdict::kRefusedUnknownType:
            return "is none of 10500, 10600, 10750";
        case FrameVerdict::kRefusedBadLength:
            return length < 6 ? "short datagram" : "compressed length";
        case FrameVerdict::kRefusedDecodeFailure:
            return "does not decode";
        case FrameVerdict::kRefusedWrongRecordSize:
            return "bytes for each of";
        case FrameVerdict::kAccepted:
            break;
    }
    return "";
}

TEST_F(DumpTool, EveryRuleOfTheIntakeTable) {
    const std::vector<FrameRule> table = FrameRuleTable();
    std::vector<Bytes> datagrams;
    for (const FrameRule& row : table) {
        datagrams.push_back(row.datagram);
    }
    ToolResult result;
    auto decoded = DumpJson(datagrams, {"--format", "input"}, &result);
    int64_t malformed = 0;
    for (size_t i = 0; i < table.size(); ++i) {
        const FrameRule& row = table[i];
        SCOPED_TRACE(row.what);
        const std::vector<Json>& records = decoded[static_cast<int64_t>(i)];
        ASSERT_FALSE(records.empty());
        if (row.verdict != FrameVerdict::kAccepted) {
            ++malformed;
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].Str("kind"), "malformed");
            EXPECT_NE(records[0].Str("reason").find(ReasonOf(row.verdict, row.datagram.size())),
                      std::string::npos)
                << records[0].Str("reason");
            continue;
        }
        const std::string kind = row.type == 10500 ? "mbp_in" : row.type == 10750 ? "ohl" : "ticker";
        if (row.records == 0) {
            ASSERT_EQ(records.size(), 1u);
            EXPECT_EQ(records[0].Str("kind"), kind);
            EXPECT_LT(records[0].Int("recordCount"), 0);
            EXPECT_FALSE(records[0].Has("token"));
            continue;
        }
        EXPECT_EQ(records.size(), static_cast<size_t>(row.records));
        int zeroFilled = 0;
        for (const Json& r : records) {
            EXPECT_EQ(r.Str("kind"), kind);
            zeroFilled += r.Has("zeroFilledBytes") ? 1 : 0;
        }
        EXPECT_EQ(zeroFilled, row.zeroFilledRecords);
    }
    EXPECT_NE(result.err.find("; " + std::to_string(malformed) + " malformed"), std::string::npos)
        << result.err;
    const ToolResult text = Dump({"--pcap", work.File("d0.pcap")});
    EXPECT_NE(text.out.find(" ticker  record count -32768: taken, no record applied\n"), std::string::npos);
}

// The intake in this process, fed the datagrams one by one as the relay loop does: which it refused,
// and the tokens of the messages it sent for each.
struct IntakeRun {
    std::vector<bool> refused;
    std::vector<std::vector<int64_t>> sentTokens;
};
IntakeRun RunIntake(const std::vector<Bytes>& datagrams) {
    IntakeRun run;
    ResetBridgeState("CM");
    static char buffer[kReceiveBufferSize];
    static char decoded[kDecompressBufferSize];
    static OutputBatch batch;
    for (const Bytes& d : datagrams) {
        memset(buffer, 0, sizeof buffer);
        std::copy(d.begin(), d.end(), buffer);
        const FrameClass c =
            ConvertNewMktData(buffer, static_cast<int>(d.size()), OutputSegment(), decoded, &batch);
        run.refused.push_back(c.verdict != FrameVerdict::kAccepted);
        run.sentTokens.emplace_back();
        for (int k = 0; k < batch.count; ++k) {
            const Bytes sent(batch.Datagram(k), batch.Datagram(k) + kOutputFrameSize);
            // A capital-market message: the record count at 48, the 16-bit tokens of its records from 50 on.
            for (uint16_t slot = 0; slot < GetBe16(sent, 6 + 48); ++slot) {
                run.sentTokens.back().push_back(GetBe16(sent, 6 + 50 + 212 * slot));
            }
        }
    }
    return run;
}

TEST_F(DumpTool, AgreesWithTheIntakeOnAMixedCapture) {
    // Good frames of every type, store frames announcing more records than they carry (past the
    // decoded bytes, and past the buffer), a negative count, refused frames of every kind, and frames
    // cut short in transit.
    Bytes ohl;
    for (int i = 0; i < 3; ++i) {
        const Bytes r = EncodeOhlRecord(300 + i, 1000 + i, 1100 + i, 900 + i, 1050 + i, i, -i);
        ohl.insert(ohl.end(), r.begin(), r.end());
    }
    Bytes tickers = EncodeTickerRecord(300, 77);
    const Bytes more = EncodeTickerRecord(555, 55);
    tickers.insert(tickers.end(), more.begin(), more.end());
    Bytes partialOhl = EncodeOhlRecord(400, 4, 4, 4, 4, 4, 4);
    partialOhl.resize(28 + 8, 0x11);  // the second record's token and open price only
    const Bytes mbp = FeedFrame(10500, 3, 140, 3);
    const Bytes store = bcsttest::MakeFrame(10750, 2, bcsttest::CompressBlock(ohl));
    const std::vector<Bytes> capture = {
        mbp,
        bcsttest::MakeFrame(10750, 3, bcsttest::CompressBlock(ohl)),
        bcsttest::MakeFrame(10750, 5, bcsttest::CompressBlock(ohl)),         // two records past the bytes
        bcsttest::MakeFrame(10600, 4, bcsttest::CompressBlock(tickers)),     // two records past the bytes
        bcsttest::MakeFrame(10750, 2, bcsttest::CompressBlock(partialOhl)),  // one partly decoded
        bcsttest::MakeFrame(10600, 400, bcsttest::CompressBlock(tickers)),   // cut to 375
        bcsttest::MakeFrame(10600, -3, bcsttest::CompressBlock(tickers)),    // taken, nothing applied
        FeedFrame(10500, 2, 140, 2),
        bcsttest::MakeFrame(10500, 0, bcsttest::CompressBlock(ohl)),
        bcsttest::MakeFrame(4242, 1, bcsttest::CompressBlock(ohl)),
        bcsttest::MakeFrameWithLength(10750, 2600, 2, ohl),
        bcsttest::MakeFrame(10600, 1, Bytes(12, 0xFF)),
        bcsttest::MakeFrame(10500, 2, bcsttest::CompressBlock(Bytes(282, 1))),
        bcsttest::MakeFrame(10500, -1, bcsttest::CompressBlock(Bytes(140, 1))),
        Bytes(mbp.begin(), mbp.end() - 1),
        Bytes(store.begin(), store.begin() + 4),
        Bytes{},
        FeedFrame(10500, 1, 140, 1),
    };
    auto decoded = DumpJson(capture, {"--format", "input"});
    ASSERT_EQ(decoded.size(), capture.size());

    ScopedWorkingDir scratch;  // the intake's log
    const IntakeRun intake = RunIntake(capture);

    // Each datagram refused by both or by neither; the same market-by-price records, in order; and the
    // store the intake built is the one bcst-dump's records build.
    std::map<int32_t, NEW_MKT_MAP_DATA> model;
    size_t refused = 0;
    for (size_t i = 0; i < capture.size(); ++i) {
        SCOPED_TRACE("datagram " + std::to_string(i));
        const std::vector<Json>& records = decoded[static_cast<int64_t>(i)];
        ASSERT_FALSE(records.empty());
        const bool malformed = records[0].Str("kind") == "malformed";
        EXPECT_EQ(malformed, intake.refused[i]) << records[0].Str("kind");
        refused += malformed ? 1 : 0;
        std::vector<int64_t> mbpTokens;
        for (const Json& r : records) {
            if (r.Str("kind") == "mbp_in") {
                mbpTokens.push_back(r.Int("token"));
            } else if (r.Str("kind") == "ohl" && r.Has("token")) {
                NEW_MKT_MAP_DATA& e = model[static_cast<int32_t>(r.Int("token"))];
                e.token = static_cast<int32_t>(r.Int("token"));
                e.openPrice = static_cast<int32_t>(r.Int("openPrice"));
                e.highPrice = static_cast<int32_t>(r.Int("highPrice"));
                e.lowPrice = static_cast<int32_t>(r.Int("lowPrice"));
                e.closingPrice = static_cast<int32_t>(r.Int("closingPrice"));
                e.ohlExtra1 = static_cast<int32_t>(r.Int("ohlExtra1"));
                e.ohlExtra2 = static_cast<int32_t>(r.Int("ohlExtra2"));
            } else if (r.Str("kind") == "ticker" && r.Has("token")) {
                NEW_MKT_MAP_DATA& e = model[static_cast<int32_t>(r.Int("token"))];
                e.token = static_cast<int32_t>(r.Int("token"));
                e.tickerValue = static_cast<int32_t>(r.Int("tickerValue"));
            }
        }
        EXPECT_EQ(mbpTokens, intake.sentTokens[i]);
    }
    EXPECT_EQ(refused, 9u);
    ASSERT_EQ(gOHLMapData.size(), model.size());
    EXPECT_EQ(model.count(0), 1u) << "records past the decoded bytes are token 0";
    for (const auto& [token, want] : model) {
        SCOPED_TRACE("token " + std::to_string(token));
        ASSERT_EQ(gOHLMapData.count(token), 1u);
        const NEW_MKT_MAP_DATA& got = gOHLMapData.at(token);
        EXPECT_EQ(memcmp(&got, &want, sizeof want), 0)
            << got.openPrice << " " << want.openPrice << " " << got.tickerValue << " " << want.tickerValue;
    }
    ResetBridgeState("CM");
}

TEST_F(DumpTool, EveryTruncationIsReported) {
    const Bytes frame = FeedFrame(10500, 2, 140, 2);
    const Bytes output = CapitalMarketDatagram();
    std::vector<Bytes> datagrams;
    for (size_t n = 0; n < frame.size(); ++n) {
        datagrams.emplace_back(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
    }
    for (size_t n = 0; n < output.size(); ++n) {
        datagrams.emplace_back(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(n));
    }
    datagrams.push_back(frame);
    datagrams.push_back(output);
    for (const char* format : {"auto", "output"}) {
        auto decoded = DumpJson(datagrams, {"--format", format});
        ASSERT_EQ(decoded.size(), datagrams.size()) << format;
        for (size_t i = 0; i + 2 < datagrams.size(); ++i) {
            ASSERT_EQ(decoded[static_cast<int64_t>(i)].size(), 1u) << format << " " << i;
            EXPECT_EQ(decoded[static_cast<int64_t>(i)][0].Str("kind"), "malformed") << format << " " << i;
        }
        const std::vector<Json>& whole = decoded[static_cast<int64_t>(datagrams.size() - 1)];
        EXPECT_EQ(whole.size(), 2u);
        EXPECT_EQ(whole[0].Str("kind"), "mbp_out");
    }
}

TEST_F(DumpTool, RandomAndMutatedDatagramsNeverCrashIt) {
    std::mt19937 random(20240301);
    auto below = [&random](size_t n) { return static_cast<size_t>(random() % n); };
    const Bytes frame = FeedFrame(10500, 3, 140, 3);
    const Bytes ohl = FeedFrame(10750, 4, 28, 4);
    const Bytes output = CapitalMarketDatagram();
    std::vector<Bytes> datagrams;
    for (int i = 0; i < 1500; ++i) {
        // Random bytes, or a copy of one of the valid datagrams to damage.
        const Bytes* const valid[] = {nullptr, &frame, &ohl, &output};
        Bytes d = i % 4 == 0 ? Bytes(below(2600)) : *valid[i % 4];
        if (i % 4 == 0) {
            for (uint8_t& b : d) {
                b = static_cast<uint8_t>(random());
            }
        } else {
            for (size_t flips = 1 + below(6); flips > 0; --flips) {
                d[below(d.size())] ^= static_cast<uint8_t>(1 + below(255));
            }
            if (below(4) == 0) {
                d.resize(below(d.size() + 1));
            }
        }
        datagrams.push_back(d);
    }
    auto decoded = DumpJson(datagrams, {});
    EXPECT_EQ(decoded.size(), datagrams.size()) << "at least one line for every datagram";
    const std::set<std::string> kinds = {"mbp_in", "ohl", "ticker", "mbp_out", "malformed"};
    for (const auto& d : decoded) {
        for (const Json& r : d.second) {
            EXPECT_EQ(kinds.count(r.Str("kind")), 1u) << r.Str("kind");
            if (r.Str("kind") == "malformed") {
                EXPECT_FALSE(r.Str("reason").empty());
            }
        }
    }
    // The readable forms walk the same records.
    EXPECT_EQ(Dump({"--pcap", work.File("d0.pcap"), "-v"}).status, 0);
    EXPECT_EQ(Dump({"--pcap", work.File("d0.pcap"), "--format", "output"}).status, 0);
}

TEST_F(DumpTool, DamagedCapturesEndWithAnErrorAfterWhatWasReadable) {
    const std::vector<Bytes> datagrams = {FeedFrame(10500, 1, 140, 1), FeedFrame(10750, 1, 28, 1),
                                          FeedFrame(10600, 1, 16, 1), FeedFrame(10500, 2, 140, 2),
                                          CapitalMarketDatagram()};
    std::vector<PcapPacket> packets = AsCapture(datagrams);
    // One packet cut by the capture's snapshot length: reported, the rest decoded.
    packets[1].wireLength = static_cast<uint32_t>(packets[1].data.size());
    packets[1].data.resize(packets[1].data.size() - 3);
    WritePcap(work.File("whole.pcap"), kLinkEthernet, packets);
    const ToolResult whole = Dump({"--pcap", work.File("whole.pcap"), "--json"});
    ASSERT_EQ(whole.status, 0) << whole.err;
    std::vector<Json> records = ParseJsonLines(whole.out);
    ASSERT_EQ(records.size(), 7u);
    EXPECT_EQ(records[1].Str("kind"), "malformed");
    EXPECT_NE(records[1].Str("reason").find("snapshot length"), std::string::npos);

    const std::string file = bcsttest::ReadFile(work.File("whole.pcap"));
    const size_t fourth =
        24 + 16 * 3 + packets[0].data.size() + packets[1].data.size() + packets[2].data.size();
    struct Cut {
        const char* name;
        size_t size;
        size_t recordsBefore;
    };
    for (const Cut& cut : {Cut{"in a packet", fourth + 16 + 30, 3}, Cut{"in a packet header", fourth + 7, 3},
                           Cut{"in the file header", 10, 0}, Cut{"empty", 0, 0}}) {
        bcsttest::WriteFile(work.File("cut.pcap"), file.substr(0, cut.size));
        const ToolResult r = Dump({"--pcap", work.File("cut.pcap"), "--json"});
        EXPECT_EQ(r.status, 1) << cut.name;
        EXPECT_NE(r.err.find("cut.pcap"), std::string::npos) << cut.name << ": " << r.err;
        EXPECT_EQ(ParseJsonLines(r.out).size(), cut.recordsBefore) << cut.name;
    }
    bcsttest::WriteFile(work.File("text.pcap"), "these bytes are no capture at all, just some text to read");
    EXPECT_EQ(Dump({"--pcap", work.File("text.pcap")}).status, 1);
}

TEST_F(DumpTool, LiveFromAGroupWithItsOwnCapture) {
    const std::string group = "239.50.3.1";
    const uint16_t port = bcsttest::FreeUdpPort();
    ToolProcess dump(work.path(),
                     {BCST_DUMP_EXE, "--group", group, "--port", std::to_string(port), "--interface",
                      "127.0.0.1", "--json", "--count", "4", "--pcap-out", work.File("live.pcap")},
                     "live");
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s))
        << dump.Err();
    Bytes zeroSegment(512, 0);
    PutBe16(zeroSegment, 2, 1);
    const std::vector<Bytes> sent = {Bytes(3, 0x29), bcsttest::MakeFrame(10500, 1, Bytes(20, 0xFF)),
                                     FeedFrame(10500, 1, 140, 1), zeroSegment};
    bcsttest::MulticastSender sender(group, port);
    for (const Bytes& d : sent) {
        ASSERT_TRUE(sender.Send(d));
    }
    ASSERT_EQ(dump.Wait(10s), 0) << "ends by itself after --count datagrams: " << dump.Err();
    const std::vector<Json> records = ParseJsonLines(dump.Out());
    std::vector<std::string> kinds;
    for (const Json& r : records) {
        kinds.push_back(r.Str("kind"));
    }
    EXPECT_EQ(kinds, (std::vector<std::string>{"malformed", "malformed", "mbp_in", "mbp_out"}));
    EXPECT_NE(
        dump.Err().find("bcst-dump: 4 datagrams: 1 market-by-price, 0 open/high/low, 0 ticker, 1 output "
                        "(1 unknown); 1 records; 2 malformed"),
        std::string::npos)
        << dump.Err();
    EXPECT_EQ(UdpPayloadsOf(work.File("live.pcap"), group, port), sent);

    // A time limit ends a quiet session cleanly.
    const ToolResult quiet = RunTool(
        work.path(), {BCST_DUMP_EXE, "--group", group, "--port", std::to_string(port), "--duration", "0.2"});
    EXPECT_EQ(quiet.status, 0) << quiet.err;
    EXPECT_NE(quiet.err.find("bcst-dump: 0 datagrams"), std::string::npos) << quiet.err;

    // -i names the interface, as capture tools spell it.
    struct Spelling {
        std::string interface;
        int status;
        std::string err;
    };
    for (const Spelling& s :
         {Spelling{"lo", 0, "bcst-dump: 0 datagrams"},
          Spelling{"3", 2,
                   "bcst-dump: --interface: '3' is neither an IPv4 address nor an interface (an "
                   "instance is --instance 3)\n"}}) {
        const ToolResult r =
            RunTool(work.path(), {BCST_DUMP_EXE, "--group", group, "--port", std::to_string(port), "-i",
                                  s.interface, "--duration", "0.2"});
        EXPECT_EQ(r.status, s.status) << s.interface << ": " << r.err;
        EXPECT_NE(r.err.find(s.err), std::string::npos) << s.interface << ": " << r.err;
    }
}

}  // namespace
