// Synthetic exchange feed for the benchmarks (see feed_frames.h).
#include "feed_frames.h"

#include <cstddef>
#include <cstring>

#include "feed/byte_order.h"

namespace bcst {

namespace {

constexpr int kOhlPerFrame = 80;
constexpr int kTickerPerFrame = 150;

// xorshift32: small, fast and the same on every host.
struct Random {
    uint32_t state;
    explicit Random(uint32_t seed) : state(seed != 0 ? seed : 0x9E3779B9u) {}
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    int32_t Between(int32_t low, int32_t high) {  // inclusive
        return low + static_cast<int32_t>(Next() % static_cast<uint32_t>(high - low + 1));
    }
};

size_t Pick(const Universe& universe, int first, int i) {
    return static_cast<size_t>(first + i) % universe.tokens.size();
}

}  // namespace

Universe MakeUniverse(int instruments, uint32_t seed) {
    Random random(seed);
    Universe universe;
    int32_t token = 10;
    for (int i = 0; i < instruments; ++i) {
        token += random.Between(1, 15);
        universe.tokens.push_back(token);
        universe.basePrices.push_back(random.Between(20, 40000) * 5);  // tick size 5 paise
    }
    return universe;
}

// Liquid instruments quote ten levels, thin ones a few with the rest empty, as on a real book, and
// quantities come in round lots; that is what lets 42 records compress into one datagram.
Bytes MakeMbpPayload(const Universe& universe, int first, int records, uint32_t round) {
    static constexpr int32_t kLots[] = {1, 5, 10, 25, 50, 100, 200, 500};
    Bytes payload;
    payload.reserve(static_cast<size_t>(records) * sizeof(NEW_MKT_MBP_DATA));
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 2654435761u + round * 40503u + 1);
        const int32_t base = universe.basePrices[which];
        const int32_t last = base + random.Between(-40, 40) * 5;
        NEW_MKT_MBP_DATA r;
        std::memset(&r, 0, sizeof r);
        r.token = universe.tokens[which];
        // About one instrument in four has not traded yet today: no volume, no trade prices.
        if (random.Between(0, 3) != 0) {
            r.volumeTradedToday = random.Between(1, 1 << 20);
            r.lastTradedPrice = last;
            r.lastTradeTime = 1400000000 + static_cast<int32_t>(round);
            r.averageTradePrice = base;
        }
        r.totalBuyQuantity = random.Between(0, 1 << 18);
        r.totalSellQuantity = random.Between(0, 1 << 18);
        // Level flags at random; status flag 22 (normal market) on all but a few instruments.
        r.indicatorBits[0] = static_cast<uint8_t>(random.Next());
        r.indicatorBits[1] = static_cast<uint8_t>(random.Next() & 0x7F);
        r.indicatorBits[2] =
            static_cast<uint8_t>((random.Next() & 0x1C) | (random.Between(0, 9) != 0 ? 0x40 : 0x60));
        const int levels = (which % 9 == 0) ? 10 : random.Between(0, 3);
        for (int k = 0; k < levels; ++k) {
            const int side = k < 5 ? -(k + 1) : (k - 4);  // five bids below, five offers above
            r.mbpLevels[k].quantity = kLots[random.Next() % 8] * random.Between(1, 4);
            r.mbpLevels[k].price = last + side * 5;
            r.mbpLevels[k].numberOfOrders = static_cast<int16_t>(random.Between(1, 9));
        }
        bcst::AppendRecord(payload, r);
    }
    return payload;
}

Bytes MakeOhlPayload(const Universe& universe, int first, int records, uint32_t round) {
    Bytes payload;
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 2246822519u + round + 7);
        const int32_t base = universe.basePrices[which];
        NEW_MKT_OHL_DATA r = {};
        r.token = universe.tokens[which];
        r.openPrice = base + random.Between(-20, 20) * 5;
        r.highPrice = base + random.Between(20, 60) * 5;
        r.lowPrice = base - random.Between(20, 60) * 5;
        r.closingPrice = base + random.Between(-30, 30) * 5;  // previous close
        bcst::AppendRecord(payload, r);
    }
    return payload;
}

Bytes MakeTickerPayload(const Universe& universe, int first, int records, uint32_t round) {
    Bytes payload;
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 3266489917u + round + 11);
        NEW_MKT_TICKER_DATA r = {};
        r.token = universe.tokens[which];
        r.tickerValue = random.Between(1, 10000);
        bcst::AppendRecord(payload, r);
    }
    return payload;
}

std::vector<Bytes> MakeMbpFrames(const Universe& universe, int frames, uint32_t seed, bool probeTags) {
    std::vector<Bytes> out;
    const int instruments = static_cast<int>(universe.tokens.size());
    for (int f = 0; f < frames; ++f) {
        const int first = (f * kMaxMbpRecords) % instruments;
        const uint32_t round = seed + static_cast<uint32_t>(f);
        Bytes payload = MakeMbpPayload(universe, first, kMaxMbpRecords, round);
        for (size_t r = 0; probeTags && r < static_cast<size_t>(kMaxMbpRecords); ++r) {
            StoreLittleEndian(
                &payload[r * sizeof(NEW_MKT_MBP_DATA) + offsetof(NEW_MKT_MBP_DATA, lastTradeTime)],
                static_cast<int32_t>(f));
        }
        out.push_back(bcst::EncodeFrame(kMessageTypeMbp, kMaxMbpRecords, payload));
        if (probeTags && !out.back().empty()) {
            out.back().resize(out.back().size() + kProbeTagBytes);
            StoreLittleEndian(&out.back()[out.back().size() - kProbeTagBytes], static_cast<uint32_t>(f));
        }
    }
    return out;
}

std::vector<Bytes> MakeStoreFrames(const Universe& universe, uint32_t round) {
    std::vector<Bytes> out;
    const int instruments = static_cast<int>(universe.tokens.size());
    for (int first = 0; first < instruments; first += kOhlPerFrame) {
        const int n = instruments - first < kOhlPerFrame ? instruments - first : kOhlPerFrame;
        out.push_back(bcst::EncodeFrame(kMessageTypeOhl, static_cast<int16_t>(n),
                                        MakeOhlPayload(universe, first, n, round)));
    }
    for (int first = 0; first < instruments; first += kTickerPerFrame) {
        const int n = instruments - first < kTickerPerFrame ? instruments - first : kTickerPerFrame;
        out.push_back(bcst::EncodeFrame(kMessageTypeTicker, static_cast<int16_t>(n),
                                        MakeTickerPayload(universe, first, n, round)));
    }
    return out;
}

}  // namespace bcst
