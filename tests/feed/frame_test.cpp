// Frame intake: the classifier and the intake over every rule of the shared table (which frames are
// refused, with which log lines and counters, what is applied), and what a frame cut short does. Frames lie
// at the start of a zeroed 2,500-byte buffer and come with the datagram's length, as the relay loop hands
// them over.
#include "feed/frame.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "app/counters.h"
#include "app/log.h"
#include "app/relay.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "support/expected_messages.h"
#include "support/frame_rules.h"
#include "support/test_support.h"

using namespace bcsttest;

namespace {

const char kLengthLine[] =
    "DecompressNewMktData - Compress Length should be less than 0 and greater than equal to 2500";
const char kSizeLine[] = "ProcessNewMktData :  Decompression Size should be greater than 0 ";
const char kNullLine[] = "ProcessNewMktData : Input parameter is NULL ";

constexpr int16_t kMbp = 10500;
constexpr int16_t kTicker = 10600;
constexpr int16_t kOhl = 10750;

std::vector<Bytes> gCaptured;  // what the bridge's sending socket put on the wire

class FrameIntake : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBridgeState("CM");
        gCaptured.clear();
        output_ = std::make_unique<LoopbackOutput>("239.40.9.3");
        ASSERT_TRUE(output_->ready()) << gcaLogMessage;
        RemoveLogFiles(workingDir_.dir().path());  // the socket's set-up entries
    }
    void TearDown() override { output_.reset(); }

    // Hands `datagram` over the way the relay loop does: at the start of a zeroed 2,500-byte buffer,
    // with its length; what it sent is added to gCaptured.
    int Feed(const Bytes& datagram) {
        std::vector<char> buffer(2500, 0);
        const size_t length = std::min<size_t>(datagram.size(), buffer.size());
        std::copy_n(datagram.begin(), length, buffer.begin());
        const int result = ProcessNewMktData(buffer.data(), static_cast<int>(length));
        for (Bytes& d : output_->Take()) {
            gCaptured.push_back(std::move(d));
        }
        return result;
    }

    std::vector<std::string> Log() const {
        const std::string file = FindLogFile(workingDir_.dir().path());
        return file.empty() ? std::vector<std::string>{} : LogMessages(ReadFile(file));
    }

    // Log entries written since the log held `before` entries.
    std::vector<std::string> LogSince(size_t before) const {
        const std::vector<std::string> all = Log();
        return before <= all.size()
                   ? std::vector<std::string>(all.begin() + static_cast<long>(before), all.end())
                   : std::vector<std::string>{};
    }

    static void ExpectUntouched() {
        EXPECT_EQ(glReceivedPktCount.load(), 0);
        EXPECT_EQ(glSentPktCount.load(), 0);
        EXPECT_TRUE(gCaptured.empty());
        EXPECT_TRUE(gOHLMapData.empty());
    }

    ScopedWorkingDir workingDir_;
    std::unique_ptr<LoopbackOutput> output_;
};

// The log's clock moves on a second at every reading, so that no refusal here counts as a repeat.
time_t gSteppedNow = 1781524800;  // 15 June 2026, 12:00 UTC: the sweeps stay inside one day
time_t SteppedClock() {
    return gSteppedNow++;
}

// The counter each verdict moves, and the log lines the intake writes for it.
CounterId CounterOf(FrameVerdict verdict, int16_t type) {
    switch (verdict) {
        case FrameVerdict::kRefusedZeroCount:
            return kCounterRefusedZeroCount;
        case FrameVerdict::kRefusedUnknownType:
            return kCounterRefusedUnknownType;
        case FrameVerdict::kRefusedBadLength:
            return kCounterRefusedBadLength;
        case FrameVerdict::kRefusedDecodeFailure:
            return kCounterRefusedDecodeFailure;
        case FrameVerdict::kRefusedWrongRecordSize:
            return kCounterRefusedWrongRecordSize;
        case FrameVerdict::kAccepted:
            break;
    }
    return type == kMbp ? kCounterFramesMbp : type == kOhl ? kCounterFramesOhl : kCounterFramesTicker;
}

std::vector<std::string> LinesOf(FrameVerdict verdict) {
    switch (verdict) {
        case FrameVerdict::kRefusedBadLength:
            return {kLengthLine, kSizeLine};
        case FrameVerdict::kRefusedDecodeFailure:
            return {kSizeLine};
        default:
            return {};
    }
}

TEST_F(FrameIntake, EveryRuleOfTheTable) {
    const std::vector<FrameRule> table = FrameRuleTable();
    std::set<std::pair<int, int16_t>> covered;  // every verdict, and acceptance of every type
    for (const FrameRule& row : table) {
        covered.insert({static_cast<int>(row.verdict), row.type});
    }
    ASSERT_EQ(covered.size(), 8u);
    const Bytes minusOne = MakeFrameWithLength(kMbp, -1, 18, LongestPayload());  // the length rows' -1
    ASSERT_EQ(minusOne[2], 0xFF);
    ASSERT_EQ(minusOne[3], 0xFF);
    static char decoded[kDecompressBufferSize];
    constexpr CounterId kWatched[] = {kCounterFramesMbp,
                                      kCounterFramesOhl,
                                      kCounterFramesTicker,
                                      kCounterRefusedUnknownType,
                                      kCounterRefusedZeroCount,
                                      kCounterRefusedBadLength,
                                      kCounterRefusedDecodeFailure,
                                      kCounterRefusedWrongRecordSize};
    gLogTimeSource = SteppedClock;
    for (const FrameRule& row : table) {
        SCOPED_TRACE(row.what);
        ResetBridgeState("CM");
        gCaptured.clear();

        // The classifier, on the datagram as the relay loop holds it.
        std::vector<char> buffer(2500, 0);
        std::copy(row.datagram.begin(), row.datagram.end(), buffer.begin());
        memset(decoded, 0x5A, sizeof decoded);
        const FrameClass c =
            ClassifyNewMktData(buffer.data(), static_cast<int>(row.datagram.size()), decoded);
        EXPECT_EQ(static_cast<int>(c.verdict), static_cast<int>(row.verdict));
        if (c.verdict != row.verdict) {
            continue;
        }
        if (row.verdict == FrameVerdict::kAccepted) {
            EXPECT_EQ(c.type, row.type);
            EXPECT_EQ(c.records, row.records);
            int zeroFilled = 0;
            for (int i = 0; i < c.records; ++i) {
                zeroFilled += (i + 1) * c.recordSize > c.decoded ? 1 : 0;
            }
            EXPECT_EQ(zeroFilled, row.zeroFilledRecords);
            // Past the decoded bytes the area reads as zeros, as the store reads it.
            EXPECT_TRUE(std::all_of(decoded + c.decoded, decoded + kDecompressBufferSize,
                                    [](char b) { return b == 0; }));
        }
        // The decode step on its own agrees for every frame that reaches the decoder.
        if (row.datagram.size() >= 6 &&
            (c.verdict == FrameVerdict::kAccepted || c.verdict == FrameVerdict::kRefusedWrongRecordSize)) {
            EXPECT_EQ(DecompressNewMktData(reinterpret_cast<const NEW_MKT_BCAST_DATA*>(buffer.data()),
                                           static_cast<int>(row.datagram.size()), decoded),
                      c.decoded);
        }

        // The intake: what the verdict says, and nothing else.
        int64_t before[std::size(kWatched)];
        for (size_t k = 0; k < std::size(kWatched); ++k) {
            before[k] = CounterValue(kWatched[k]);
        }
        const size_t logged = Log().size();
        const bool failed = row.verdict == FrameVerdict::kRefusedBadLength ||
                            row.verdict == FrameVerdict::kRefusedDecodeFailure;
        EXPECT_EQ(Feed(row.datagram), failed ? 1 : 0);
        EXPECT_EQ(LogSince(logged), LinesOf(row.verdict));
        const CounterId moved = CounterOf(row.verdict, row.type);
        for (size_t k = 0; k < std::size(kWatched); ++k) {
            EXPECT_EQ(CounterValue(kWatched[k]) - before[k], kWatched[k] == moved ? 1 : 0) << kWatched[k];
        }
        EXPECT_EQ(glSentPktCount.load(), static_cast<int64_t>(gCaptured.size()));
        if (row.verdict == FrameVerdict::kAccepted && row.type == kMbp) {
            EXPECT_EQ(glReceivedPktCount.load(), 1);
            EXPECT_EQ(gCaptured.size(), static_cast<size_t>((row.records + 1) / 2));
            ASSERT_FALSE(gCaptured.empty());
            // The records used are the first 140 x count bytes; an excess is ignored.
            EXPECT_EQ(GetBe16(gCaptured.back(), 6 + 48), row.records % 2 == 0 ? 2 : 1);
            EXPECT_EQ(GetBe16(gCaptured.back(), 6 + 50), 1000 + 2 * (static_cast<int>(gCaptured.size()) - 1));
            EXPECT_TRUE(gOHLMapData.empty());
        } else if (row.verdict == FrameVerdict::kAccepted) {
            // Store frames are never counted and send nothing; they apply their records.
            EXPECT_EQ(glReceivedPktCount.load(), 0);
            EXPECT_TRUE(gCaptured.empty());
            EXPECT_EQ(gOHLMapData.empty(), row.records == 0);
        } else {
            ExpectUntouched();
        }
    }
    gLogTimeSource = [] { return time(nullptr); };
}

TEST_F(FrameIntake, NullFrameIsReported) {
    EXPECT_EQ(ProcessNewMktData(nullptr), 1);
    EXPECT_EQ(Log(), std::vector<std::string>{kNullLine});
    ExpectUntouched();
}

TEST_F(FrameIntake, PayloadFillingTheReceiveBufferIsAccepted) {
    const Bytes frame = MakeFrame(kMbp, 18, LongestPayload());
    ASSERT_EQ(frame.size(), 2500u);
    EXPECT_EQ(Feed(frame), 0);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(glReceivedPktCount.load(), 1);
    ASSERT_EQ(gCaptured.size(), 9u);
    const std::vector<FeedRecord> records = LongestFrameRecords();
    EXPECT_EQ(gCaptured[8], ExpectedCmDatagram({ExpectedCmSlot{records[16], {}, ' ', 0},
                                                ExpectedCmSlot{records[17], {}, ' ', 0}}))
        << HexDump(gCaptured[8]);

    // Store frames take the same path up to the decoder.
    EXPECT_EQ(Feed(MakeFrame(kTicker, 1, LongestPayload())), 0);
    EXPECT_EQ(Feed(MakeFrame(kOhl, 1, LongestPayload())), 0);
    EXPECT_EQ(gOHLMapData.count(1000), 1u);
    EXPECT_TRUE(Log().empty());
    EXPECT_EQ(glReceivedPktCount.load(), 1);
}

TEST_F(FrameIntake, DecodedSizesUpToTheBufferAreAccepted) {
    // 6,000 bytes: the whole decompression buffer. Ticker record 375 ends at its last byte.
    Bytes tickers(6000, 0);
    const Bytes first = EncodeTickerRecord(5000, 1);
    const Bytes last = EncodeTickerRecord(5374, 374);
    std::copy(first.begin(), first.end(), tickers.begin());
    std::copy(last.begin(), last.end(), tickers.end() - 16);
    EXPECT_EQ(Feed(MakeFrame(kTicker, 375, CompressBlock(tickers))), 0);
    ASSERT_EQ(gOHLMapData.size(), 3u);  // 5000, 5374, and token 0 for the 373 zero records between
    EXPECT_EQ(gOHLMapData.at(5000).tickerValue, 1);
    EXPECT_EQ(gOHLMapData.at(5374).tickerValue, 374);
    EXPECT_EQ(gOHLMapData.at(0).tickerValue, 0);

    // 42 market-by-price records, 5,880 bytes: 21 datagrams.
    EXPECT_EQ(Feed(MakeFrame(kMbp, 42, CompressBlock(EncodeFeedRecords(DistinctRecords(42))))), 0);
    EXPECT_EQ(glReceivedPktCount.load(), 1);
    EXPECT_EQ(gCaptured.size(), 21u);
    EXPECT_TRUE(Log().empty());
}

TEST_F(FrameIntake, StoreFramesUpdateTheStoreAndAreNeverCounted) {
    Bytes ohl = EncodeOhlRecord(11, 100, 110, 90, 105, 1, 2);
    const Bytes second = EncodeOhlRecord(-12, 200, 210, 190, 205, 3, 4);
    ohl.insert(ohl.end(), second.begin(), second.end());
    Bytes tickers = EncodeTickerRecord(11, 1111, 0xDEADBEEF, 0xCAFEF00D);
    const Bytes moreTickers = EncodeTickerRecord(13, 1313);
    tickers.insert(tickers.end(), moreTickers.begin(), moreTickers.end());

    EXPECT_EQ(Feed(MakeFrame(kOhl, 2, CompressBlock(ohl))), 0);
    EXPECT_EQ(Feed(MakeFrame(kTicker, 2, CompressBlock(tickers))), 0);
    ASSERT_EQ(gOHLMapData.size(), 3u);
    const NEW_MKT_MAP_DATA& eleven = gOHLMapData.at(11);
    EXPECT_EQ(eleven.openPrice, 100);
    EXPECT_EQ(eleven.highPrice, 110);
    EXPECT_EQ(eleven.lowPrice, 90);
    EXPECT_EQ(eleven.closingPrice, 105);
    EXPECT_EQ(eleven.tickerValue, 1111);
    EXPECT_EQ(gOHLMapData.at(-12).closingPrice, 205);
    EXPECT_EQ(gOHLMapData.at(13).tickerValue, 1313);
    EXPECT_EQ(gOHLMapData.at(13).closingPrice, 0);

    // More records than decoded: those wholly after the decoded bytes read as token 0, all zero.
    EXPECT_EQ(Feed(MakeFrame(kTicker, 4, CompressBlock(EncodeTickerRecord(14, 1414)))), 0);
    ASSERT_EQ(gOHLMapData.count(0), 1u);
    EXPECT_EQ(gOHLMapData.at(0).tickerValue, 0);
    EXPECT_EQ(gOHLMapData.size(), 5u);

    EXPECT_EQ(glReceivedPktCount.load(), 0);
    EXPECT_EQ(glSentPktCount.load(), 0);
    EXPECT_TRUE(gCaptured.empty());
    EXPECT_TRUE(Log().empty());
}

TEST_F(FrameIntake, BytesADecodeWrotePastItsSizeDoNotShowInTheNextFrame) {
    // liblz4 copies matches and literals in wide chunks and may write past the decoded size inside
    // the output area: here 8 literals and a 4-byte match at distance 8, then 6 literals, decode to
    // 18 bytes but leave the match's chunk copy in bytes 18 to 25.
    const Bytes overshooting = {0x80, 'A',  'B',  'C', 'D', 'E', 'F', 'G', 'H',
                                0x08, 0x00, 0x60, '1', '2', '3', '4', '5', '6'};
    EXPECT_EQ(Feed(MakeFrame(kTicker, 1, overshooting)), 0);
    ASSERT_EQ(gOHLMapData.size(), 1u);  // token "ABCD"

    // The next frame decodes 16 bytes (one ticker record) and claims two: its second record lies
    // wholly after the decoded bytes, in a buffer cleared before the decode, so it is token 0.
    EXPECT_EQ(Feed(MakeFrame(kTicker, 2, LiteralBlock(EncodeTickerRecord(0x777, 5)))), 0);
    std::vector<int32_t> tokens;
    for (const auto& entry : gOHLMapData) {
        tokens.push_back(entry.first);
    }
    std::sort(tokens.begin(), tokens.end());
    EXPECT_EQ(tokens, (std::vector<int32_t>{0, 0x777, 0x44434241}));
    if (gOHLMapData.count(0) == 1) {
        EXPECT_EQ(gOHLMapData.at(0).tickerValue, 0);
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(FrameIntake, FramesCutShortAreRefusedWithTwoLines) {
    // A valid frame of each type cut at every length: whatever the intake would have to make up for
    // the missing bytes is refused. Header-short datagrams (1 to 5 bytes) go the same way.
    const std::vector<FeedRecord> records = DistinctRecords(42);
    Bytes ohl;
    Bytes tickers;
    for (int i = 0; i < 6; ++i) {
        const Bytes o = EncodeOhlRecord(100 + i, 10 * i + 1, 20 * i + 2, 3, 4, 5, 6 * i + 7);
        const Bytes t = EncodeTickerRecord(200 + i, 300 + i, 0x11111111, 0x22222222);
        ohl.insert(ohl.end(), o.begin(), o.end());
        tickers.insert(tickers.end(), t.begin(), t.end());
    }
    const std::map<int16_t, Bytes> frames = {
        {kMbp, MakeFrame(kMbp, 42, CompressBlock(EncodeFeedRecords(records)))},
        {kOhl, MakeFrame(kOhl, 6, CompressBlock(ohl))},
        {kTicker, MakeFrame(kTicker, 6, CompressBlock(tickers))},
    };
    gLogTimeSource = SteppedClock;
    for (const auto& [type, frame] : frames) {
        ASSERT_GT(frame.size(), 46u);  // room for a cut of 40 bytes
        for (size_t length = 1; length < frame.size(); ++length) {
            SCOPED_TRACE("type " + std::to_string(type) + " cut at " + std::to_string(length));
            const size_t before = Log().size();
            EXPECT_EQ(Feed(Slice(frame, 0, length)), 1);
            ASSERT_EQ(LogSince(before), (std::vector<std::string>{kLengthLine, kSizeLine}));
        }
    }
    EXPECT_EQ(Feed(Bytes{}), 0);  // an empty datagram holds no frame at all: ignored silently
    ExpectUntouched();

    // Uncut, and with bytes after the payload, each frame is handled in full.
    const size_t logged = Log().size();
    const Bytes frameWithTail = [&] {
        Bytes b = frames.at(kMbp);
        b.insert(b.end(), {0xEE, 0xEE, 0xEE});
        return b;
    }();
    EXPECT_EQ(Feed(frameWithTail), 0);
    EXPECT_EQ(Feed(frames.at(kOhl)), 0);
    EXPECT_EQ(Feed(frames.at(kTicker)), 0);
    EXPECT_EQ(Log().size(), logged);
    EXPECT_EQ(glReceivedPktCount.load(), 1);
    ASSERT_EQ(gCaptured.size(), 21u);
    EXPECT_EQ(gCaptured[20], ExpectedCmDatagram({ExpectedCmSlot{records[40], {}, ' ', 0},
                                                 ExpectedCmSlot{records[41], {}, ' ', 0}}))
        << HexDump(gCaptured[20]);
    ASSERT_EQ(gOHLMapData.size(), 12u);
    EXPECT_EQ(gOHLMapData.at(105).closingPrice, 4);
    EXPECT_EQ(gOHLMapData.at(205).tickerValue, 305);

    // The one-argument form reads a frame lying in a whole zeroed receive buffer.
    std::vector<char> buffer(2500, 0);
    std::copy(frames.at(kMbp).begin(), frames.at(kMbp).end(), buffer.begin());
    EXPECT_EQ(ProcessNewMktData(buffer.data()), 0);
    EXPECT_EQ(glReceivedPktCount.load(), 2);
    gLogTimeSource = [] { return time(nullptr); };
}

}  // namespace
