// Synthetic exchange feed for the benchmarks (see feed_frames.h).
#include "feed_frames.h"

#include <lz4.h>

#include <cstring>

namespace bcstbench {

namespace {

constexpr int kMbpRecordSize = 140;
constexpr int kOhlRecordSize = 28;
constexpr int kTickerRecordSize = 16;
constexpr int kFrameHeaderSize = 6;
constexpr int kMaxPayloadInDatagram = 2500 - kFrameHeaderSize;
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

void Le16(Bytes& b, size_t at, int32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

void Le32(Bytes& b, size_t at, int32_t v) {
    for (int i = 0; i < 4; ++i) {
        b[at + i] = static_cast<uint8_t>(static_cast<uint32_t>(v) >> (8 * i));
    }
}

void Le64(Bytes& b, size_t at, int64_t v) {
    for (int i = 0; i < 8; ++i) {
        b[at + i] = static_cast<uint8_t>(static_cast<uint64_t>(v) >> (8 * i));
    }
}

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

Bytes MakeFrame(int16_t type, int16_t records, const Bytes& payload) {
    Bytes frame(kFrameHeaderSize + static_cast<size_t>(LZ4_compressBound(static_cast<int>(payload.size()))));
    const int compressed = LZ4_compress_default(reinterpret_cast<const char*>(payload.data()),
                                                reinterpret_cast<char*>(frame.data() + kFrameHeaderSize),
                                                static_cast<int>(payload.size()),
                                                static_cast<int>(frame.size() - kFrameHeaderSize));
    if (compressed <= 0 || compressed > kMaxPayloadInDatagram) {
        return {};
    }
    frame.resize(kFrameHeaderSize + static_cast<size_t>(compressed));
    Le16(frame, 0, type);
    Le16(frame, 2, compressed);
    Le16(frame, 4, records);
    return frame;
}

// Liquid instruments quote ten levels, thin ones a few with the rest empty, as on a real book, and
// quantities come in round lots; that is what lets 42 records compress into one datagram.
Bytes MakeMbpPayload(const Universe& universe, int first, int records, uint32_t round) {
    static constexpr int32_t kLots[] = {1, 5, 10, 25, 50, 100, 200, 500};
    Bytes payload(static_cast<size_t>(records) * kMbpRecordSize, 0);
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 2654435761u + round * 40503u + 1);
        const int32_t base = universe.basePrices[which];
        const size_t at = static_cast<size_t>(i) * kMbpRecordSize;
        const int32_t last = base + random.Between(-40, 40) * 5;
        Le32(payload, at + 0, universe.tokens[which]);
        // About one instrument in four has not traded yet today: no volume, no trade prices.
        if (random.Between(0, 3) != 0) {
            Le32(payload, at + 4, random.Between(1, 1 << 20));
            Le32(payload, at + 8, last);
            Le32(payload, at + 12, 1400000000 + static_cast<int32_t>(round));
            Le32(payload, at + 16, base);
        }
        Le64(payload, at + 20, random.Between(0, 1 << 18));
        Le64(payload, at + 28, random.Between(0, 1 << 18));
        // Level flags at random; status flag 22 (normal market) on all but a few instruments.
        payload[at + 36] = static_cast<uint8_t>(random.Next());
        payload[at + 37] = static_cast<uint8_t>(random.Next() & 0x7F);
        payload[at + 38] =
            static_cast<uint8_t>((random.Next() & 0x1C) | (random.Between(0, 9) != 0 ? 0x40 : 0x60));
        const int levels = (which % 9 == 0) ? 10 : random.Between(0, 3);
        for (int k = 0; k < levels; ++k) {
            const size_t level = at + 40 + static_cast<size_t>(k) * 10;
            const int side = k < 5 ? -(k + 1) : (k - 4);  // five bids below, five offers above
            Le32(payload, level + 0, kLots[random.Next() % 8] * random.Between(1, 4));
            Le32(payload, level + 4, last + side * 5);
            Le16(payload, level + 8, random.Between(1, 9));
        }
    }
    return payload;
}

Bytes MakeOhlPayload(const Universe& universe, int first, int records, uint32_t round) {
    Bytes payload(static_cast<size_t>(records) * kOhlRecordSize, 0);
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 2246822519u + round + 7);
        const int32_t base = universe.basePrices[which];
        const size_t at = static_cast<size_t>(i) * kOhlRecordSize;
        Le32(payload, at + 0, universe.tokens[which]);
        Le32(payload, at + 4, base + random.Between(-20, 20) * 5);   // open
        Le32(payload, at + 8, base + random.Between(20, 60) * 5);    // high
        Le32(payload, at + 12, base - random.Between(20, 60) * 5);   // low
        Le32(payload, at + 16, base + random.Between(-30, 30) * 5);  // previous close
    }
    return payload;
}

Bytes MakeTickerPayload(const Universe& universe, int first, int records, uint32_t round) {
    Bytes payload(static_cast<size_t>(records) * kTickerRecordSize, 0);
    for (int i = 0; i < records; ++i) {
        const size_t which = Pick(universe, first, i);
        Random random(universe.tokens[which] * 3266489917u + round + 11);
        const size_t at = static_cast<size_t>(i) * kTickerRecordSize;
        Le32(payload, at + 0, universe.tokens[which]);
        Le32(payload, at + 8, random.Between(1, 10000));
    }
    return payload;
}

std::vector<Bytes> MakeMbpFrames(const Universe& universe, int frames, uint32_t seed) {
    std::vector<Bytes> out;
    const int instruments = static_cast<int>(universe.tokens.size());
    for (int f = 0; f < frames; ++f) {
        const int first = (f * kMaxMbpRecords) % instruments;
        const uint32_t round = seed + static_cast<uint32_t>(f);
        out.push_back(
            MakeFrame(kTypeMbp, kMaxMbpRecords, MakeMbpPayload(universe, first, kMaxMbpRecords, round)));
    }
    return out;
}

std::vector<Bytes> MakeStoreFrames(const Universe& universe, uint32_t round) {
    std::vector<Bytes> out;
    const int instruments = static_cast<int>(universe.tokens.size());
    for (int first = 0; first < instruments; first += kOhlPerFrame) {
        const int n = instruments - first < kOhlPerFrame ? instruments - first : kOhlPerFrame;
        out.push_back(
            MakeFrame(kTypeOhl, static_cast<int16_t>(n), MakeOhlPayload(universe, first, n, round)));
    }
    for (int first = 0; first < instruments; first += kTickerPerFrame) {
        const int n = instruments - first < kTickerPerFrame ? instruments - first : kTickerPerFrame;
        out.push_back(
            MakeFrame(kTypeTicker, static_cast<int16_t>(n), MakeTickerPayload(universe, first, n, round)));
    }
    return out;
}

}  // namespace bcstbench
