// Instrument store: open/high/low and ticker records inserted and updated, lookups, the record walk
// bounded by the decompression buffer, and the null-buffer reports in the log.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <csignal>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/log.h"
#include "feed/store.h"
#include "feed/store_file.h"
#include "support/test_support.h"

using bcsttest::Bytes;
using bcsttest::PutLe32;

namespace {

constexpr size_t kOhlSize = 28;
constexpr size_t kTickerSize = 16;
constexpr size_t kBufferSize = 6000;

struct Ohl {
    int32_t token, open, high, low, close, extra1, extra2;
};

struct Ticker {
    int32_t token;
    int32_t ticker;
    uint32_t unread1 = 0;  // bytes 4..7
    uint32_t unread2 = 0;  // bytes 12..15
};

void WriteOhl(Bytes& b, size_t index, const Ohl& r) {
    const size_t at = kOhlSize * index;
    PutLe32(b, at + 0, static_cast<uint32_t>(r.token));
    PutLe32(b, at + 4, static_cast<uint32_t>(r.open));
    PutLe32(b, at + 8, static_cast<uint32_t>(r.high));
    PutLe32(b, at + 12, static_cast<uint32_t>(r.low));
    PutLe32(b, at + 16, static_cast<uint32_t>(r.close));
    PutLe32(b, at + 20, static_cast<uint32_t>(r.extra1));
    PutLe32(b, at + 24, static_cast<uint32_t>(r.extra2));
}

void WriteTicker(Bytes& b, size_t index, const Ticker& r) {
    const size_t at = kTickerSize * index;
    PutLe32(b, at + 0, static_cast<uint32_t>(r.token));
    PutLe32(b, at + 4, r.unread1);
    PutLe32(b, at + 8, static_cast<uint32_t>(r.ticker));
    PutLe32(b, at + 12, r.unread2);
}

// A zeroed buffer of the decompression buffer's size holding the records, as the intake hands it on.
Bytes OhlBuffer(std::initializer_list<Ohl> records) {
    Bytes b(kBufferSize, 0);
    size_t i = 0;
    for (const Ohl& r : records) {
        WriteOhl(b, i++, r);
    }
    return b;
}

Bytes TickerBuffer(std::initializer_list<Ticker> records) {
    Bytes b(kBufferSize, 0);
    size_t i = 0;
    for (const Ticker& r : records) {
        WriteTicker(b, i++, r);
    }
    return b;
}

int ApplyOhl(Bytes& b, int count) {
    return ProcessOHLData(reinterpret_cast<char*>(b.data()), count);
}

int ApplyTicker(Bytes& b, int count) {
    return ProcessTickerData(reinterpret_cast<char*>(b.data()), count);
}

// The entry of `token`, or a failure when there is none.
::testing::AssertionResult HasEntry(int32_t token, const NEW_MKT_MAP_DATA& expected) {
    const auto it = gOHLMapData.find(token);
    if (it == gOHLMapData.end()) {
        return ::testing::AssertionFailure() << "no entry for token " << token;
    }
    const NEW_MKT_MAP_DATA& e = it->second;
    if (e.token != expected.token || e.openPrice != expected.openPrice || e.highPrice != expected.highPrice ||
        e.lowPrice != expected.lowPrice || e.closingPrice != expected.closingPrice ||
        e.ohlExtra1 != expected.ohlExtra1 || e.ohlExtra2 != expected.ohlExtra2 ||
        e.tickerValue != expected.tickerValue) {
        return ::testing::AssertionFailure()
               << "token " << token << " holds {" << e.token << ", " << e.openPrice << ", " << e.highPrice
               << ", " << e.lowPrice << ", " << e.closingPrice << ", " << e.ohlExtra1 << ", " << e.ohlExtra2
               << ", " << e.tickerValue << "}";
    }
    return ::testing::AssertionSuccess();
}

class Store : public ::testing::Test {
  protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() { ResetInstrumentStore(); }
};

TEST_F(Store, OhlThenTicker) {
    Bytes ohl = OhlBuffer({{101, 1500, 1600, 1400, 1450, 7, 8}});
    EXPECT_EQ(ApplyOhl(ohl, 1), 0);
    EXPECT_TRUE(HasEntry(101, {101, 1500, 1600, 1400, 1450, 7, 8, 0}));

    Bytes ticker = TickerBuffer({{101, 3300}});
    EXPECT_EQ(ApplyTicker(ticker, 1), 0);
    EXPECT_TRUE(HasEntry(101, {101, 1500, 1600, 1400, 1450, 7, 8, 3300}));
    EXPECT_EQ(gOHLMapData.size(), 1u);
}

TEST_F(Store, TickerThenOhl) {
    Bytes ticker = TickerBuffer({{202, 88}});
    EXPECT_EQ(ApplyTicker(ticker, 1), 0);
    EXPECT_TRUE(HasEntry(202, {202, 0, 0, 0, 0, 0, 0, 88}));

    Bytes ohl = OhlBuffer({{202, 10, 20, 5, 9, -1, -2}});
    EXPECT_EQ(ApplyOhl(ohl, 1), 0);
    EXPECT_TRUE(HasEntry(202, {202, 10, 20, 5, 9, -1, -2, 88}));
    EXPECT_EQ(gOHLMapData.size(), 1u);
}

TEST_F(Store, UpdatesOverwriteWithTheRecordsValues) {
    Bytes first = OhlBuffer({{5, 100, 110, 90, 95, 1, 2}});
    ApplyOhl(first, 1);
    Bytes ticker = TickerBuffer({{5, 42}});
    ApplyTicker(ticker, 1);

    Bytes second = OhlBuffer({{5, 200, 210, 190, 195, 3, 4}});
    ApplyOhl(second, 1);
    EXPECT_TRUE(HasEntry(5, {5, 200, 210, 190, 195, 3, 4, 42}));

    // Zeros in a record overwrite stored values; the ticker value belongs to ticker records.
    Bytes zeros = OhlBuffer({{5, 0, 0, 0, 0, 0, 0}});
    ApplyOhl(zeros, 1);
    EXPECT_TRUE(HasEntry(5, {5, 0, 0, 0, 0, 0, 0, 42}));

    Bytes again = OhlBuffer({{5, 300, 310, 290, 295, 5, 6}});
    ApplyOhl(again, 1);
    Bytes zeroTicker = TickerBuffer({{5, 0}});
    ApplyTicker(zeroTicker, 1);
    EXPECT_TRUE(HasEntry(5, {5, 300, 310, 290, 295, 5, 6, 0}));
    EXPECT_EQ(gOHLMapData.size(), 1u);
}

TEST_F(Store, TickerBytesFourToSevenAndTwelveToFifteenAreNotRead) {
    Bytes plain = TickerBuffer({{11, 500}});
    Bytes noisy = TickerBuffer({{12, 500, 0xFFFFFFFFu, 0x7F7F7F7Fu}});
    ApplyTicker(plain, 1);
    ApplyTicker(noisy, 1);
    EXPECT_TRUE(HasEntry(11, {11, 0, 0, 0, 0, 0, 0, 500}));
    EXPECT_TRUE(HasEntry(12, {12, 0, 0, 0, 0, 0, 0, 500}));

    // On an existing entry the other words change nothing either.
    Bytes ohl = OhlBuffer({{12, 1, 2, 3, 4, 5, 6}});
    ApplyOhl(ohl, 1);
    Bytes update = TickerBuffer({{12, 600, 0x01020304u, 0xDEADBEEFu}});
    ApplyTicker(update, 1);
    EXPECT_TRUE(HasEntry(12, {12, 1, 2, 3, 4, 5, 6, 600}));
}

TEST_F(Store, SameTokenTwiceInOneFrameLaterWins) {
    Bytes ohl = OhlBuffer({{7, 1, 1, 1, 1, 1, 1}, {8, 2, 2, 2, 2, 2, 2}, {7, 3, 4, 5, 6, 7, 8}});
    EXPECT_EQ(ApplyOhl(ohl, 3), 0);
    EXPECT_TRUE(HasEntry(7, {7, 3, 4, 5, 6, 7, 8, 0}));
    EXPECT_TRUE(HasEntry(8, {8, 2, 2, 2, 2, 2, 2, 0}));

    Bytes ticker = TickerBuffer({{7, 10}, {7, 20}, {9, 30}, {7, 40}});
    EXPECT_EQ(ApplyTicker(ticker, 4), 0);
    EXPECT_TRUE(HasEntry(7, {7, 3, 4, 5, 6, 7, 8, 40}));
    EXPECT_TRUE(HasEntry(9, {9, 0, 0, 0, 0, 0, 0, 30}));
    EXPECT_EQ(gOHLMapData.size(), 3u);
}

TEST_F(Store, TokenZeroAndNegativeTokensAreKeys) {
    Bytes ohl = OhlBuffer({{0, 10, 11, 12, 13, 14, 15},
                           {-1, 20, 21, 22, 23, 24, 25},
                           {INT32_MIN, 30, 31, 32, 33, 34, 35},
                           {INT32_MAX, 40, 41, 42, 43, 44, 45},
                           {65535, 50, 51, 52, 53, 54, 55}});
    EXPECT_EQ(ApplyOhl(ohl, 5), 0);
    Bytes ticker = TickerBuffer({{-1, -100}, {0, 100}, {-65536, 7}});
    EXPECT_EQ(ApplyTicker(ticker, 3), 0);

    EXPECT_TRUE(HasEntry(0, {0, 10, 11, 12, 13, 14, 15, 100}));
    EXPECT_TRUE(HasEntry(-1, {-1, 20, 21, 22, 23, 24, 25, -100}));
    EXPECT_TRUE(HasEntry(INT32_MIN, {INT32_MIN, 30, 31, 32, 33, 34, 35, 0}));
    EXPECT_TRUE(HasEntry(INT32_MAX, {INT32_MAX, 40, 41, 42, 43, 44, 45, 0}));
    EXPECT_TRUE(HasEntry(65535, {65535, 50, 51, 52, 53, 54, 55, 0}));
    EXPECT_TRUE(HasEntry(-65536, {-65536, 0, 0, 0, 0, 0, 0, 7}));

    // Each key once, and each entry under its own token (the store keeps no key order).
    const std::vector<int32_t> expectedKeys = {INT32_MIN, -65536, -1, 0, 65535, INT32_MAX};
    std::vector<int32_t> keys;
    for (const auto& entry : gOHLMapData) {
        keys.push_back(entry.first);
        EXPECT_EQ(entry.first, entry.second.token);
    }
    std::sort(keys.begin(), keys.end());
    EXPECT_EQ(keys, expectedKeys);
}

TEST_F(Store, LookupsNeverCreateEntries) {
    Bytes ohl = OhlBuffer({{31, 1, 2, 3, 4, 5, 6}});
    ApplyOhl(ohl, 1);
    for (int32_t token : {0, 30, 32, -31, INT32_MIN, INT32_MAX, 31 + 65536}) {
        EXPECT_EQ(LookUpInstrument(token), nullptr) << token;
        EXPECT_TRUE(gOHLMapIterator == gOHLMapData.end()) << token;
    }
    EXPECT_EQ(gOHLMapData.size(), 1u);

    const NEW_MKT_MAP_DATA* found = LookUpInstrument(31);
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(found->closingPrice, 4);
    EXPECT_TRUE(gOHLMapIterator != gOHLMapData.end());
    EXPECT_EQ(gOHLMapIterator->first, 31);
}

TEST_F(Store, CountZeroOrNegativeAppliesNothing) {
    Bytes ohl = OhlBuffer({{1, 1, 1, 1, 1, 1, 1}});
    Bytes ticker = TickerBuffer({{2, 2}});
    for (int count : {0, -1, INT_MIN}) {
        EXPECT_EQ(ApplyOhl(ohl, count), 0);
        EXPECT_EQ(ApplyTicker(ticker, count), 0);
    }
    EXPECT_TRUE(gOHLMapData.empty());
}

// The intake may pass a record count far beyond what the 6,000-byte buffer holds; only the records that
// lie wholly inside it are read (the buffers below are heap blocks of exactly 6,000 bytes, so a read
// past them is caught by AddressSanitizer).
TEST_F(Store, CountCutToTheRecordsThatFitTheBuffer) {
    // 214 open/high/low records fill 5,992 bytes; the last 8 bytes are non-zero.
    std::vector<char> full(kBufferSize);
    {
        Bytes b(kBufferSize, 0x6B);
        for (size_t i = 0; i < 214; ++i) {
            const int32_t v = static_cast<int32_t>(i);
            WriteOhl(b, i, {1000 + v, v + 1, v + 2, v + 3, v + 4, v + 5, v + 6});
        }
        std::memcpy(full.data(), b.data(), kBufferSize);
    }
    for (int count : {30000, 215, 214}) {
        SCOPED_TRACE(count);
        Clear();
        EXPECT_EQ(ProcessOHLData(full.data(), count), 0);
        EXPECT_EQ(gOHLMapData.size(), 214u);
        EXPECT_EQ(gOHLMapData.begin()->first, 1000);
        EXPECT_EQ(gOHLMapData.count(1213), 1u);
        EXPECT_TRUE(HasEntry(1213, {1213, 214, 215, 216, 217, 218, 219, 0}));
    }

    // 375 ticker records fill all 6,000 bytes.
    std::vector<char> tickers(kBufferSize);
    {
        Bytes b(kBufferSize, 0);
        for (size_t i = 0; i < 375; ++i) {
            WriteTicker(
                b, i,
                {5000 + static_cast<int32_t>(i), static_cast<int32_t>(i) + 1, 0x33333333u, 0x44444444u});
        }
        std::memcpy(tickers.data(), b.data(), kBufferSize);
    }
    for (int count : {30000, 376, 375}) {
        SCOPED_TRACE(count);
        Clear();
        EXPECT_EQ(ProcessTickerData(tickers.data(), count), 0);
        EXPECT_EQ(gOHLMapData.size(), 375u);
        EXPECT_EQ(gOHLMapData.begin()->first, 5000);
        EXPECT_EQ(gOHLMapData.count(5374), 1u);
        EXPECT_TRUE(HasEntry(5374, {5374, 0, 0, 0, 0, 0, 0, 375}));
    }

    // Records past the decoded ones read as token 0 with all values 0: they create, or overwrite the
    // prices of, the entry of token 0 and nothing else.
    Clear();
    Bytes earlier = TickerBuffer({{0, 9}});
    ApplyTicker(earlier, 1);
    Bytes seeded = OhlBuffer({{0, 50, 51, 52, 53, 54, 55}});
    ApplyOhl(seeded, 1);
    std::vector<char> zeroTail(kBufferSize, 0);
    {
        Bytes b =
            OhlBuffer({{61, 1, 2, 3, 4, 5, 6}, {62, 7, 8, 9, 10, 11, 12}, {63, 13, 14, 15, 16, 17, 18}});
        std::memcpy(zeroTail.data(), b.data(), kBufferSize);
    }
    EXPECT_EQ(ProcessOHLData(zeroTail.data(), 30000), 0);
    EXPECT_EQ(gOHLMapData.size(), 4u);
    EXPECT_TRUE(HasEntry(0, {0, 0, 0, 0, 0, 0, 0, 9}));
    EXPECT_TRUE(HasEntry(63, {63, 13, 14, 15, 16, 17, 18, 0}));

    Clear();
    std::vector<char> tickerZeroTail(kBufferSize, 0);
    {
        Bytes b = TickerBuffer({{71, 1}, {72, 2}});
        std::memcpy(tickerZeroTail.data(), b.data(), kBufferSize);
    }
    EXPECT_EQ(ProcessTickerData(tickerZeroTail.data(), 30000), 0);
    EXPECT_EQ(gOHLMapData.size(), 3u);
    EXPECT_TRUE(HasEntry(0, {0, 0, 0, 0, 0, 0, 0, 0}));
    EXPECT_TRUE(HasEntry(72, {72, 0, 0, 0, 0, 0, 0, 2}));
}

TEST_F(Store, NullDataIsReportedInTheLog) {
    bcsttest::ScopedWorkingDir workDir;
    gshRunningInstanceNo = 3;
    std::memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    Bytes ohl = OhlBuffer({{1, 1, 1, 1, 1, 1, 1}});
    ApplyOhl(ohl, 1);

    EXPECT_EQ(ProcessOHLData(nullptr, 1), 1);
    EXPECT_EQ(ProcessTickerData(nullptr, 5), 1);
    EXPECT_EQ(ProcessOHLData(nullptr, 0), 1);

    const std::string logFile = bcsttest::FindLogFile(workDir.dir().path());
    ASSERT_FALSE(logFile.empty());
    EXPECT_NE(logFile.find("/BcstBridge3_"), std::string::npos) << logFile;
    const std::vector<std::string> expected = {"ProcessOHLData : Input parameter is NULL ",
                                               "ProcessTickerData : Input parameter is NULL ",
                                               "ProcessOHLData : Input parameter is NULL "};
    EXPECT_EQ(bcsttest::LogMessages(bcsttest::ReadFile(logFile)), expected);
    EXPECT_EQ(gcaLogMessage[0], '\0');
    EXPECT_EQ(gOHLMapData.size(), 1u);
    EXPECT_TRUE(HasEntry(1, {1, 1, 1, 1, 1, 1, 1, 0}));
}

// The conversions' lookups must never answer with stale values, with another token's entry, or with
// an entry that a reset removed, and they leave the cursor on what they found.
TEST_F(Store, LookupsFollowTheStore) {
    const int32_t rival = 1 + (1 << 16);  // the same low 16 bits: a different instrument all the same

    EXPECT_EQ(LookUpInstrument(1), nullptr);  // absent: not remembered as absent
    gOHLMapData[1] = NEW_MKT_MAP_DATA{1, 10, 20, 5, 15, 0, 0, 0};
    gOHLMapData[rival] = NEW_MKT_MAP_DATA{rival, 30, 40, 25, 35, 0, 0, 0};
    for (int round = 0; round < 3; ++round) {
        const NEW_MKT_MAP_DATA* one = LookUpInstrument(1);
        ASSERT_NE(one, nullptr);
        EXPECT_EQ(one->closingPrice, 15);
        EXPECT_EQ(gOHLMapIterator->first, 1);
        const NEW_MKT_MAP_DATA* other = LookUpInstrument(rival);
        ASSERT_NE(other, nullptr) << rival;
        EXPECT_EQ(other->closingPrice, 35);
        EXPECT_EQ(gOHLMapIterator->first, rival);
    }

    // An update through the store's own operations shows in the next cached lookup.
    std::vector<char> ohl(6000, 0);
    const int32_t record[7] = {1, 11, 21, 6, 16, 0, 0};
    memcpy(ohl.data(), record, sizeof record);
    ProcessOHLData(ohl.data(), 1);
    ASSERT_NE(LookUpInstrument(1), nullptr);
    EXPECT_EQ(LookUpInstrument(1)->closingPrice, 16);

    ResetInstrumentStore();
    EXPECT_EQ(LookUpInstrument(1), nullptr);
    EXPECT_EQ(LookUpInstrument(rival), nullptr);
    EXPECT_TRUE(gOHLMapData.empty());
}

// The index grows while entries keep arriving: every token stays found with its own values, through
// several growths with slots still being moved, and absent tokens stay absent.
TEST_F(Store, ManyTokensThroughEveryGrowthOfTheIndex) {
    std::mt19937 random(7);
    std::vector<int32_t> tokens;
    std::vector<char> buffer(kBufferSize, 0);
    for (int frame = 0; frame < 1000; ++frame) {
        for (int i = 0; i < 200; ++i) {
            const auto token = static_cast<int32_t>(random());
            tokens.push_back(token);
            const int32_t record[7] = {token, token ^ 1, token ^ 2, token ^ 3, token ^ 4, 0, 0};
            memcpy(buffer.data() + 28 * i, record, sizeof record);
        }
        ProcessOHLData(buffer.data(), 200);
        if (frame % 97 == 0) {  // in the middle of a growth, now and then
            for (const int32_t token : tokens) {
                const NEW_MKT_MAP_DATA* entry = LookUpInstrument(token);
                ASSERT_NE(entry, nullptr) << token;
                ASSERT_EQ(entry->closingPrice, token ^ 4) << token;
            }
        }
    }
    std::sort(tokens.begin(), tokens.end());
    tokens.erase(std::unique(tokens.begin(), tokens.end()), tokens.end());
    EXPECT_EQ(gOHLMapData.size(), tokens.size());
    for (int i = 0; i < 10000; ++i) {
        const auto token = static_cast<int32_t>(random());
        if (!std::binary_search(tokens.begin(), tokens.end(), token)) {
            EXPECT_EQ(LookUpInstrument(token), nullptr) << token;
        }
    }
    EXPECT_EQ(gOHLMapData.size(), tokens.size());
}

// Every insert and update reaches the store file as it happens, with no system call; a file cut to
// nothing under the store costs no fault, and the tick writes it again whole from memory.
TEST_F(Store, WritesThroughToItsFileAndOutlivesItsTruncation) {
    bcsttest::ScopedWorkingDir workDir;
    gshRunningInstanceNo = 5;
    std::string refusal;
    ASSERT_EQ(LockInstrumentStore(5, &refusal), 0) << refusal;
    RestoreInstrumentStore(5, LogClockDate());
    const std::string path = workDir.dir().File("BcstBridge5.store");
    auto fileImage = [&](std::string* bytes, StoreFileImage* image) {
        std::string reason;
        return ReadStoreFileBytes(path, bytes, &reason) == 0 &&
               ValidateStoreImage(reinterpret_cast<const unsigned char*>(bytes->data()), bytes->size(), image,
                                  &reason) == 0;
    };

    Bytes ohl = OhlBuffer({{11, 1, 2, 3, 4, 5, 6}, {-12, 7, 8, 9, 10, 11, 12}});
    ApplyOhl(ohl, 2);
    Bytes ticker = TickerBuffer({{11, 99}, {13, 5}});
    ApplyTicker(ticker, 2);
    std::string bytes;
    StoreFileImage image;
    ASSERT_TRUE(fileImage(&bytes, &image));  // no tick yet: written through as it happened
    ASSERT_EQ(image.header.count, 3u);
    EXPECT_EQ(image.entries[0].tickerValue, 99);
    EXPECT_EQ(image.entries[1].closingPrice, 10);
    EXPECT_EQ(image.entries[2].token, 13);

    ASSERT_EQ(truncate(path.c_str(), 0), 0);
    Bytes more = OhlBuffer({{11, 21, 22, 23, 24, 25, 26}, {14, 1, 1, 1, 1, 1, 1}});
    ApplyOhl(more, 2);  // both stores land on pages the file no longer has
    StoreTick(1, LogClockDate());
    ASSERT_TRUE(fileImage(&bytes, &image));
    ASSERT_EQ(image.header.count, 4u);
    EXPECT_EQ(image.entries[0].closingPrice, 24);
    EXPECT_EQ(image.entries[0].tickerValue, 99);
    EXPECT_EQ(image.entries[3].token, 14);
    EXPECT_EQ(bcsttest::LogMessages(bcsttest::ReadFile(bcsttest::FindLogFile(workDir.dir().path()))),
              std::vector<std::string>{"Instrument store file BcstBridge5.store was truncated; written again "
                                       "from memory (4 instruments)"});
    Clear();
}

// An update of an entry already in the file arms the journal with the new value before the entry's
// first byte changes: a kill between the two leaves the journal to repair the entry. The entry's page
// is read-only here, so the first store into it stops in a handler that looks at the header then.
BCST_STORE_HEADER gHeaderAtEntryWrite;
char* gEntryPage = nullptr;
void OnEntryWrite(int) {
    memcpy(&gHeaderAtEntryWrite, gStoreMirror.header, sizeof gHeaderAtEntryWrite);
    mprotect(gEntryPage, static_cast<size_t>(getpagesize()), PROT_READ | PROT_WRITE);
}

TEST_F(Store, TheJournalHoldsTheNewValueBeforeTheEntryChanges) {
    const auto page = static_cast<size_t>(getpagesize());
    void* block = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(block, MAP_FAILED);
    gEntryPage = static_cast<char*>(block) + page;
    gStoreMirror = StoreMirror{static_cast<BCST_STORE_HEADER*>(block),
                               reinterpret_cast<NEW_MKT_MAP_DATA*>(gEntryPage), 2, 2};
    gStoreMirror.entries[1] = NEW_MKT_MAP_DATA{42, 1, 2, 3, 4, 5, 6, 7};
    ASSERT_EQ(mprotect(gEntryPage, page, PROT_READ), 0);
    struct sigaction action = {}, saved = {};
    action.sa_handler = OnEntryWrite;
    ASSERT_EQ(sigaction(SIGSEGV, &action, &saved), 0);

    const NEW_MKT_MAP_DATA updated{42, 10, 20, 30, 40, 50, 60, 70};
    StoreFileWrite(1, 2, updated);
    sigaction(SIGSEGV, &saved, nullptr);
    gStoreMirror = StoreMirror{};
    EXPECT_EQ(gHeaderAtEntryWrite.journalRef, 2u) << "the journal names the entry being rewritten";
    EXPECT_EQ(memcmp(&gHeaderAtEntryWrite.journal, &updated, sizeof updated), 0) << "and holds its new value";
    const auto* header = static_cast<const BCST_STORE_HEADER*>(block);
    EXPECT_EQ(header->journalRef, 0u) << "cleared once the entry is whole";
    EXPECT_EQ(memcmp(gEntryPage + sizeof(NEW_MKT_MAP_DATA), &updated, sizeof updated), 0);
    munmap(block, 2 * page);
}

// The one write-through: an entry the file has is rewritten in place; the store's newest entry is
// appended when it is the next the file takes; any other waits for the tick (the header then counts
// the newest as held in memory only).
TEST_F(Store, TheWriteThroughAppendsOnlyTheNewestEntry) {
    struct Row {
        uint32_t index, held;
        uint32_t count, memoryOnly;  // the header after the write
        bool written;                // the entry at `index` is the one written
    };
    const Row rows[] = {
        {0, 3, 1, 0, true},   // in the file: rewritten
        {1, 3, 1, 0, false},  // not in the file, not the newest: the tick's
        {2, 3, 1, 2, false},  // the newest, past the next one the file takes
        {1, 2, 2, 0, true},   // the newest and the next one: appended
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.index);
        BCST_STORE_HEADER header{};
        NEW_MKT_MAP_DATA entries[4] = {};
        header.count = 1;
        gStoreMirror = StoreMirror{&header, entries, 4, 1};
        const NEW_MKT_MAP_DATA entry{7, 1, 2, 3, 4, 5, 6, 8};
        StoreFileWrite(r.index, r.held, entry);
        gStoreMirror = StoreMirror{};
        EXPECT_EQ(header.count, r.count);
        EXPECT_EQ(header.memoryOnly, r.memoryOnly);
        EXPECT_EQ(header.journalRef, 0u);
        EXPECT_EQ(entries[r.index].token == 7, r.written);
    }
}

}  // namespace
