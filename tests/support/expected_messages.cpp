// The oracle: feed records and expected old-format messages, byte by byte from the wire tables.
#include "support/expected_messages.h"

#include <algorithm>
#include <cstdio>

namespace bcsttest {

namespace {

constexpr size_t kMessageAt = 6;  // the message starts behind the 6-byte frame head

// Writes fields in the wire's big-endian order or, for a slot turned back, in the host's.
struct Writer {
    Order order;
    void Put16(Bytes& b, size_t at, uint16_t v) const {
        order == Order::kWire ? PutBe16(b, at, v) : PutLe16(b, at, v);
    }
    void Put32(Bytes& b, size_t at, uint32_t v) const {
        order == Order::kWire ? PutBe32(b, at, v) : PutLe32(b, at, v);
    }
    void Put64(Bytes& b, size_t at, uint64_t v) const {
        order == Order::kWire ? PutBe64(b, at, v) : PutLe64(b, at, v);
    }
};

void ExpectLevels(Bytes& m, size_t levelsAt, const FeedRecord& in, const Derived& d, Writer w) {
    for (size_t k = 0; k < 10; ++k) {
        const size_t level = levelsAt + 12 * k;
        w.Put32(m, level + 0, static_cast<uint32_t>(in.levels[k].quantity));
        w.Put32(m, level + 4, static_cast<uint32_t>(in.levels[k].price));
        w.Put16(m, level + 8, static_cast<uint16_t>(in.levels[k].orders));
        w.Put16(m, level + 10, static_cast<uint16_t>(d.buySell[k]));
    }
}

}  // namespace

FeedRecord SampleRecord(int32_t token, int32_t seed) {
    FeedRecord r;
    r.token = token;
    r.volume = 100000 + seed;
    r.lastTradedPrice = 20000 + seed;
    r.lastTradeTime = 1700000000 + seed;
    r.averageTradePrice = 19900 + seed;
    r.totalBuyQuantity = 0x0102030405060708ULL + static_cast<uint64_t>(seed);
    r.totalSellQuantity = 0x1112131415161718ULL + static_cast<uint64_t>(seed);
    for (int k = 0; k < 10; ++k) {
        r.levels[k].quantity = 1000 * (k + 1) + seed;
        r.levels[k].price = 20000 - 5 * k + seed;
        r.levels[k].orders = static_cast<int16_t>(k + 1 + seed % 50);
    }
    return r;
}

FeedRecord DistinctRecord(int seed, int32_t token) {
    FeedRecord r;
    r.token = token;
    r.volume = 0x0A1B2C3D + seed * 0x100;
    r.lastTradedPrice = 0x00123456 + seed;
    r.lastTradeTime = 0x5E0F1A2B + seed * 0x10000;
    r.averageTradePrice = 0x00112233 + seed * 0x1000000;
    for (int i = 0; i < 8; ++i) {  // feed bytes 01 02 .. 08 and 21 22 .. 28, shifted by the seed
        r.totalBuyQuantity |= static_cast<uint64_t>(static_cast<uint8_t>(0x01 + i + 0x40 * (seed - 1)))
                              << (8 * i);
        r.totalSellQuantity |= static_cast<uint64_t>(static_cast<uint8_t>(0x21 + i + 0x40 * (seed - 1)))
                               << (8 * i);
    }
    for (int k = 0; k < 10; ++k) {
        r.levels[k].quantity = 0x41000007 + (k + 1) * 0x10000 + seed * 0x100;
        r.levels[k].price = 0x00200000 + (k + 1) * 0x1111 + seed * 0x01000000;
        r.levels[k].orders = static_cast<int16_t>(0x0103 + (k + 1) * 0x100 + seed * 0x10);
    }
    return r;
}

Bytes EncodeFeedRecord(const FeedRecord& r) {
    Bytes b(140, 0);
    PutLe32(b, 0, static_cast<uint32_t>(r.token));
    PutLe32(b, 4, static_cast<uint32_t>(r.volume));
    PutLe32(b, 8, static_cast<uint32_t>(r.lastTradedPrice));
    PutLe32(b, 12, static_cast<uint32_t>(r.lastTradeTime));
    PutLe32(b, 16, static_cast<uint32_t>(r.averageTradePrice));
    PutLe64(b, 20, r.totalBuyQuantity);
    PutLe64(b, 28, r.totalSellQuantity);
    b[36] = r.indicator[0];
    b[37] = r.indicator[1];
    b[38] = r.indicator[2];
    b[39] = r.reserved;
    for (size_t k = 0; k < 10; ++k) {
        PutLe32(b, 40 + 10 * k, static_cast<uint32_t>(r.levels[k].quantity));
        PutLe32(b, 44 + 10 * k, static_cast<uint32_t>(r.levels[k].price));
        PutLe16(b, 48 + 10 * k, static_cast<uint16_t>(r.levels[k].orders));
    }
    return b;
}

Bytes EncodeFeedRecords(const std::vector<FeedRecord>& records) {
    Bytes all(140 * records.size());
    for (size_t i = 0; i < records.size(); ++i) {
        const Bytes one = EncodeFeedRecord(records[i]);
        std::copy(one.begin(), one.end(), all.begin() + static_cast<std::ptrdiff_t>(140 * i));
    }
    return all;
}

Bytes EncodeOhlRecord(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close, int32_t extra1,
                      int32_t extra2) {
    Bytes b(28, 0);
    const int32_t values[7] = {token, open, high, low, close, extra1, extra2};
    for (size_t i = 0; i < 7; ++i) {
        PutLe32(b, 4 * i, static_cast<uint32_t>(values[i]));
    }
    return b;
}

Bytes EncodeTickerRecord(int32_t token, int32_t tickerValue, uint32_t unread1, uint32_t unread2) {
    Bytes b(16, 0);
    PutLe32(b, 0, static_cast<uint32_t>(token));
    PutLe32(b, 4, unread1);
    PutLe32(b, 8, static_cast<uint32_t>(tickerValue));
    PutLe32(b, 12, unread2);
    return b;
}

int IndicatorFlag(const FeedRecord& r, int n) {
    return (r.indicator[n / 8] >> (n % 8)) & 1;
}

Derived CapitalMarketRules(const FeedRecord& r, const StoreEntry& store, char netChangeIndicator,
                           int32_t netChange) {
    static const int16_t kStatus[2][2] = {{3, 2}, {6, 1}};  // [flag 21][flag 22]
    Derived d;
    d.tradingStatus = kStatus[IndicatorFlag(r, 21)][IndicatorFlag(r, 22)];
    // Levels 1..5: flag k-1 adds 1, flag k+4 adds 2. Levels 6..10: flag k+4 gives 2.
    for (int k1 = 1; k1 <= 10; ++k1) {
        const int low = k1 <= 5 ? IndicatorFlag(r, k1 - 1) : 0;
        d.buySell[k1 - 1] = static_cast<int16_t>(low + 2 * IndicatorFlag(r, k1 + 4));
    }
    d.totalBuyFlag = static_cast<int16_t>(IndicatorFlag(r, 20) + 2 * IndicatorFlag(r, 18));
    d.totalSellFlag = static_cast<int16_t>(2 * IndicatorFlag(r, 19));
    d.netChangeIndicator = netChangeIndicator;
    d.netChange = netChange;
    d.store = store;
    return d;
}

Derived DerivativesRules(const FeedRecord& r, const StoreEntry& store) {
    Derived d;
    d.tradingStatus = 2;
    if (store.close != 0) {
        d.netChangeIndicator =
            r.lastTradedPrice < store.close ? '-' : (r.lastTradedPrice > store.close ? '+' : ' ');
    }
    d.netChange = store.close;
    d.store = store;
    return d;
}

void ExpectHeader(Bytes& message, uint16_t messageLength, uint16_t records) {
    PutBe16(message, 18, 7208);
    PutBe16(message, 46, messageLength);
    PutBe16(message, 48, records);
}

void ExpectRecordCM(Bytes& m, size_t at, const FeedRecord& in, const Derived& d, Order order) {
    const Writer w{order};
    w.Put16(m, at + 0, static_cast<uint16_t>(static_cast<uint32_t>(in.token) & 0xFFFF));
    w.Put16(m, at + 2, 1);
    w.Put16(m, at + 4, static_cast<uint16_t>(d.tradingStatus));
    w.Put32(m, at + 6, static_cast<uint32_t>(in.volume));
    w.Put32(m, at + 10, static_cast<uint32_t>(in.lastTradedPrice));
    m.at(at + 14) = static_cast<uint8_t>(d.netChangeIndicator);
    w.Put32(m, at + 16, static_cast<uint32_t>(d.netChange));
    w.Put32(m, at + 20, static_cast<uint32_t>(d.store.ticker));
    w.Put32(m, at + 24, static_cast<uint32_t>(in.lastTradeTime));
    w.Put32(m, at + 28, static_cast<uint32_t>(in.averageTradePrice));
    ExpectLevels(m, at + 54, in, d, w);
    w.Put16(m, at + 174, static_cast<uint16_t>(d.totalBuyFlag));
    w.Put16(m, at + 176, static_cast<uint16_t>(d.totalSellFlag));
    w.Put64(m, at + 178, in.totalBuyQuantity);
    w.Put64(m, at + 186, in.totalSellQuantity);
    w.Put32(m, at + 196, static_cast<uint32_t>(d.store.close));
    w.Put32(m, at + 200, static_cast<uint32_t>(d.store.open));
    w.Put32(m, at + 204, static_cast<uint32_t>(d.store.high));
    w.Put32(m, at + 208, static_cast<uint32_t>(d.store.low));
}

void ExpectRecordFO(Bytes& m, size_t at, const FeedRecord& in, const Derived& d, Order order) {
    const Writer w{order};
    w.Put32(m, at + 0, static_cast<uint32_t>(in.token));
    w.Put16(m, at + 4, 1);
    w.Put16(m, at + 6, static_cast<uint16_t>(d.tradingStatus));
    w.Put32(m, at + 8, static_cast<uint32_t>(in.volume));
    w.Put32(m, at + 12, static_cast<uint32_t>(in.lastTradedPrice));
    m.at(at + 16) = static_cast<uint8_t>(d.netChangeIndicator);
    w.Put32(m, at + 18, static_cast<uint32_t>(d.netChange));
    w.Put32(m, at + 22, static_cast<uint32_t>(d.store.ticker));
    w.Put32(m, at + 26, static_cast<uint32_t>(in.lastTradeTime));
    w.Put32(m, at + 30, static_cast<uint32_t>(in.averageTradePrice));
    ExpectLevels(m, at + 56, in, d, w);
    w.Put16(m, at + 176, static_cast<uint16_t>(d.totalBuyFlag));
    w.Put16(m, at + 178, static_cast<uint16_t>(d.totalSellFlag));
    w.Put64(m, at + 180, in.totalBuyQuantity);
    w.Put64(m, at + 188, in.totalSellQuantity);
    w.Put32(m, at + 198, static_cast<uint32_t>(d.store.close));
    w.Put32(m, at + 202, static_cast<uint32_t>(d.store.open));
    w.Put32(m, at + 206, static_cast<uint32_t>(d.store.high));
    w.Put32(m, at + 210, static_cast<uint32_t>(d.store.low));
}

// The 6-byte head (segment code, record count 1) and the message behind it.
Bytes OutputDatagram(uint8_t segmentCode, const Bytes& message) {
    Bytes d(512, 0);
    d[0] = segmentCode;
    d[3] = 0x01;
    std::copy(message.begin(), message.end(), d.begin() + kMessageAt);
    return d;
}

Bytes ExpectedCmDatagram(const std::vector<ExpectedCmSlot>& slots) {
    Bytes message(474, 0);
    ExpectHeader(message, 466, static_cast<uint16_t>(slots.size()));
    for (size_t s = 0; s < slots.size(); ++s) {
        const ExpectedCmSlot& slot = slots[s];
        ExpectRecordCM(message, 50 + 212 * s, slot.in,
                       CapitalMarketRules(slot.in, slot.store, slot.netChangeIndicator, slot.netChange));
    }
    return OutputDatagram(4, message);
}

Bytes ExpectedFoDatagram(uint8_t segmentCode, const std::vector<ExpectedFoSlot>& slots) {
    Bytes message(478, 0);
    ExpectHeader(message, 470, static_cast<uint16_t>(slots.size()));
    for (size_t s = 0; s < slots.size(); ++s) {
        ExpectRecordFO(message, 50 + 214 * s, slots[s].in, DerivativesRules(slots[s].in, slots[s].store));
    }
    return OutputDatagram(segmentCode, message);
}

Bytes ExpectedUnknownSegmentDatagram() {
    return OutputDatagram(0, {});
}

std::string ByteDiff(const Bytes& expected, const Bytes& actual) {
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

void PutInStore(int32_t token, const StoreEntry& v) {
    gOHLMapData[token] =
        NEW_MKT_MAP_DATA{token, v.open, v.high, v.low, v.close, 0x5A5A5A5A, 0x3C3C3C3C, v.ticker};
}

std::vector<NEW_MKT_MAP_DATA> StoreSnapshot() {
    std::vector<NEW_MKT_MAP_DATA> entries;
    for (const auto& [token, entry] : gOHLMapData) {
        entries.push_back(entry);
        EXPECT_EQ(token, entry.token);
    }
    return entries;
}

bool SameEntries(const std::vector<NEW_MKT_MAP_DATA>& a, const std::vector<NEW_MKT_MAP_DATA>& b) {
    return a.size() == b.size() &&
           (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(NEW_MKT_MAP_DATA)) == 0);
}

}  // namespace bcsttest
