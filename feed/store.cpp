// Open/high/low and ticker records into the instrument store: its entries, its index, the one path by
// which a record changes it (and so reaches the store file), its tick, and its life with its file.
#include "feed/store.h"

#include <sys/mman.h>

#include <cstring>

#include "app/log.h"
#include "app/log_texts.h"
#include "feed/populate.h"
#include "feed/store_file.h"

InstrumentStore gOHLMapData;
StoreIterator gOHLMapIterator;

namespace {

constexpr uint32_t kFirstTableSlots = 1024;
// The index grows once it is half full: probes stay short, and a slot is 8 bytes, so the index costs
// 16 to 32 bytes per instrument.
constexpr uint32_t kMaxLoadDivisor = 2;
// Old slots moved per insert while the index grows. Growth starts at half of the old table's slots
// in use and must end before the new table is half full: 2 per insert would do, 8 leaves room.
constexpr uint32_t kMovesPerInsert = 8;

// Huge pages from here on: a large store's random lookups would otherwise miss the TLB as well as the
// cache, while a small one keeps to small pages and costs only what it uses.
constexpr size_t kHugePagesFrom = size_t{4} << 20;

void* ReserveMemory(size_t bytes) {
    void* block =
        mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (block == MAP_FAILED) {
        return nullptr;
    }
    if (bytes > kHugePagesFrom) {
        madvise(static_cast<char*>(block) + kHugePagesFrom, bytes - kHugePagesFrom, MADV_HUGEPAGE);
    }
    return block;
}

bool gReportedFull = false;
uint32_t gRestored = 0;  // instruments read back from the store file at start-up
// Slots of the old index table the tick moves while the index grows.
constexpr uint32_t kTickMigrateSlots = 16384;

// Memory is faulted in this far ahead of the entries in use, and the next table once the index is
// a quarter full, well before it grows at a half.
constexpr size_t kEntriesAhead = size_t{4} << 20;
constexpr uint32_t kPrepareDivisor = 4;

size_t AlignedUp(size_t bytes, size_t unit) {
    return (bytes + unit - 1) / unit * unit;
}

}  // namespace

InstrumentStore::Slot* InstrumentStore::Probe(const Table& table, int32_t token) {
    uint32_t at = Home(token, table.shift) & table.mask;
    for (;;) {
        Slot* slot = &table.slots[at];
        if (slot->ref == 0 || slot->token == token) {
            return slot;
        }
        at = (at + 1) & table.mask;
    }
}

NEW_MKT_MAP_DATA* InstrumentStore::Find(int32_t token) const {
    if (table_.slots == nullptr) {
        return nullptr;
    }
    const Slot* slot = Probe(table_, token);
    if (slot->ref == 0 && old_.slots != nullptr) {
        slot = Probe(old_, token);  // not moved yet; a moved slot left behind there says the same
    }
    return slot->ref == 0 ? nullptr : entries_ + (slot->ref - 1);
}

StoreIterator InstrumentStore::find(int32_t token) const {
    NEW_MKT_MAP_DATA* entry = Find(token);
    return entry == nullptr ? end() : StoreIterator(entry);
}

const NEW_MKT_MAP_DATA& InstrumentStore::at(int32_t token) const {
    static const NEW_MKT_MAP_DATA kNone{};
    const NEW_MKT_MAP_DATA* entry = Find(token);
    return entry == nullptr ? kNone : *entry;
}

bool InstrumentStore::Reserve() {
    if (entries_ == nullptr) {
        entries_ = static_cast<NEW_MKT_MAP_DATA*>(ReserveMemory(sizeof(NEW_MKT_MAP_DATA) * kStoreMaxEntries));
    }
    if (table_.slots == nullptr && entries_ != nullptr) {
        table_.slots = static_cast<Slot*>(ReserveMemory(sizeof(Slot) * kFirstTableSlots));
        table_.mask = kFirstTableSlots - 1;
        table_.shift = 32 - 10;
    }
    return entries_ != nullptr && table_.slots != nullptr;
}

bool InstrumentStore::StartGrowth() {
    const uint64_t slots = static_cast<uint64_t>(table_.mask + 1) * 2;
    Slot* grown = next_.slots;  // made ready ahead, or not yet
    next_ = Table{};
    if (grown == nullptr) {
        grown = static_cast<Slot*>(ReserveMemory(sizeof(Slot) * slots));
    }
    if (grown == nullptr) {
        return false;
    }
    old_ = table_;
    moved_ = 0;
    table_.slots = grown;
    table_.mask = static_cast<uint32_t>(slots - 1);
    table_.shift -= 1;
    return true;
}

void InstrumentStore::Migrate(uint32_t slots) {
    if (old_.slots == nullptr) {
        return;
    }
    const uint32_t end = old_.mask + 1;
    const uint32_t stop = end - moved_ < slots ? end : moved_ + slots;
    for (; moved_ < stop; ++moved_) {
        const Slot& slot = old_.slots[moved_];
        if (slot.ref != 0) {
            Slot* target = Probe(table_, slot.token);
            if (target->ref == 0) {
                *target = slot;
            }
        }
    }
    if (moved_ == end) {
        // Unmapped by the next tick: giving back the pages of a large table takes a while.
        retired_ = old_;
        old_ = Table{};
    }
}

void InstrumentStore::ReleaseRetired() {
    if (retired_.slots != nullptr && PopulateIdle()) {
        munmap(retired_.slots, sizeof(Slot) * (retired_.mask + 1));
        retired_ = Table{};
    }
}

void InstrumentStore::PopulateAhead() {
    if (entries_ == nullptr || table_.slots == nullptr) {
        return;
    }
    // Small pages fault in cheaply one at a time; the huge pages past kHugePagesFrom are made ready.
    const size_t entryBytes = sizeof(NEW_MKT_MAP_DATA) * kStoreMaxEntries;
    const size_t used = sizeof(NEW_MKT_MAP_DATA) * count_;
    if (used + kEntriesAhead > kHugePagesFrom) {
        const size_t wanted = AlignedUp(used + kEntriesAhead, kEntriesAhead);
        entriesWanted_ = wanted < entryBytes ? wanted : entryBytes;
        PopulateInBackground(kPopulateEntries, entries_, entriesWanted_);
    }
    const size_t slots = static_cast<size_t>(table_.mask + 1);
    if (old_.slots != nullptr || count_ < slots / kPrepareDivisor) {
        return;
    }
    const size_t bytes = sizeof(Slot) * slots * 2;
    if (next_.slots == nullptr && PopulateIdle()) {
        next_.slots = static_cast<Slot*>(ReserveMemory(bytes));
    }
    if (next_.slots != nullptr && bytes > kHugePagesFrom) {
        PopulateInBackground(kPopulateNextTable, next_.slots, bytes);
    }
}

NEW_MKT_MAP_DATA* InstrumentStore::FindOrInsert(int32_t token, const NEW_MKT_MAP_DATA& fresh,
                                                bool* inserted) {
    *inserted = false;
    if (table_.slots == nullptr && !Reserve()) {
        return nullptr;
    }
    Slot* slot = Probe(table_, token);
    if (slot->ref != 0) {
        return entries_ + (slot->ref - 1);
    }
    if (old_.slots != nullptr) {
        const Slot* moving = Probe(old_, token);
        if (moving->ref != 0) {
            return entries_ + (moving->ref - 1);
        }
    }
    if (count_ >= kStoreMaxEntries) {
        if (!gReportedFull) {
            gReportedFull = true;
            LogFormattedMessage(kLogStoreFull, count_);
        }
        return nullptr;
    }
    if (old_.slots == nullptr && count_ + 1 > (table_.mask + 1) / kMaxLoadDivisor) {
        if (StartGrowth()) {
            slot = Probe(table_, token);
        }
        // Without memory for a bigger table the old one takes the entry while it has a free slot.
        else if (count_ + 1 >= table_.mask) {
            return nullptr;
        }
    }
    const uint32_t index = count_;
    entries_[index] = fresh;
    slot->token = token;
    slot->ref = index + 1;
    count_ = index + 1;
    Migrate(kMovesPerInsert);
    *inserted = true;
    return entries_ + index;
}

void InstrumentStore::Clear() {
    if (retired_.slots != nullptr) {
        munmap(retired_.slots, sizeof(Slot) * (retired_.mask + 1));
        retired_ = Table{};
    }
    if (old_.slots != nullptr) {
        munmap(old_.slots, sizeof(Slot) * (old_.mask + 1));
        old_ = Table{};
    }
    if (table_.slots != nullptr) {
        if (next_.slots != nullptr) {
            munmap(next_.slots, sizeof(Slot) * (table_.mask + 1) * 2);
            next_ = Table{};
        }
        munmap(table_.slots, sizeof(Slot) * (table_.mask + 1));
        table_ = Table{};
    }
    entriesWanted_ = 0;
    if (entries_ != nullptr) {
        // Gives the touched pages back; the reservation stays.
        const size_t used = sizeof(NEW_MKT_MAP_DATA) * count_;
        madvise(entries_, used > entriesWanted_ ? used : entriesWanted_, MADV_DONTNEED);
    }
    count_ = 0;
    moved_ = 0;
    gReportedFull = false;
}

namespace {

// Every change a record makes to the store: the entry of `token` inserted as `fresh`, or updated by
// `update` when it was there, then written through to the store file. The entry, or null when there
// is none (the store is full).
template <typename Update>
NEW_MKT_MAP_DATA* PutEntry(int32_t token, const NEW_MKT_MAP_DATA& fresh, Update update) {
    bool inserted;
    NEW_MKT_MAP_DATA* entry = gOHLMapData.FindOrInsert(token, fresh, &inserted);
    if (entry != nullptr) {
        if (!inserted) {
            update(entry);
        }
        StoreFileWrite(gOHLMapData.IndexOf(entry), static_cast<uint32_t>(gOHLMapData.size()), *entry);
    }
    return entry;
}

StoreEntries HeldEntries() {
    return StoreEntries{gOHLMapData.entries(), static_cast<uint32_t>(gOHLMapData.size())};
}

}  // namespace

void StoreEntryWriter::operator=(const NEW_MKT_MAP_DATA& value) const {
    NEW_MKT_MAP_DATA fresh = value;
    fresh.token = token_;
    PutEntry(token_, fresh, [&](NEW_MKT_MAP_DATA* entry) { *entry = fresh; });
}

void ResetInstrumentStore() {
    DetachStoreFile();
    gOHLMapData.Clear();
    gOHLMapIterator = gOHLMapData.end();
    gRestored = 0;
}

int ProcessOHLData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogOhlNull);
        return 1;
    }
    const int records = StoreRecordsApplied(count, sizeof(NEW_MKT_OHL_DATA));
    for (int i = 0; i < records; ++i) {
        NEW_MKT_OHL_DATA record;
        memcpy(&record, data + i * sizeof(NEW_MKT_OHL_DATA), sizeof record);
        const NEW_MKT_MAP_DATA fresh{record.token,        record.openPrice, record.highPrice, record.lowPrice,
                                     record.closingPrice, record.ohlExtra1, record.ohlExtra2, 0};
        NEW_MKT_MAP_DATA* entry = PutEntry(record.token, fresh, [&](NEW_MKT_MAP_DATA* e) {
            e->openPrice = fresh.openPrice;  // tickerValue is the ticker's own
            e->highPrice = fresh.highPrice;
            e->lowPrice = fresh.lowPrice;
            e->closingPrice = fresh.closingPrice;
            e->ohlExtra1 = fresh.ohlExtra1;
            e->ohlExtra2 = fresh.ohlExtra2;
        });
        gOHLMapIterator = entry == nullptr ? gOHLMapData.end() : StoreIterator(entry);
    }
    return 0;
}

int ProcessTickerData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogTickerNull);
        return 1;
    }
    const int records = StoreRecordsApplied(count, sizeof(NEW_MKT_TICKER_DATA));
    for (int i = 0; i < records; ++i) {
        NEW_MKT_TICKER_DATA record;
        memcpy(&record, data + i * sizeof(NEW_MKT_TICKER_DATA), sizeof record);
        NEW_MKT_MAP_DATA* entry =
            PutEntry(record.token, NEW_MKT_MAP_DATA{record.token, 0, 0, 0, 0, 0, 0, record.tickerValue},
                     [&](NEW_MKT_MAP_DATA* e) { e->tickerValue = record.tickerValue; });
        gOHLMapIterator = entry == nullptr ? gOHLMapData.end() : StoreIterator(entry);
    }
    return 0;
}

void LoadStoreImage(const StoreFileImage& image) {
    for (uint32_t i = 0; i < image.header.count; ++i) {
        const NEW_MKT_MAP_DATA entry = StoreImageEntry(image, i);
        bool inserted;
        gOHLMapData.FindOrInsert(entry.token, entry, &inserted);
    }
}

int LockInstrumentStore(int16_t instance, std::string* refusal) {
    return LockStoreFile(instance, refusal);
}

void RestoreInstrumentStore(int16_t instance, uint32_t today) {
    gRestored = RestoreStoreFile(instance, today, HeldEntries(), LoadStoreImage);
}

void StoreTick(int64_t nowNs, uint32_t today) {
    gOHLMapData.Migrate(kTickMigrateSlots);
    gOHLMapData.ReleaseRetired();
    gOHLMapData.PopulateAhead();
    StoreFileTick(nowNs, today, HeldEntries());
}

StoreFigures InstrumentStoreFigures() {
    const StoreFileFigures file = CurrentStoreFileFigures();
    return StoreFigures{static_cast<int64_t>(gOHLMapData.size()), gRestored, file.memoryOnly, file.repaired};
}
