// Golden-test builders: feed market-by-price records written byte by byte (little-endian, at the feed
// offsets) and expected 7208 messages written byte by byte (big-endian as on the wire, or host order for
// a slot turned back, at the broadcast offsets), without touching the conversion code.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

#include "feed/store.h"
#include "mbp/new_mbp.h"
#include "support/test_support.h"

namespace mbpgolden {

using bcsttest::Bytes;

constexpr size_t kFeedRecordSize = 140;

struct FeedLevel {
    int32_t quantity;
    int32_t price;
    int16_t orders;
};

// One feed record as plain values; WriteFeedRecord lays it out.
struct FeedRecord {
    int32_t token;
    int32_t volume;
    int32_t lastPrice;
    int32_t lastTime;
    int32_t averagePrice;
    uint8_t buyQuantity[8];   // as they lie in the feed, bytes 20..27
    uint8_t sellQuantity[8];  // bytes 28..35
    uint8_t indicator[3];     // bytes 36..38
    uint8_t reserved;         // byte 39
    FeedLevel levels[10];
};

// A record whose every field has distinct, non-palindromic bytes, so that a field copied to the wrong
// place or reversed the wrong way shows. `seed` (1..9) keeps records of one message apart.
inline FeedRecord SampleRecord(int seed, int32_t token) {
    FeedRecord r{};
    r.token = token;
    r.volume = 0x0A1B2C3D + seed * 0x100;
    r.lastPrice = 0x00123456 + seed;
    r.lastTime = 0x5E0F1A2B + seed * 0x10000;
    r.averagePrice = 0x00112233 + seed * 0x1000000;
    for (int i = 0; i < 8; ++i) {
        r.buyQuantity[i] = static_cast<uint8_t>(0x01 + i + 0x40 * (seed - 1));
        r.sellQuantity[i] = static_cast<uint8_t>(0x21 + i + 0x40 * (seed - 1));
    }
    for (int k = 0; k < 10; ++k) {
        r.levels[k].quantity = 0x41000007 + (k + 1) * 0x10000 + seed * 0x100;
        r.levels[k].price = 0x00200000 + (k + 1) * 0x1111 + seed * 0x01000000;
        r.levels[k].orders = static_cast<int16_t>(0x0103 + (k + 1) * 0x100 + seed * 0x10);
    }
    return r;
}

// Lays the record out at `at` exactly as the feed carries it.
inline void WriteFeedRecord(Bytes& payload, size_t at, const FeedRecord& r) {
    using bcsttest::PutLe16;
    using bcsttest::PutLe32;
    PutLe32(payload, at + 0, static_cast<uint32_t>(r.token));
    PutLe32(payload, at + 4, static_cast<uint32_t>(r.volume));
    PutLe32(payload, at + 8, static_cast<uint32_t>(r.lastPrice));
    PutLe32(payload, at + 12, static_cast<uint32_t>(r.lastTime));
    PutLe32(payload, at + 16, static_cast<uint32_t>(r.averagePrice));
    for (size_t i = 0; i < 8; ++i) {
        payload.at(at + 20 + i) = r.buyQuantity[i];
        payload.at(at + 28 + i) = r.sellQuantity[i];
    }
    payload.at(at + 36) = r.indicator[0];
    payload.at(at + 37) = r.indicator[1];
    payload.at(at + 38) = r.indicator[2];
    payload.at(at + 39) = r.reserved;
    for (size_t k = 0; k < 10; ++k) {
        const size_t level = at + 40 + 10 * k;
        PutLe32(payload, level + 0, static_cast<uint32_t>(r.levels[k].quantity));
        PutLe32(payload, level + 4, static_cast<uint32_t>(r.levels[k].price));
        PutLe16(payload, level + 8, static_cast<uint16_t>(r.levels[k].orders));
    }
}

inline Bytes FeedPayload(std::initializer_list<FeedRecord> records) {
    Bytes payload(kFeedRecordSize * records.size(), 0);
    size_t at = 0;
    for (const FeedRecord& r : records) {
        WriteFeedRecord(payload, at, r);
        at += kFeedRecordSize;
    }
    return payload;
}

// What a store entry holds for the token (all zero when the token has none).
struct StoreValues {
    int32_t close;
    int32_t open;
    int32_t high;
    int32_t low;
    int32_t ticker;
};

// Puts an entry straight into the store, the way the open/high/low and ticker handlers leave it.
inline void PutInStore(int32_t token, const StoreValues& v) {
    gOHLMapData[token] =
        NEW_MKT_MAP_DATA{token, v.open, v.high, v.low, v.close, 0x5A5A5A5A, 0x3C3C3C3C, v.ticker};
}

// The values a test expects the conversion to derive, worked out by each test from the wire layout.
struct Derived {
    int16_t tradingStatus = 0;
    int16_t buySell[10] = {};
    int16_t totalBuyFlag = 0;
    int16_t totalSellFlag = 0;
    char netChangeIndicator = ' ';
    int32_t netChange = 0;
    StoreValues store{};
};

// Header of either message: transaction code 7208 at 18, messageLength at 46, record count at 48.
inline void ExpectHeader(Bytes& message, uint16_t messageLength, uint16_t records) {
    message.at(18) = 0x1C;
    message.at(19) = 0x28;
    bcsttest::PutBe16(message, 46, messageLength);
    bcsttest::PutBe16(message, 48, records);
}

// Byte order the expected record is written in: the wire's, or the host's (what TwiddleMBPMsgCM/FO turn
// one slot back into).
enum class Order { kWire, kHost };

struct Writer {
    Order order;
    void Put16(Bytes& b, size_t at, uint16_t v) const {
        order == Order::kWire ? bcsttest::PutBe16(b, at, v) : bcsttest::PutLe16(b, at, v);
    }
    void Put32(Bytes& b, size_t at, uint32_t v) const {
        order == Order::kWire ? bcsttest::PutBe32(b, at, v) : bcsttest::PutLe32(b, at, v);
    }
    // The 8 feed bytes b0..b7 go out on the wire as b7..b0.
    void Put8(Bytes& b, size_t at, const uint8_t in[8]) const {
        for (size_t i = 0; i < 8; ++i) {
            b.at(at + i) = order == Order::kWire ? in[7 - i] : in[i];
        }
    }
};

inline void ExpectLevels(Bytes& m, size_t levelsAt, const FeedRecord& in, const Derived& d, Writer w) {
    for (size_t k = 0; k < 10; ++k) {
        const size_t level = levelsAt + 12 * k;
        w.Put32(m, level + 0, static_cast<uint32_t>(in.levels[k].quantity));
        w.Put32(m, level + 4, static_cast<uint32_t>(in.levels[k].price));
        w.Put16(m, level + 8, static_cast<uint16_t>(in.levels[k].orders));
        w.Put16(m, level + 10, static_cast<uint16_t>(d.buySell[k]));
    }
}

// Capital-market record (212 bytes) at message offset `at` (50 for slot 1, 262 for slot 2).
inline void ExpectRecordCM(Bytes& m, size_t at, const FeedRecord& in, const Derived& d,
                           Order order = Order::kWire) {
    const Writer w{order};
    w.Put16(m, at + 0, static_cast<uint16_t>(static_cast<uint32_t>(in.token) & 0xFFFF));
    w.Put16(m, at + 2, 1);
    w.Put16(m, at + 4, static_cast<uint16_t>(d.tradingStatus));
    w.Put32(m, at + 6, static_cast<uint32_t>(in.volume));
    w.Put32(m, at + 10, static_cast<uint32_t>(in.lastPrice));
    m.at(at + 14) = static_cast<uint8_t>(d.netChangeIndicator);
    w.Put32(m, at + 16, static_cast<uint32_t>(d.netChange));
    w.Put32(m, at + 20, static_cast<uint32_t>(d.store.ticker));
    w.Put32(m, at + 24, static_cast<uint32_t>(in.lastTime));
    w.Put32(m, at + 28, static_cast<uint32_t>(in.averagePrice));
    ExpectLevels(m, at + 54, in, d, w);
    w.Put16(m, at + 174, static_cast<uint16_t>(d.totalBuyFlag));
    w.Put16(m, at + 176, static_cast<uint16_t>(d.totalSellFlag));
    w.Put8(m, at + 178, in.buyQuantity);
    w.Put8(m, at + 186, in.sellQuantity);
    w.Put32(m, at + 196, static_cast<uint32_t>(d.store.close));
    w.Put32(m, at + 200, static_cast<uint32_t>(d.store.open));
    w.Put32(m, at + 204, static_cast<uint32_t>(d.store.high));
    w.Put32(m, at + 208, static_cast<uint32_t>(d.store.low));
}

// Derivatives record (214 bytes) at message offset `at` (50 for slot 1, 264 for slot 2).
inline void ExpectRecordFO(Bytes& m, size_t at, const FeedRecord& in, const Derived& d,
                           Order order = Order::kWire) {
    const Writer w{order};
    w.Put32(m, at + 0, static_cast<uint32_t>(in.token));
    w.Put16(m, at + 4, 1);
    w.Put16(m, at + 6, static_cast<uint16_t>(d.tradingStatus));
    w.Put32(m, at + 8, static_cast<uint32_t>(in.volume));
    w.Put32(m, at + 12, static_cast<uint32_t>(in.lastPrice));
    m.at(at + 16) = static_cast<uint8_t>(d.netChangeIndicator);
    w.Put32(m, at + 18, static_cast<uint32_t>(d.netChange));
    w.Put32(m, at + 22, static_cast<uint32_t>(d.store.ticker));
    w.Put32(m, at + 26, static_cast<uint32_t>(in.lastTime));
    w.Put32(m, at + 30, static_cast<uint32_t>(in.averagePrice));
    ExpectLevels(m, at + 56, in, d, w);
    w.Put16(m, at + 176, static_cast<uint16_t>(d.totalBuyFlag));
    w.Put16(m, at + 178, static_cast<uint16_t>(d.totalSellFlag));
    w.Put8(m, at + 180, in.buyQuantity);
    w.Put8(m, at + 188, in.sellQuantity);
    w.Put32(m, at + 198, static_cast<uint32_t>(d.store.close));
    w.Put32(m, at + 202, static_cast<uint32_t>(d.store.open));
    w.Put32(m, at + 206, static_cast<uint32_t>(d.store.high));
    w.Put32(m, at + 210, static_cast<uint32_t>(d.store.low));
}

// Every differing offset with both bytes, for failure messages.
inline std::string ByteDiff(const Bytes& expected, const Bytes& actual) {
    std::string out;
    if (expected.size() != actual.size()) {
        out += "sizes " + std::to_string(expected.size()) + " vs " + std::to_string(actual.size()) + "\n";
    }
    const size_t n = std::min(expected.size(), actual.size());
    for (size_t i = 0; i < n; ++i) {
        if (expected[i] != actual[i]) {
            char line[64];
            std::snprintf(line, sizeof line, "offset %zu: expected %02X actual %02X\n", i, expected[i],
                          actual[i]);
            out += line;
        }
    }
    return out;
}

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

// Snapshot of the whole store, to show that a conversion only reads it.
inline std::vector<NEW_MKT_MAP_DATA> StoreSnapshot() {
    std::vector<NEW_MKT_MAP_DATA> entries;
    for (const auto& [token, entry] : gOHLMapData) {
        entries.push_back(entry);
        EXPECT_EQ(token, entry.token);
    }
    return entries;
}

inline bool SameEntries(const std::vector<NEW_MKT_MAP_DATA>& a, const std::vector<NEW_MKT_MAP_DATA>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(NEW_MKT_MAP_DATA)) == 0);
}

// Empties the process-wide store and its cursor around each test.
class StoreReset : public ::testing::Test {
  protected:
    void SetUp() override { Clear(); }
    void TearDown() override { Clear(); }
    static void Clear() { ResetInstrumentStore(); }
};

}  // namespace mbpgolden
