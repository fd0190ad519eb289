// Expected old-format datagrams written out from the wire tables, independently of the bridge's own
// layouts and conversions: feed records are described field by field, encoded little-endian at their
// feed offsets, and the 512-byte datagrams they should become are built byte by byte in big-endian.
#pragma once

#include <cstdint>
#include <vector>

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
    uint64_t totalBuyQuantity = 0;  // 8 raw bytes
    uint64_t totalSellQuantity = 0;
    uint8_t indicator[3] = {0, 0, 0};
    uint8_t reserved = 0;
    FeedLevel levels[10];
};

// What the instrument store gives a record: zeros when its key is not there.
struct StoreEntry {
    int32_t open = 0;
    int32_t high = 0;
    int32_t low = 0;
    int32_t close = 0;
    int32_t ticker = 0;
};

inline void PutLe64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (8 * i));
    }
}

inline void PutBe64(Bytes& b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) {
        b.at(at + i) = static_cast<uint8_t>(v >> (56 - 8 * i));
    }
}

// A record whose fields all differ from each other and from those of other seeds.
inline FeedRecord SampleRecord(int32_t token, int32_t seed) {
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

// The record as the feed carries it: little-endian at the exchange's offsets.
inline Bytes EncodeFeedRecord(const FeedRecord& r) {
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

inline Bytes EncodeFeedRecords(const std::vector<FeedRecord>& records) {
    Bytes all;
    for (const FeedRecord& r : records) {
        const Bytes one = EncodeFeedRecord(r);
        all.insert(all.end(), one.begin(), one.end());
    }
    return all;
}

// Open/high/low (28 bytes) and ticker (16 bytes) records of the feed.
inline Bytes EncodeOhlRecord(int32_t token, int32_t open, int32_t high, int32_t low, int32_t close,
                             int32_t extra1, int32_t extra2) {
    Bytes b(28, 0);
    const int32_t values[7] = {token, open, high, low, close, extra1, extra2};
    for (size_t i = 0; i < 7; ++i) {
        PutLe32(b, 4 * i, static_cast<uint32_t>(values[i]));
    }
    return b;
}

inline Bytes EncodeTickerRecord(int32_t token, int32_t tickerValue, uint32_t unread1 = 0,
                                uint32_t unread2 = 0) {
    Bytes b(16, 0);
    PutLe32(b, 0, static_cast<uint32_t>(token));
    PutLe32(b, 4, unread1);
    PutLe32(b, 8, static_cast<uint32_t>(tickerValue));
    PutLe32(b, 12, unread2);
    return b;
}

// Indicator flag n: bit n % 8 of indicator byte n / 8.
inline int IndicatorFlag(const FeedRecord& r, int n) {
    return (r.indicator[n / 8] >> (n % 8)) & 1;
}

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

constexpr size_t kExpectedMessageAt = 6;  // the message starts behind the 6-byte frame head

inline Bytes ExpectedFrameHead(uint8_t segmentCode) {
    Bytes d(512, 0);
    d[0] = segmentCode;
    d[2] = 0x00;
    d[3] = 0x01;
    return d;
}

inline void PutExpectedHeader(Bytes& d, uint16_t messageLength, size_t records) {
    const size_t m = kExpectedMessageAt;
    PutBe16(d, m + 18, 7208);
    PutBe16(d, m + 46, messageLength);
    PutBe16(d, m + 48, static_cast<uint16_t>(records));
}

// Capital market: segment code 4, 474-byte message, 212-byte slots at message offsets 50 and 262.
inline Bytes ExpectedCmDatagram(const std::vector<ExpectedCmSlot>& slots) {
    static const uint16_t kStatus[2][2] = {{3, 2}, {6, 1}};  // [flag 21][flag 22]
    Bytes d = ExpectedFrameHead(4);
    PutExpectedHeader(d, 466, slots.size());
    for (size_t s = 0; s < slots.size(); ++s) {
        const FeedRecord& r = slots[s].in;
        const StoreEntry& st = slots[s].store;
        const size_t b = kExpectedMessageAt + 50 + 212 * s;
        PutBe16(d, b + 0, static_cast<uint16_t>(r.token));
        PutBe16(d, b + 2, 1);
        PutBe16(d, b + 4, kStatus[IndicatorFlag(r, 21)][IndicatorFlag(r, 22)]);
        PutBe32(d, b + 6, static_cast<uint32_t>(r.volume));
        PutBe32(d, b + 10, static_cast<uint32_t>(r.lastTradedPrice));
        d[b + 14] = static_cast<uint8_t>(slots[s].netChangeIndicator);
        PutBe32(d, b + 16, static_cast<uint32_t>(slots[s].netChange));
        PutBe32(d, b + 20, static_cast<uint32_t>(st.ticker));
        PutBe32(d, b + 24, static_cast<uint32_t>(r.lastTradeTime));
        PutBe32(d, b + 28, static_cast<uint32_t>(r.averageTradePrice));
        for (size_t k = 0; k < 10; ++k) {
            const size_t l = b + 54 + 12 * k;
            PutBe32(d, l + 0, static_cast<uint32_t>(r.levels[k].quantity));
            PutBe32(d, l + 4, static_cast<uint32_t>(r.levels[k].price));
            PutBe16(d, l + 8, static_cast<uint16_t>(r.levels[k].orders));
            // Levels 1..5: flag k-1 adds 1, flag k+4 adds 2. Levels 6..10: flag k+4 gives 2.
            const int k1 = static_cast<int>(k) + 1;
            const int code = k1 <= 5 ? IndicatorFlag(r, k1 - 1) + 2 * IndicatorFlag(r, k1 + 4)
                                     : 2 * IndicatorFlag(r, k1 + 4);
            PutBe16(d, l + 10, static_cast<uint16_t>(code));
        }
        PutBe16(d, b + 174, static_cast<uint16_t>(IndicatorFlag(r, 20) + 2 * IndicatorFlag(r, 18)));
        PutBe16(d, b + 176, static_cast<uint16_t>(2 * IndicatorFlag(r, 19)));
        PutBe64(d, b + 178, r.totalBuyQuantity);
        PutBe64(d, b + 186, r.totalSellQuantity);
        PutBe32(d, b + 196, static_cast<uint32_t>(st.close));
        PutBe32(d, b + 200, static_cast<uint32_t>(st.open));
        PutBe32(d, b + 204, static_cast<uint32_t>(st.high));
        PutBe32(d, b + 208, static_cast<uint32_t>(st.low));
    }
    return d;
}

// Derivatives ("FO" 2, "CD" 6, "CO" 8): 478-byte message, 214-byte slots at message offsets 50 and
// 264. Status always 2, flags always 0, and the net change field carries the closing price.
inline Bytes ExpectedFoDatagram(uint8_t segmentCode, const std::vector<ExpectedFoSlot>& slots) {
    Bytes d = ExpectedFrameHead(segmentCode);
    PutExpectedHeader(d, 470, slots.size());
    for (size_t s = 0; s < slots.size(); ++s) {
        const FeedRecord& r = slots[s].in;
        const StoreEntry& st = slots[s].store;
        const size_t b = kExpectedMessageAt + 50 + 214 * s;
        PutBe32(d, b + 0, static_cast<uint32_t>(r.token));
        PutBe16(d, b + 4, 1);
        PutBe16(d, b + 6, 2);
        PutBe32(d, b + 8, static_cast<uint32_t>(r.volume));
        PutBe32(d, b + 12, static_cast<uint32_t>(r.lastTradedPrice));
        char indicator = ' ';
        if (st.close != 0) {
            indicator = r.lastTradedPrice < st.close ? '-' : (r.lastTradedPrice > st.close ? '+' : ' ');
        }
        d[b + 16] = static_cast<uint8_t>(indicator);
        PutBe32(d, b + 18, static_cast<uint32_t>(st.close));
        PutBe32(d, b + 22, static_cast<uint32_t>(st.ticker));
        PutBe32(d, b + 26, static_cast<uint32_t>(r.lastTradeTime));
        PutBe32(d, b + 30, static_cast<uint32_t>(r.averageTradePrice));
        for (size_t k = 0; k < 10; ++k) {
            const size_t l = b + 56 + 12 * k;
            PutBe32(d, l + 0, static_cast<uint32_t>(r.levels[k].quantity));
            PutBe32(d, l + 4, static_cast<uint32_t>(r.levels[k].price));
            PutBe16(d, l + 8, static_cast<uint16_t>(r.levels[k].orders));
        }
        PutBe64(d, b + 180, r.totalBuyQuantity);
        PutBe64(d, b + 188, r.totalSellQuantity);
        PutBe32(d, b + 198, static_cast<uint32_t>(st.close));
        PutBe32(d, b + 202, static_cast<uint32_t>(st.open));
        PutBe32(d, b + 206, static_cast<uint32_t>(st.high));
        PutBe32(d, b + 210, static_cast<uint32_t>(st.low));
    }
    return d;
}

// A datagram for a segment the bridge does not know: code 0, count 1 and nothing else.
inline Bytes ExpectedUnknownSegmentDatagram() {
    return ExpectedFrameHead(0);
}

}  // namespace bcsttest
