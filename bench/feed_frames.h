// Synthetic exchange feed for the benchmarks: a universe of instruments and LZ4-compressed frames of
// market-by-price, open/high/low and ticker records built from it, all reproducible from a seed.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/feedenc.h"

namespace bcst {

// The instruments a run trades, with the price around which each one quotes (in paise).
struct Universe {
    std::vector<int32_t> tokens;
    std::vector<int32_t> basePrices;
};

// `instruments` tokens spread over the capital-market token range (all below 32768, so the
// capital-market record's 16-bit token names the instrument unambiguously).
Universe MakeUniverse(int instruments, uint32_t seed);

// 42 records of 140 bytes fill the intake's 6,000-byte decode area.
constexpr int kMaxMbpRecords = kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_MBP_DATA));

// Market-by-price payload of `records` records for the instruments starting at `first` (wrapping),
// with depth, prices near each instrument's base and random indicator bits. `round` varies prices.
Bytes MakeMbpPayload(const Universe& universe, int first, int records, uint32_t round);
// Open/high/low payload (28-byte records) and ticker payload (16-byte records), same selection.
Bytes MakeOhlPayload(const Universe& universe, int first, int records, uint32_t round);
Bytes MakeTickerPayload(const Universe& universe, int first, int records, uint32_t round);

// Ready-made datagrams: `frames` market-by-price frames of 42 records each walking through the
// universe, and the open/high/low and ticker frames that put every instrument into the store.
// With `probeTags`, frame f carries f as the trade time of every record and as a little-endian
// 32-bit probe tag behind its payload, where the intake reads nothing (kProbeTagBytes).
constexpr int kProbeTagBytes = 4;
std::vector<Bytes> MakeMbpFrames(const Universe& universe, int frames, uint32_t seed, bool probeTags = false);
std::vector<Bytes> MakeStoreFrames(const Universe& universe, uint32_t round);

}  // namespace bcst
