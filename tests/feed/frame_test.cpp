// Frame intake: which frames are refused, with which log lines, what is counted, and what a frame cut
// short does. Frames lie at the start of a zeroed 2,500-byte buffer and come with the datagram's
// length, as the relay loop hands them over.
#include "feed/frame.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "support/expected_messages.h"
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

// LZ4 block writing by hand, for payloads of an exact compressed or decoded size.
void PutLz4Length(Bytes& block, size_t extra) {
    while (extra >= 255) {
        block.push_back(255);
        extra -= 255;
    }
    block.push_back(static_cast<uint8_t>(extra));
}

// One sequence: `literals`, then `matchLength` (at least 4) bytes copied from `offset` bytes back.
void AppendSequence(Bytes& block, const Bytes& literals, uint16_t offset, size_t matchLength) {
    const size_t literalCount = literals.size();
    const size_t matchExtra = matchLength - 4;
    block.push_back(
        static_cast<uint8_t>(std::min<size_t>(literalCount, 15) << 4 | std::min<size_t>(matchExtra, 15)));
    if (literalCount >= 15) {
        PutLz4Length(block, literalCount - 15);
    }
    block.insert(block.end(), literals.begin(), literals.end());
    block.push_back(static_cast<uint8_t>(offset));
    block.push_back(static_cast<uint8_t>(offset >> 8));
    if (matchExtra >= 15) {
        PutLz4Length(block, matchExtra - 15);
    }
}

// The closing sequence of a block: literals only.
void AppendLastLiterals(Bytes& block, const Bytes& literals) {
    block.push_back(static_cast<uint8_t>(std::min<size_t>(literals.size(), 15) << 4));
    if (literals.size() >= 15) {
        PutLz4Length(block, literals.size() - 15);
    }
    block.insert(block.end(), literals.begin(), literals.end());
}

Bytes LiteralBlock(const Bytes& decoded) {
    Bytes block;
    AppendLastLiterals(block, decoded);
    return block;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// Records that differ in token and last traded price only, so that even 43 of them compress into
// a frame that fits the receive buffer.
std::vector<FeedRecord> Records(int count, int32_t firstToken = 1000) {
    std::vector<FeedRecord> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(SampleRecord(firstToken + i, 0));
        records.back().lastTradedPrice += i;
    }
    return records;
}

// Decoded bytes of `count` records cut or padded (with 0xAB) to `size`.
Bytes RecordBytes(int count, size_t size) {
    Bytes bytes = EncodeFeedRecords(Records(std::max(count, 1)));
    bytes.resize(size, 0xAB);
    return bytes;
}

std::vector<Bytes> gCaptured;

int Capture(const char* data, int length) {
    gCaptured.emplace_back(data, data + length);
    return length;
}

class FrameIntake : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBridgeState("CM");
        gCaptured.clear();
        gSendCapture = Capture;
    }
    void TearDown() override { gSendCapture = nullptr; }

    // Hands `datagram` over the way the relay loop does: at the start of a zeroed 2,500-byte buffer,
    // with its length.
    static int Feed(const Bytes& datagram) {
        std::vector<char> buffer(2500, 0);
        const size_t length = std::min<size_t>(datagram.size(), buffer.size());
        std::copy_n(datagram.begin(), length, buffer.begin());
        return ProcessNewMktData(buffer.data(), static_cast<int>(length));
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
};

// 18 records (2,520 decoded bytes) packed into exactly 2,494 compressed bytes, the longest payload
// that fits the receive buffer behind the header. The last two records share their depth levels, so
// one match of 41 bytes at distance 140 rebuilds the records exactly.
std::vector<FeedRecord> LongestFrameRecords() {
    std::vector<FeedRecord> records;
    for (int i = 0; i < 17; ++i) {
        records.push_back(SampleRecord(1000 + i, i));
    }
    records.push_back(SampleRecord(1017, 16));
    return records;
}

Bytes LongestPayload() {
    const Bytes decoded = EncodeFeedRecords(LongestFrameRecords());
    Bytes block;
    AppendSequence(block, Slice(decoded, 0, 2474), 140, 41);
    AppendLastLiterals(block, Slice(decoded, 2515, 2520));
    return block;
}

TEST_F(FrameIntake, NullFrameIsReported) {
    EXPECT_EQ(ProcessNewMktData(nullptr), 1);
    EXPECT_EQ(Log(), std::vector<std::string>{kNullLine});
    ExpectUntouched();
}

TEST_F(FrameIntake, ZeroRecordCountIsANoOpWhateverThePayload) {
    const Bytes valid = CompressBlock(RecordBytes(2, 280));
    const Bytes garbage(300, 0xFF);
    for (int16_t type : {kMbp, kTicker, kOhl, int16_t{0}, int16_t{4242}}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(Feed(MakeFrame(type, 0, valid)), 0);
        EXPECT_EQ(Feed(MakeFrame(type, 0, garbage)), 0);                // would not decode
        EXPECT_EQ(Feed(MakeFrameWithLength(type, -1, 0, garbage)), 0);  // length out of range
        EXPECT_EQ(Feed(MakeFrameWithLength(type, 3000, 0, garbage)), 0);
        EXPECT_EQ(Feed(MakeFrame(type, 0, Bytes{0x00})), 0);  // decodes to nothing
    }
    EXPECT_TRUE(Log().empty());
    ExpectUntouched();
}

TEST_F(FrameIntake, UnknownMessageTypesAreIgnoredSilently) {
    const Bytes valid = CompressBlock(RecordBytes(1, 140));
    const Bytes garbage(300, 0xFF);
    // 1065 is 10500 with its bytes exchanged (0x29 0x04 on the wire).
    for (int16_t type : {0, 1, 1065, 10499, 10501, 10599, 10601, 10749, 10751, -10500, 32767, -32768}) {
        SCOPED_TRACE(type);
        EXPECT_EQ(Feed(MakeFrame(type, 1, valid)), 0);
        EXPECT_EQ(Feed(MakeFrame(type, 1, garbage)), 0);
        EXPECT_EQ(Feed(MakeFrameWithLength(type, -1, 1, garbage)), 0);
    }
    EXPECT_TRUE(Log().empty());
    ExpectUntouched();
}

TEST_F(FrameIntake, CompressedLengthOutsideTheReceiveBufferIsRefusedWithTwoLines) {
    // The same payload that is accepted at its true length 2,494 (next test) is refused once its
    // length says it reaches past the 2,500-byte buffer: the decoder never sees bytes beyond it.
    const Bytes payload = LongestPayload();
    ASSERT_EQ(payload.size(), 2494u);
    for (int16_t type : {kMbp, kTicker, kOhl}) {
        for (int16_t length : {0, -1, -2, -32768, 2495, 2496, 2497, 2498, 2499, 2500, 2501, 6000, 32767}) {
            SCOPED_TRACE("type " + std::to_string(type) + " length " + std::to_string(length));
            const size_t before = Log().size();
            const Bytes frame = MakeFrameWithLength(type, length, 18, payload);
            if (length == -1) {
                ASSERT_EQ(frame[2], 0xFF);
                ASSERT_EQ(frame[3], 0xFF);
            }
            EXPECT_EQ(Feed(frame), 1);
            EXPECT_EQ(LogSince(before), (std::vector<std::string>{kLengthLine, kSizeLine}));
        }
    }
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

TEST_F(FrameIntake, PayloadsThatDoNotDecodeAreRefusedWithTheSizeLine) {
    struct Case {
        const char* what;
        Bytes payload;
        int16_t count;
    };
    Bytes badOffset;  // a match reaching before the start of the output
    AppendSequence(badOffset, Bytes{'A'}, 5, 4);
    AppendLastLiterals(badOffset, Bytes{1, 2, 3, 4, 5});
    const std::vector<Case> cases = {
        {"literal length beyond the input", Bytes{0xF0, 0xFF}, 1},
        {"match before the output", badOffset, 1},
        {"all ones", Bytes(64, 0xFF), 1},
        {"all zeros", Bytes(64, 0x00), 1},
        {"the one-byte block 0x00 decodes to nothing", Bytes{0x00}, 1},
        {"6,001 decoded bytes", CompressBlock(Bytes(6001, 'x')), 1},
        {"43 market-by-price records (6,020 bytes)", CompressBlock(EncodeFeedRecords(Records(43))), 43},
    };
    for (int16_t type : {kMbp, kTicker, kOhl}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.what) + ", type " + std::to_string(type));
            const size_t before = Log().size();
            EXPECT_EQ(Feed(MakeFrame(type, c.count, c.payload)), 1);
            EXPECT_EQ(LogSince(before), std::vector<std::string>{kSizeLine});
        }
    }
    ExpectUntouched();
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
    EXPECT_EQ(Feed(MakeFrame(kMbp, 42, CompressBlock(EncodeFeedRecords(Records(42))))), 0);
    EXPECT_EQ(glReceivedPktCount.load(), 1);
    EXPECT_EQ(gCaptured.size(), 21u);
    EXPECT_TRUE(Log().empty());
}

TEST_F(FrameIntake, MarketByPriceFramesNeedOneHundredFortyBytesPerRecord) {
    struct Case {
        int16_t count;
        size_t decoded;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {3, 420, true},    {3, 421, true},   {3, 422, true},   {3, 419, false},  {3, 423, false},
        {2, 280, true},    {2, 281, true},   {2, 282, false},  {2, 279, false},  {1, 140, true},
        {1, 139, false},   {1, 141, false},  {42, 5880, true}, {42, 5921, true}, {42, 5922, false},
        {41, 5880, false}, {-2, 280, false}, {-2, 282, false}, {-1, 140, false}, {-32768, 280, false},
    };
    int64_t accepted = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE("count " + std::to_string(c.count) + ", " + std::to_string(c.decoded) + " bytes");
        gCaptured.clear();
        EXPECT_EQ(Feed(MakeFrame(kMbp, c.count, CompressBlock(RecordBytes(c.count, c.decoded)))), 0);
        if (c.accepted) {
            ++accepted;
            ASSERT_EQ(gCaptured.size(), static_cast<size_t>((c.count + 1) / 2));
            // The records used are the first 140 x count bytes; an excess is ignored.
            EXPECT_EQ(GetBe16(gCaptured.back(), 6 + 48), c.count % 2 == 0 ? 2 : 1);
            EXPECT_EQ(GetBe16(gCaptured.back(), 6 + 50), 1000 + 2 * (static_cast<int>(gCaptured.size()) - 1));
        } else {
            EXPECT_TRUE(gCaptured.empty());
        }
        EXPECT_EQ(glReceivedPktCount.load(), accepted);
    }
    EXPECT_TRUE(Log().empty());
    EXPECT_TRUE(gOHLMapData.empty());
}

TEST_F(FrameIntake, NegativeRecordCountsAreDecodedButApplyNothing) {
    const std::map<int16_t, Bytes> valid = {
        {kMbp, CompressBlock(RecordBytes(2, 280))},
        {kTicker, CompressBlock(EncodeTickerRecord(7, 70))},
        {kOhl, CompressBlock(EncodeOhlRecord(7, 1, 2, 3, 4, 5, 6))},
    };
    for (const auto& [type, payload] : valid) {
        for (int16_t count : {-1, -2, -32768}) {
            SCOPED_TRACE("type " + std::to_string(type) + " count " + std::to_string(count));
            EXPECT_EQ(Feed(MakeFrame(type, count, payload)), 0);
            EXPECT_TRUE(Log().empty());
            // Decoded all the same: a payload that does not decode is reported.
            const size_t before = Log().size();
            EXPECT_EQ(Feed(MakeFrame(type, count, Bytes(16, 0xFF))), 1);
            EXPECT_EQ(LogSince(before), std::vector<std::string>{kSizeLine});
            EXPECT_EQ(Feed(MakeFrameWithLength(type, 0, count, payload)), 1);
            EXPECT_EQ(LogSince(before), (std::vector<std::string>{kSizeLine, kLengthLine, kSizeLine}));
            ExpectUntouched();
            const std::string file = FindLogFile(workingDir_.dir().path());
            ASSERT_EQ(unlink(file.c_str()), 0);
        }
    }
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

// The log's clock moves on a second at every reading, so that no refusal here counts as a repeat.
time_t gSteppedNow = 1781524800;  // 15 June 2026, 12:00 UTC: the sweeps stay inside one day
time_t SteppedClock() {
    return gSteppedNow++;
}

TEST_F(FrameIntake, FramesCutShortAreRefusedWithTwoLines) {
    // A valid frame of each type cut at every length: whatever the intake would have to make up for
    // the missing bytes is refused. Header-short datagrams (1 to 5 bytes) go the same way.
    const std::vector<FeedRecord> records = Records(42);
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
