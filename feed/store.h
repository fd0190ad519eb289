// The instrument store: latest open/high/low/close and ticker value of every token seen on the feed.
//
// Entries lie back to back in insertion order in one block of process memory that is reserved once
// and filled page by page, so an entry never moves and a new one costs no copy of the others. A hash
// index from token to entry finds one with one probe in the common case; when the index fills up it
// grows into a table of twice the size a few slots per insert (and per loop tick), so growing never
// stalls the relay loop. The loop tick names the memory of the entries to come and of the next table
// ahead of need, and a thread of its own faults it in (feed/populate.h), so that no insert and no tick
// waits for the kernel to find a page. Every
// change is also written through to the instance's store file (feed/store_file.h), which a restarted bridge
// reads back.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "feed/byte_order.h"
#include "feed/store_entry.h"

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

// The most instruments the store holds in memory. Past this a new token's records are dropped (one
// log entry says so); the store file holds fewer (kStoreFileMaxEntries), the rest live in memory only.
constexpr uint32_t kStoreMaxEntries = 1u << 24;

// A position in the store: an entry, or the end (no entry). Dereferences like a map's iterator, as a
// pair of the token (`first`) and the entry (`second`).
class StoreIterator {
  public:
    struct Ref {
        const int32_t first;
        NEW_MKT_MAP_DATA& second;
    };
    struct Arrow {
        Ref ref;
        const Ref* operator->() const { return &ref; }
    };

    StoreIterator() = default;
    explicit StoreIterator(NEW_MKT_MAP_DATA* entry) : entry_(entry) {}
    Ref operator*() const { return Ref{entry_->token, *entry_}; }
    Arrow operator->() const { return Arrow{Ref{entry_->token, *entry_}}; }
    StoreIterator& operator++() {
        ++entry_;
        return *this;
    }
    bool operator==(const StoreIterator& other) const { return entry_ == other.entry_; }
    bool operator!=(const StoreIterator& other) const { return entry_ != other.entry_; }
    NEW_MKT_MAP_DATA* entry() const { return entry_; }

  private:
    NEW_MKT_MAP_DATA* entry_ = nullptr;
};

// Writes a whole entry through the store's own update path (tests and fuzzers seed the store so).
class StoreEntryWriter {
  public:
    explicit StoreEntryWriter(int32_t token) : token_(token) {}
    void operator=(const NEW_MKT_MAP_DATA& value) const;

  private:
    int32_t token_;
};

// The store's index and entries. Map-like where the system and its tests need it; iteration goes in
// insertion order (nothing walks the store in key order).
class InstrumentStore {
  public:
    size_t size() const { return count_; }
    bool empty() const { return count_ == 0; }
    StoreIterator begin() const { return StoreIterator(entries_); }
    StoreIterator end() const { return StoreIterator(entries_ == nullptr ? nullptr : entries_ + count_); }
    StoreIterator find(int32_t token) const;
    size_t count(int32_t token) const { return find(token) != end() ? 1 : 0; }
    const NEW_MKT_MAP_DATA& at(int32_t token) const;  // the entry of a token that has one
    StoreEntryWriter operator[](int32_t token) { return StoreEntryWriter(token); }

    // The entry of `token`, or null. One search.
    NEW_MKT_MAP_DATA* Find(int32_t token) const;
    // The entry of `token`, inserted as `fresh` when there was none (`*inserted` says which), or null
    // when a new entry cannot be had (the store is full or out of memory).
    NEW_MKT_MAP_DATA* FindOrInsert(int32_t token, const NEW_MKT_MAP_DATA& fresh, bool* inserted);
    uint32_t IndexOf(const NEW_MKT_MAP_DATA* entry) const { return static_cast<uint32_t>(entry - entries_); }
    const NEW_MKT_MAP_DATA* entries() const { return entries_; }

    // Starts loading the index slot, then (second call) the entry of `token`, so that a frame's lookups
    // made one by one afterwards find them in cache: a large store misses the cache on every lookup,
    // and started together the misses overlap.
    void PrefetchSlot(int32_t token) const {
        __builtin_prefetch(&table_.slots[Home(token, table_.shift) & table_.mask]);
    }
    void PrefetchEntry(int32_t token) const {
        uint32_t at = Home(token, table_.shift) & table_.mask;
        for (int probes = 0; probes < 4; ++probes, at = (at + 1) & table_.mask) {
            const Slot& slot = table_.slots[at];
            if (slot.ref == 0 || slot.token == token) {
                if (slot.ref != 0) {
                    __builtin_prefetch(entries_ + (slot.ref - 1));
                }
                return;
            }
        }
    }
    // Worth it only once the index outgrows the processor's caches.
    bool Large() const { return count_ > kLargeStore; }

    // Moves a bounded number of slots into the grown index table, if one is growing; from the tick.
    void Migrate(uint32_t slots);
    // Names the memory that inserts will soon need (entries ahead of the last, the table the index
    // will grow into) to be faulted in ahead, so that no insert pays for a page fault; from the tick.
    void PopulateAhead();
    // Gives back the table the index has grown out of; from the tick.
    void ReleaseRetired();
    void Clear();

  private:
    static constexpr uint32_t kLargeStore = 1u << 15;
    // Fibonacci hashing: consecutive tokens, the feed's usual numbering, land far apart.
    static uint32_t Home(int32_t token, int shift) {
        return static_cast<uint32_t>(
            (static_cast<uint64_t>(static_cast<uint32_t>(token)) * 0x9E3779B97F4A7C15ull) >> (32 + shift));
    }
    struct Slot {
        int32_t token;
        uint32_t ref;  // entry index + 1; 0 for a free slot
    };
    struct Table {
        Slot* slots = nullptr;
        uint32_t mask = 0;
        int shift = 32;
    };

    bool Reserve();
    static Slot* Probe(const Table& table, int32_t token);
    bool StartGrowth();

    NEW_MKT_MAP_DATA* entries_ = nullptr;  // kStoreMaxEntries reserved, touched as they fill
    uint32_t count_ = 0;
    Table table_;               // where new tokens go
    Table old_;                 // the table being moved out of while the index grows; else empty
    uint32_t moved_ = 0;        // slots of old_ already moved
    Table retired_;             // old_ once every slot is moved, until the tick unmaps it
    Table next_;                // the table the index will grow into, made ready ahead of need; else empty
    size_t entriesWanted_ = 0;  // bytes of the entry block asked to be faulted in
};

extern InstrumentStore gOHLMapData;    // token -> latest values; grows, never shrinks
extern StoreIterator gOHLMapIterator;  // the one lookup cursor every user goes through

// Size of the decoded-payload area the record handlers read from (the intake's decompression buffer).
constexpr int kDecompressBufferSize = 6000;

// Of `count` records of `size` bytes, those the handlers below apply: none for a count of 0 or less,
// and a count beyond what a decompression buffer holds (214 open/high/low, 375 ticker records) cut to
// the records that fit.
inline int StoreRecordsApplied(int count, size_t size) {
    const int fit = static_cast<int>(kDecompressBufferSize / size);
    return count <= 0 ? 0 : count < fit ? count : fit;
}

// Apply the first StoreRecordsApplied(count, record size) records of `data` (a decompression buffer
// of kDecompressBufferSize bytes). 1 for a null `data`, else 0.
int ProcessOHLData(char* data, int count);
int ProcessTickerData(char* data, int count);

// ---- the store's life with its file (feed/store_file.h) -------------------------------------------

// Takes the instance's store file and its lock; the first thing done once the instance number is
// known. 0 when this process may run; 1 when another process holds the lock, with the reason for
// standard error in `*refusal`.
int LockInstrumentStore(int16_t instance, std::string* refusal);

// After the configuration is read: the store as `instance` left it on `today` (yyyymmdd, local), read
// back from its file, which is then written through to. Logs what there was to say; never fails.
void RestoreInstrumentStore(int16_t instance, uint32_t today);

// Puts every entry of a validated store file image into the store, as a restart reads its file back.
struct StoreFileImage;
void LoadStoreImage(const StoreFileImage& image);

// The store's chore in the loop's tick (at `nowNs`, CLOCK_MONOTONIC, on `today`): moves a growing
// index along, has memory faulted in ahead of need and gives back what the index grew out of, then
// the file's own chore (StoreFileTick).
void StoreTick(int64_t nowNs, uint32_t today);

// What the store reports for the counters.
struct StoreFigures {
    int64_t entries;     // instruments held
    int64_t restored;    // read back from the store file at start-up
    int64_t memoryOnly;  // held but not (yet) in the store file
    int64_t repaired;    // store file headers and entries found changed and written back
};
StoreFigures InstrumentStoreFigures();

// Empties the store (and detaches it from its file). The running bridge never does (its store only
// grows); tests and benchmarks that start afresh use this, so that the lookup cursor goes with the
// entries.
void ResetInstrumentStore();

// Points gOHLMapIterator at the entry of `token` and returns it, or nullptr when there is none.
inline const NEW_MKT_MAP_DATA* LookUpInstrument(int32_t token) {
    NEW_MKT_MAP_DATA* entry = gOHLMapData.Find(token);
    gOHLMapIterator = entry == nullptr ? gOHLMapData.end() : StoreIterator(entry);
    return entry;
}
