// The tests' oracle, written from the wire tables independently of the bridge's own layouts and
// conversions: feed records described field by field and laid out little-endian at the feed offsets,
// and the 7208 messages and 512-byte datagrams they should become, built byte by byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "feed/store.h"
#include "mbp/new_mbp.h"
#include "support/test_support.h"

namespace bcsttest {

struct FeedLevel {
    int32_t quantity = 0;
    int32_t price = 0;
    int16_t orders = 0;
};

// One 140-byte market-by-price record of the exchange feed.
struct FeedRecord {
    int32_t token = 0;
    int32_t volume = 0;
    int32_t lastTradedPrice = 0;
    int32_t lastTradeTime = 0;
    int32_t averageTradePrice = 0;
    uint64_t totalBuyQuantity = 0;  // 8 raw bytes, little-endian on the feed
    uint64_t totalSellQuantity = 0;
    uint8_t indicator[3] = {0, 0, 0};
    uint8_t reserved = 0;
    FeedLevel levels[10];
};

// What the instrument store gives a record: zeros when its key is not there.
struct StoreEntry {
    int32_t close = 0;
    int32_t open = 0;
    int32_t high = 0;
    int32_t low = 0;
    int32_t ticker = 0;
};

// A record whose fields all differ from each other and from those of other seeds.
FeedRecord SampleRecord(int32_t token, int32_t seed);
// A record whose every field has distinct, non-palindromic bytes, so that a field copied to the wrong
// place or reversed the wrong way shows. `seed` (1..9) keeps records of one message apart.
FeedRecord DistinctRecord(int seed, int32_t token);

// Records as the feed carries them: little-endian at the exchange's offsets.
Bytes EncodeFeedRecord(const FeedRecord& r);
Bytes EncodeFeedRecords(const std::vector<FeedRecord>& records);
inline Bytes FeedPayload(std::initializer_list<FeedRecord> records) {
    return EncodeFeedRecords(records);
}
// Open/high/low (28 bytes) and ticker (16 bytes) records of the feed.
Bytes EncodeOhlRecord(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close, int32_t extra1,
                      int32_t extra2);
Bytes EncodeTickerRecord(int32_t token, int32_t tickerValue, uint32_t unread1 = 0, uint32_t unread2 = 0);

// Indicator flag n: bit n % 8 of indicator byte n / 8.
int IndicatorFlag(const FeedRecord& r, int n);

// The values a conversion derives for one record: given by a test, or worked out by the rules below.
struct Derived {
    int16_t tradingStatus = 0;
    int16_t buySell[10] = {};
    int16_t totalBuyFlag = 0;
    int16_t totalSellFlag = 0;
    char netChangeIndicator = ' ';
    int32_t netChange = 0;
    StoreEntry store{};
};

// The capital-market rules: status from flags 21/22, level codes from flags 0..14, the total flags
// from 18..20. The net change is the caller's, worked out from the numbers.
Derived CapitalMarketRules(const FeedRecord& r, const StoreEntry& store, char netChangeIndicator,
                           int32_t netChange);
// The derivatives rules: status 2, codes 0, the closing price as the net change.
Derived DerivativesRules(const FeedRecord& r, const StoreEntry& store);

// Header of either message: transaction code 7208 at 18, messageLength at 46, record count at 48.
void ExpectHeader(Bytes& message, uint16_t messageLength, uint16_t records);

// Byte order the expected record is written in: the wire's, or the host's (what TwiddleMBPMsgCM/FO
// turn one slot back into).
enum class Order { kWire, kHost };

// Capital-market record (212 bytes) at message offset `at` (50 for slot 1, 262 for slot 2): the
// 16-bit token on the wire, the rest as derived.
void ExpectRecordCM(Bytes& message, size_t at, const FeedRecord& in, const Derived& d,
                    Order order = Order::kWire);
// Derivatives record (214 bytes) at message offset `at` (50 for slot 1, 264 for slot 2).
void ExpectRecordFO(Bytes& message, size_t at, const FeedRecord& in, const Derived& d,
                    Order order = Order::kWire);

// One capital-market slot: the record, the store entry of its key and the net change it must show.
struct ExpectedCmSlot {
    FeedRecord in;
    StoreEntry store;
    char netChangeIndicator = ' ';
    int32_t netChange = 0;
};

// One derivatives slot: the record and the store entry of its token.
struct ExpectedFoSlot {
    FeedRecord in;
    StoreEntry store;
};

// Whole 512-byte datagrams: segment code, record count 1 and the message behind the 6-byte head.
// Capital market: segment code 4, 474-byte message; derivatives ("FO" 2, "CD" 6, "CO" 8): 478 bytes.
Bytes ExpectedCmDatagram(const std::vector<ExpectedCmSlot>& slots);
Bytes ExpectedFoDatagram(uint8_t segmentCode, const std::vector<ExpectedFoSlot>& slots);
// A message (from ExpectHeader and ExpectRecordCM/FO) behind the head of segment `segmentCode`.
Bytes OutputDatagram(uint8_t segmentCode, const Bytes& message);
// A datagram for a segment the bridge does not know: code 0, count 1 and nothing else.
Bytes ExpectedUnknownSegmentDatagram();

// Every differing offset with both bytes, for failure messages.
std::string ByteDiff(const Bytes& expected, const Bytes& actual);

// ---- running a conversion against the oracle

// Puts an entry straight into the store, the way the open/high/low and ticker handlers leave it.
void PutInStore(int32_t token, const StoreEntry& v);
// Snapshot of the whole store, to show that a conversion only reads it.
std::vector<NEW_MKT_MAP_DATA> StoreSnapshot();
bool SameEntries(const std::vector<NEW_MKT_MAP_DATA>& a, const std::vector<NEW_MKT_MAP_DATA>& b);

// Runs `convert` on a heap copy of `payload` that is exactly its size and on a heap message area of
// exactly sizeof(Message), first filled with 0xA5 so that any byte left unset shows; an access past
// either area is caught by AddressSanitizer.
template <typename Message, typename Convert>
Bytes RunConversion(const Bytes& payload, int count, Convert convert) {
    std::unique_ptr<uint8_t[]> input(new uint8_t[payload.size()]);
    std::memcpy(input.get(), payload.data(), payload.size());
    std::unique_ptr<uint8_t[]> area(new uint8_t[sizeof(Message)]);
    std::memset(area.get(), 0xA5, sizeof(Message));
    const int result = convert(reinterpret_cast<Message*>(area.get()),
                               reinterpret_cast<const NEW_MKT_MBP_DATA*>(input.get()), count);
    EXPECT_EQ(result, 0);
    return Bytes(area.get(), area.get() + sizeof(Message));
}

// Empties the process-wide store and its cursor around each test.
class StoreReset : public ::testing::Test {
  protected:
    void SetUp() override { ResetInstrumentStore(); }
    void TearDown() override { ResetInstrumentStore(); }
};

}  // namespace bcsttest
