// End to end on loopback: bcst-feed drives a real bcstbridge, bcst-dump decodes what the bridge sends,
// and every decoded field equals the value worked out here from the simulated records, an instrument
// store kept by this test, and the old format's rules for each segment.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <set>

#include "support/bridge_rig.h"
#include "support/tool_output.h"

using namespace bcsttest;
using namespace std::chrono_literals;

namespace {

struct StoreEntry {
    int64_t open = 0, high = 0, low = 0, close = 0, ticker = 0;
};

struct ExpectedRecord {
    std::map<std::string, int64_t> numbers;
    std::string netChangeIndicator;
    std::vector<std::array<int64_t, 4>> levels;  // quantity, price, orders, buySellFlag
};

int Flag(int64_t bits, int n) {
    return static_cast<int>((bits >> n) & 1);
}

// The capital-market record: flag-derived codes, the low 16 bits of the token on the wire, store values
// looked up by the whole token, and the net change in hundredths of a percent against the closing price.
ExpectedRecord CapitalMarket(const Json& in, const std::map<int32_t, StoreEntry>& store) {
    ExpectedRecord e;
    const int64_t bits = in.Int("indicatorBits");
    static const int kStatus[2][2] = {{3, 2}, {6, 1}};
    const int status = kStatus[Flag(bits, 21)][Flag(bits, 22)];
    const auto token16 = static_cast<int16_t>(static_cast<uint16_t>(in.Int("token")));
    e.numbers["token"] = static_cast<uint16_t>(token16);
    e.numbers["tradingStatus"] = status;
    e.numbers["totalBuyFlag"] = Flag(bits, 20) + 2 * Flag(bits, 18);
    e.numbers["totalSellFlag"] = 2 * Flag(bits, 19);
    const std::vector<Json>& levels = in["levels"].items;
    for (int k = 0; k < 10; ++k) {
        const int flag = k < 5 ? Flag(bits, k) + 2 * Flag(bits, k + 5) : 2 * Flag(bits, k + 5);
        e.levels.push_back({levels[static_cast<size_t>(k)].Int("quantity"),
                            levels[static_cast<size_t>(k)].Int("price"),
                            levels[static_cast<size_t>(k)].Int("numberOfOrders"), flag});
    }
    StoreEntry s;
    const auto found = store.find(static_cast<int32_t>(in.Int("token")));
    if (found != store.end()) {
        s = found->second;
    }
    e.numbers["closingPrice"] = s.close;
    e.numbers["openPrice"] = s.open;
    e.numbers["highPrice"] = s.high;
    e.numbers["lowPrice"] = s.low;
    e.numbers["lastTradeQuantity"] = s.ticker;

    const bool fromOpen = status == 6 || status == 1;
    const int64_t reference = fromOpen ? s.open : in.Int("lastTradedPrice");
    e.netChangeIndicator = " ";
    e.numbers["netPriceChangeFromClosingPrice"] = 0;
    if (s.close != 0 && (!fromOpen || s.open != 0)) {
        e.netChangeIndicator = reference < s.close ? "-" : reference > s.close ? "+" : " ";
        const auto difference = static_cast<int32_t>(reference - s.close);
        const double scaled = static_cast<double>(difference) / static_cast<double>(s.close) * 10000.0;
        e.numbers["netPriceChangeFromClosingPrice"] =
            std::llabs(static_cast<long long>(scaled));  // truncated toward zero
    }
    e.numbers["messageLength"] = 466;
    return e;
}

// The derivatives record: whole token, fixed status and flags, and the closing price itself as the
// net change.
ExpectedRecord Derivatives(const Json& in, const std::map<int32_t, StoreEntry>& store) {
    ExpectedRecord e;
    e.numbers["token"] = in.Int("token");
    e.numbers["tradingStatus"] = 2;
    e.numbers["totalBuyFlag"] = 0;
    e.numbers["totalSellFlag"] = 0;
    for (const Json& level : in["levels"].items) {
        e.levels.push_back({level.Int("quantity"), level.Int("price"), level.Int("numberOfOrders"), 0});
    }
    StoreEntry s;
    const auto found = store.find(static_cast<int32_t>(in.Int("token")));
    if (found != store.end()) {
        s = found->second;
    }
    e.numbers["closingPrice"] = s.close;
    e.numbers["openPrice"] = s.open;
    e.numbers["highPrice"] = s.high;
    e.numbers["lowPrice"] = s.low;
    e.numbers["lastTradeQuantity"] = s.ticker;
    const int64_t last = in.Int("lastTradedPrice");
    e.netChangeIndicator = s.close == 0 ? " " : last < s.close ? "-" : last > s.close ? "+" : " ";
    e.numbers["netPriceChangeFromClosingPrice"] = s.close;
    e.numbers["messageLength"] = 470;
    return e;
}

// What the bridge sends for the simulated session: one datagram per pair of market-by-price records.
std::vector<std::vector<ExpectedRecord>> ExpectedOutput(const std::vector<Json>& session,
                                                        bool capitalMarket) {
    std::map<int32_t, StoreEntry> store;
    std::map<int64_t, std::vector<const Json*>> frames;
    for (const Json& r : session) {
        frames[r.Int("datagram")].push_back(&r);
    }
    std::vector<std::vector<ExpectedRecord>> datagrams;
    for (const auto& frame : frames) {
        const std::vector<const Json*>& records = frame.second;
        for (size_t i = 0; i < records.size(); ++i) {
            const Json& r = *records[i];
            const std::string kind = r.Str("kind");
            if (kind == "ohl") {
                StoreEntry& s = store[static_cast<int32_t>(r.Int("token"))];  // the ticker value stays
                s.open = r.Int("openPrice");
                s.high = r.Int("highPrice");
                s.low = r.Int("lowPrice");
                s.close = r.Int("closingPrice");
            } else if (kind == "ticker") {
                store[static_cast<int32_t>(r.Int("token"))].ticker = r.Int("tickerValue");
            } else if (i % 2 == 0) {
                const size_t inMessage = i + 1 < records.size() ? 2 : 1;
                std::vector<ExpectedRecord> datagram;
                for (size_t slot = 0; slot < inMessage; ++slot) {
                    const Json& in = *records[i + slot];
                    ExpectedRecord e = capitalMarket ? CapitalMarket(in, store) : Derivatives(in, store);
                    e.numbers["slot"] = static_cast<int64_t>(slot);
                    e.numbers["numberOfRecords"] = static_cast<int64_t>(inMessage);
                    e.numbers["transactionCode"] = 7208;
                    e.numbers["bookType"] = 1;
                    for (const char* copied :
                         {"volumeTradedToday", "lastTradedPrice", "lastTradeTime", "averageTradePrice",
                          "totalBuyQuantity", "totalSellQuantity"}) {
                        e.numbers[copied] = in.Int(copied);
                    }
                    for (const char* zero :
                         {"auctionNumber", "auctionStatus", "initiatorType", "initiatorPrice",
                          "initiatorQuantity", "auctionPrice", "auctionQuantity", "mbpIndicator"}) {
                        e.numbers[zero] = 0;
                    }
                    datagram.push_back(e);
                }
                datagrams.push_back(datagram);
            }
        }
    }
    return datagrams;
}

size_t Lines(const std::string& text) {
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

struct SegmentCase {
    const char* segment;
    const char* recvGroup;
    const char* sendGroup;
    const char* seed;
};

void PrintTo(const SegmentCase& c, std::ostream* os) {
    *os << c.segment;
}

class BridgeOutputDecoded : public ::testing::TestWithParam<SegmentCase> {};

TEST_P(BridgeOutputDecoded, EveryFieldAsTheFormatRulesGiveIt) {
    const SegmentCase& c = GetParam();
    const bool capitalMarket = std::string(c.segment) == "CM";
    bcsttest::TempDir work;

    bcsttest::BridgeRig rig(c.segment, "Y", c.recvGroup, c.sendGroup);
    ASSERT_TRUE(rig.WaitReady()) << rig.bridge.Log();
    const bcsttest::InstanceConfig& config = rig.config;
    const uint16_t wirePort = rig.wirePort;

    ToolProcess dump(work.path(),
                     {BCST_DUMP_EXE, "--group", c.sendGroup, "--port", std::to_string(wirePort), "--json"},
                     "dump");
    ASSERT_TRUE(
        bcsttest::WaitUntil([&] { return dump.Err().find("listening on") != std::string::npos; }, 10s))
        << dump.Err();

    const ToolResult feed = RunTool(
        work.path(), {BCST_FEED_EXE, "--group", c.recvGroup, "--port", std::to_string(config.recvPort),
                      "--seed", c.seed, "--instruments", "30", "--frames", "40", "--ticker-every", "3",
                      "--rate", "500", "--max-token", "200000", "--records-out", work.File("session.jsonl")});
    ASSERT_EQ(feed.status, 0) << feed.err;

    const std::vector<Json> session = ParseJsonLines(bcsttest::ReadFile(work.File("session.jsonl")));
    // Tokens beyond 16 bits, so the capital market's wire token alone does not name the instrument.
    ASSERT_TRUE(
        std::any_of(session.begin(), session.end(), [](const Json& r) { return r.Int("token") > 65535; }));
    const std::vector<std::vector<ExpectedRecord>> expected = ExpectedOutput(session, capitalMarket);
    size_t expectedRecords = 0;
    for (const auto& d : expected) {
        expectedRecords += d.size();
    }
    ASSERT_GT(expected.size(), 40u);
    EXPECT_TRUE(bcsttest::WaitUntil([&] { return Lines(dump.Out()) >= expectedRecords; }, 20s))
        << Lines(dump.Out()) << " of " << expectedRecords << " records decoded";
    ASSERT_TRUE(dump.Signal(SIGINT));
    ASSERT_EQ(dump.Wait(10s), 0) << dump.Err();

    const std::vector<Json> decoded = ParseJsonLines(dump.Out());
    ASSERT_EQ(decoded.size(), expectedRecords);
    size_t at = 0;
    std::set<std::string> indicators;
    std::set<int64_t> statuses;
    bool tickerSeen = false;
    for (size_t d = 0; d < expected.size(); ++d) {
        for (const ExpectedRecord& e : expected[d]) {
            const Json& got = decoded[at++];
            const std::string where =
                "datagram " + std::to_string(d) + " slot " + std::to_string(e.numbers.at("slot"));
            ASSERT_EQ(got.Str("kind"), "mbp_out") << where;
            EXPECT_EQ(got.Int("datagram"), static_cast<int64_t>(d)) << where;
            EXPECT_EQ(got.Int("length"), 512) << where;
            EXPECT_EQ(got.Str("segment"), c.segment) << where;
            for (const auto& field : e.numbers) {
                EXPECT_EQ(got.Int(field.first), field.second) << where << " " << field.first;
            }
            EXPECT_EQ(got.Str("netChangeIndicator"), e.netChangeIndicator) << where;
            const std::vector<Json>& levels = got["levels"].items;
            ASSERT_EQ(levels.size(), 10u) << where;
            for (size_t k = 0; k < 10; ++k) {
                EXPECT_EQ(levels[k].Int("quantity"), e.levels[k][0]) << where << " level " << k + 1;
                EXPECT_EQ(levels[k].Int("price"), e.levels[k][1]) << where << " level " << k + 1;
                EXPECT_EQ(levels[k].Int("numberOfOrders"), e.levels[k][2]) << where << " level " << k + 1;
                EXPECT_EQ(levels[k].Int("buySellFlag"), e.levels[k][3]) << where << " level " << k + 1;
            }
            indicators.insert(e.netChangeIndicator);
            statuses.insert(e.numbers.at("tradingStatus"));
            tickerSeen = tickerSeen || e.numbers.at("lastTradeQuantity") != 0;
        }
    }
    // The session reaches the cases that matter: prices on both sides of the close, ticker values,
    // and for the capital market the statuses whose change is measured from the open.
    EXPECT_TRUE(indicators.count("+") && indicators.count("-"));
    EXPECT_TRUE(tickerSeen);
    if (capitalMarket) {
        EXPECT_TRUE(statuses.count(6) || statuses.count(1))
            << "a session with an instrument outside status 2";
    }
    EXPECT_NE(dump.Err().find(std::to_string(expected.size()) + " output (" +
                              std::to_string(expected.size()) + " " + c.segment + ")"),
              std::string::npos)
        << dump.Err();
}

INSTANTIATE_TEST_SUITE_P(Segments, BridgeOutputDecoded,
                         ::testing::Values(SegmentCase{"CM", "239.50.1.1", "239.50.1.2", "3"},
                                           SegmentCase{"FO", "239.50.1.3", "239.50.1.4", "4"},
                                           SegmentCase{"CD", "239.50.1.5", "239.50.1.6", "5"}),
                         [](const ::testing::TestParamInfo<SegmentCase>& info) {
                             return info.param.segment;
                         });

}  // namespace
