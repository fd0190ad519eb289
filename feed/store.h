// The instrument store: latest open/high/low/close and ticker value of every token seen on the feed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>

#include "feed/byte_order.h"

struct NEW_MKT_MAP_DATA {
    int32_t token;
    int32_t openPrice;
    int32_t highPrice;
    int32_t lowPrice;
    int32_t closingPrice;
    int32_t ohlExtra1;
    int32_t ohlExtra2;
    int32_t tickerValue;  // read as the old format's last trade quantity
};

// Open/high/low record of a type-10750 payload.
struct BCST_WIRE NEW_MKT_OHL_DATA {
    int32_t token;
    int32_t openPrice;
    int32_t highPrice;
    int32_t lowPrice;
    int32_t closingPrice;
    int32_t ohlExtra1;
    int32_t ohlExtra2;
};

// Ticker record of a type-10600 payload; the two other words are not read.
struct BCST_WIRE NEW_MKT_TICKER_DATA {
    int32_t token;
    int32_t unused1;
    int32_t tickerValue;
    int32_t unused2;
};

// The exchange fixed these record sizes and offsets.
static_assert(sizeof(NEW_MKT_OHL_DATA) == 28, "open/high/low record");
static_assert(offsetof(NEW_MKT_OHL_DATA, closingPrice) == 16, "OHL close offset");
static_assert(offsetof(NEW_MKT_OHL_DATA, ohlExtra2) == 24, "OHL extra offset");
static_assert(sizeof(NEW_MKT_TICKER_DATA) == 16, "ticker record");
static_assert(offsetof(NEW_MKT_TICKER_DATA, tickerValue) == 8, "ticker value offset");

using OHLMap = std::map<int32_t, NEW_MKT_MAP_DATA>;

extern OHLMap gOHLMapData;                // token -> latest values; grows, never shrinks
extern OHLMap::iterator gOHLMapIterator;  // the one lookup cursor every user goes through

// Size of the decoded-payload area the record handlers read from (the intake's decompression buffer).
constexpr int kDecompressBufferSize = 6000;

// Apply the first `count` records of `data` (a decompression buffer of kDecompressBufferSize bytes).
// A count beyond what that buffer holds is cut to the records that fit. 1 for a null `data`, else 0.
int ProcessOHLData(char* data, int count);
int ProcessTickerData(char* data, int count);

// Empties the store. The running bridge never does (its store only grows); tests and benchmarks
// that start afresh use this, so that the lookup cursor goes with the entries.
void ResetInstrumentStore();

// Points gOHLMapIterator at the entry of `token` and returns it, or nullptr when there is none.
inline const NEW_MKT_MAP_DATA* LookUpInstrument(int32_t token) {
    gOHLMapIterator = gOHLMapData.find(token);
    return gOHLMapIterator == gOHLMapData.end() ? nullptr : &gOHLMapIterator->second;
}
