// One instrument's entry in the store, as the store holds it in memory and its file on disk.
#pragma once

#include <cstddef>
#include <cstdint>

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
// The store file holds these entries as they are: half a cache line each, never straddling one.
static_assert(sizeof(NEW_MKT_MAP_DATA) == 32, "store entry");
static_assert(offsetof(NEW_MKT_MAP_DATA, tickerValue) == 28, "ticker value offset");

// A store's entries in insertion order, as its file takes them: `count` of them from `entries`.
struct StoreEntries {
    const NEW_MKT_MAP_DATA* entries;
    uint32_t count;
};
