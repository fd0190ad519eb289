// Open/high/low and ticker records into the instrument store.
#include "feed/store.h"

#include <algorithm>
#include <new>

#include "app/counters.h"
#include "app/log.h"
#include "app/log_texts.h"

OHLMap gOHLMapData;
OHLMap::iterator gOHLMapIterator = gOHLMapData.end();

void ResetInstrumentStore() {
    gOHLMapData.clear();
    gOHLMapIterator = gOHLMapData.end();
}

namespace {

// Records of `size` bytes that lie wholly inside the decompression buffer.
int RecordsThatFit(int count, size_t size) {
    return std::min(count, static_cast<int>(kDecompressBufferSize / size));
}

// One search: leaves gOHLMapIterator on the token's entry, or inserts `fresh` there. False when the
// token is new and no memory could be had for it; the record is then dropped and the store unchanged.
bool FindOrInsert(int32_t token, const NEW_MKT_MAP_DATA& fresh, bool* inserted) {
    gOHLMapIterator = gOHLMapData.lower_bound(token);
    *inserted = false;
    if (gOHLMapIterator != gOHLMapData.end() && gOHLMapIterator->first == token) {
        return true;
    }
    try {
        gOHLMapIterator = gOHLMapData.emplace_hint(gOHLMapIterator, token, fresh);
    } catch (const std::bad_alloc&) {
        gOHLMapIterator = gOHLMapData.end();
        return false;
    }
    *inserted = true;
    CounterSet(kCounterStoreEntries, static_cast<int64_t>(gOHLMapData.size()));
    return true;
}

}  // namespace

int ProcessOHLData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogOhlNull);
        return 1;
    }
    const int records = RecordsThatFit(count, sizeof(NEW_MKT_OHL_DATA));
    for (int i = 0; i < records; ++i) {
        const auto* record = reinterpret_cast<const NEW_MKT_OHL_DATA*>(data + i * sizeof(NEW_MKT_OHL_DATA));
        const int32_t token = record->token;
        const NEW_MKT_MAP_DATA fresh{token,
                                     record->openPrice,
                                     record->highPrice,
                                     record->lowPrice,
                                     record->closingPrice,
                                     record->ohlExtra1,
                                     record->ohlExtra2,
                                     0};
        bool inserted;
        if (FindOrInsert(token, fresh, &inserted) && !inserted) {
            NEW_MKT_MAP_DATA& entry = gOHLMapIterator->second;  // tickerValue is the ticker's own
            entry.openPrice = fresh.openPrice;
            entry.highPrice = fresh.highPrice;
            entry.lowPrice = fresh.lowPrice;
            entry.closingPrice = fresh.closingPrice;
            entry.ohlExtra1 = fresh.ohlExtra1;
            entry.ohlExtra2 = fresh.ohlExtra2;
        }
    }
    return 0;
}

int ProcessTickerData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogTickerNull);
        return 1;
    }
    const int records = RecordsThatFit(count, sizeof(NEW_MKT_TICKER_DATA));
    for (int i = 0; i < records; ++i) {
        const auto* record =
            reinterpret_cast<const NEW_MKT_TICKER_DATA*>(data + i * sizeof(NEW_MKT_TICKER_DATA));
        const int32_t token = record->token;
        bool inserted;
        if (FindOrInsert(token, NEW_MKT_MAP_DATA{token, 0, 0, 0, 0, 0, 0, record->tickerValue}, &inserted) &&
            !inserted) {
            gOHLMapIterator->second.tickerValue = record->tickerValue;
        }
    }
    return 0;
}
