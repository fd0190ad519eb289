// The store file, BcstBridge<instance>.store: the instrument store written through to a shared file
// mapping, so that a bridge restarted the same day (after a crash, a kill, an upgrade) converts with
// the prices it held instead of zeros.
//
// Layout: one 128-byte header, then the entries (NEW_MKT_MAP_DATA, 32 bytes) back to back in the order
// they were first seen. An insert writes the entry, then raises `count`: an entry is in the file once
// `count` covers it. An update of an entry already in the file writes the new entry into the header's
// journal, sets `journalRef`, rewrites the entry and clears `journalRef`; a process killed in between
// leaves the journal set, and the next start rewrites the entry from it. Either way a kill at any
// instruction leaves every entry as it was before or after its last update, never a mix. The kernel
// keeps the written pages of a killed process; the loop tick has them written back every second.
//
// An insert is in the file before the next datagram is handled: the tick reserves room ahead of need,
// and an insert that outruns it reserves the next step itself. Only when the disk refuses the room does
// an instrument live in memory only; `memoryOnly` says how many, for the next start to report.
//
// The file's day is the day of the process that writes it: a bridge that runs past midnight moves the
// date at its tick, so that a restart on any later day of its run reads back what it held. The tick
// also compares the file with the process's own copy, a slice at a time, and writes back what an
// operator's copy or editor changed in place.
//
// The bridge holds an exclusive flock on the file while it runs (beside the instance lock of
// app/instance_lock.h, which no file operation can take away).
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "feed/store_entry.h"

constexpr uint64_t kStoreMagic = 0x314F545354534342ull;  // "BCSTSTO1" in file order
constexpr uint32_t kStoreLayoutVersion = 1;
// The most entries the file holds (128 MiB of entries); instruments past it live in memory only.
constexpr uint32_t kStoreFileMaxEntries = 1u << 22;

struct alignas(8) BCST_STORE_HEADER {
    uint64_t magic;             // kStoreMagic
    uint32_t layoutVersion;     // kStoreLayoutVersion
    uint32_t headerSize;        // offset of the first entry
    uint32_t entrySize;         // sizeof(NEW_MKT_MAP_DATA)
    uint32_t capacity;          // the most entries this file may hold
    uint32_t tradingDate;       // local date the store's day began, as yyyymmdd
    int32_t instance;           // the instance number as the log file names it
    int64_t createdRealtimeNs;  // wall clock when this file was written
    int32_t pid;                // the writing process
    uint32_t count;             // entries in the file; an insert is complete once this covers it
    uint32_t journalRef;        // index + 1 of the entry being rewritten from `journal`, or 0
    uint32_t memoryOnly;        // instruments the writer held that found no room in this file
    uint32_t unused[2];
    NEW_MKT_MAP_DATA journal;  // the new value of that entry
    uint8_t padding[32];
};
// Readers of other builds and bcst-store depend on every offset: change any only with a new version.
static_assert(sizeof(BCST_STORE_HEADER) == 128, "store header");
static_assert(offsetof(BCST_STORE_HEADER, layoutVersion) == 8, "layout version offset");
static_assert(offsetof(BCST_STORE_HEADER, headerSize) == 12, "header size offset");
static_assert(offsetof(BCST_STORE_HEADER, entrySize) == 16, "entry size offset");
static_assert(offsetof(BCST_STORE_HEADER, capacity) == 20, "capacity offset");
static_assert(offsetof(BCST_STORE_HEADER, tradingDate) == 24, "trading date offset");
static_assert(offsetof(BCST_STORE_HEADER, instance) == 28, "instance offset");
static_assert(offsetof(BCST_STORE_HEADER, createdRealtimeNs) == 32, "creation time offset");
static_assert(offsetof(BCST_STORE_HEADER, pid) == 40, "pid offset");
static_assert(offsetof(BCST_STORE_HEADER, count) == 44, "count offset");
static_assert(offsetof(BCST_STORE_HEADER, journalRef) == 48, "journal reference offset");
static_assert(offsetof(BCST_STORE_HEADER, memoryOnly) == 52, "memory-only count offset");
static_assert(offsetof(BCST_STORE_HEADER, journal) == 64, "journal offset");

// The bridge's view of its file; `header` is null when there is none (entries then live in memory
// only, as in tests and benchmarks).
struct StoreMirror {
    BCST_STORE_HEADER* header = nullptr;
    NEW_MKT_MAP_DATA* entries = nullptr;
    uint32_t reserved = 0;  // entries the file has room for now
    uint32_t written = 0;   // entries in the file (header->count)
};
extern StoreMirror gStoreMirror;

// ---- the write-through, from the store's one write path (no system call) --------------------------

// Reserves the next step of room for an insert that found none (one system call, rare). False when
// there is no file or the disk refused: the entry then lives in memory only until the tick finds room.
bool StoreFileMakeRoom();

// Entry `index` of a store of `held` entries, as it now is, into the file: an entry the file has is
// rewritten through the journal; the store's newest one is appended when it is the next the file
// takes and there is room (else the header counts it as memory-only); any other waits for the tick.
inline void StoreFileWrite(uint32_t index, uint32_t held, const NEW_MKT_MAP_DATA& entry) {
    StoreMirror& m = gStoreMirror;
    if (index < m.written) {
        m.header->journal = entry;
        __atomic_store_n(&m.header->journalRef, index + 1, __ATOMIC_RELEASE);
        __atomic_signal_fence(__ATOMIC_SEQ_CST);  // the entry only after the journal that repairs it
        m.entries[index] = entry;
        __atomic_store_n(&m.header->journalRef, 0u, __ATOMIC_RELEASE);
    } else if (index + 1 != held) {
        return;
    } else if (index == m.written && (index < m.reserved || StoreFileMakeRoom())) {
        m.entries[index] = entry;
        m.written = index + 1;
        __atomic_store_n(&m.header->count, m.written, __ATOMIC_RELEASE);
    } else if (m.header != nullptr) {
        // A kill now must not pass for a complete file: the next start says how many were not in it.
        m.header->memoryOnly = index + 1 - m.written;
    }
}

struct StoreFileImage;

// ---- the bridge's life with its file --------------------------------------------------------------

// "BcstBridge<instance>.store".
std::string StoreFileName(int instance);

// Opens (creating if need be) the instance's store file and takes its lock; the first thing done
// once the instance number is known. 0 when this process may run (with the lock, or without a file
// when none can be opened: RestoreStoreFile then says why in the log); 1 when another process holds
// the lock, with the reason for standard error in `*refusal`.
int LockStoreFile(int16_t instance, std::string* refusal);

// After the configuration is read: checks a file of `today` (or of a later day: the clock went back)
// written by `instance` and has `load` put its entries into the store, keeps a file of an earlier day
// as .prev and a damaged one as .bad (each under the next free number, never over an earlier one; a
// file without entries is not kept), and starts writing through to a fresh file of the store's `held`
// entries. Logs what there was to say (nothing for a first start). Never fails the start-up. The
// number of instruments read back.
uint32_t RestoreStoreFile(int16_t instance, uint32_t today, const StoreEntries& held,
                          void (*load)(const StoreFileImage& image));

// The file's chore at the store's tick, each part bounded so that no tick stalls the loop: moves the
// file's date into `today` when that is a new day, brings back a file that an operator truncated,
// replaced or deleted (app/mapped_file.h's keeper), makes room ahead of need, writes entries of
// `held` that found none, compares the header and a slice of entries with `held` and writes back what
// differs, and once a second has the kernel write the pages back.
void StoreFileTick(int64_t nowNs, uint32_t today, const StoreEntries& held);

// What the file reports for the counters.
struct StoreFileFigures {
    uint32_t memoryOnly;  // instruments of the store not (yet) in the file, as of the latest tick
    int64_t repaired;     // headers and entries found changed and written back since the start
};
StoreFileFigures CurrentStoreFileFigures();

// Closes and unmaps the file and releases the lock (tests; the bridge keeps it until it ends).
void DetachStoreFile();

// ---- reading a file (the bridge's restore, bcst-store, bcst-verify) -------------------------------

// What a valid file holds, after its journal is applied.
struct StoreFileImage {
    BCST_STORE_HEADER header;
    const NEW_MKT_MAP_DATA* entries;  // header.count of them, inside the image
    bool journalApplied;              // a rewrite was cut off; entry journalRef - 1 reads as the journal
};

// Validates an image of a store file: magic, version, sizes, a count within the file, the journal,
// and that no token appears twice. 0 when valid; 1 with a one-line reason in `*reason`.
int ValidateStoreImage(const unsigned char* image, size_t size, StoreFileImage* out, std::string* reason);

// The entry at `index` of a validated image, with a cut-off rewrite repaired from the journal.
NEW_MKT_MAP_DATA StoreImageEntry(const StoreFileImage& image, uint32_t index);

// Reads a store file's header and the entries it counts into `*bytes`, never more than the largest
// store file (read, not mapped: a file truncated while it is read gives a short image, not a fault).
// 0 on success, with `*note` (when given) saying whether the file is larger than a store file gets or
// sparse, "" when neither; 1 with a reason.
int ReadStoreFileBytes(const std::string& path, std::string* bytes, std::string* reason,
                       std::string* note = nullptr);

// yyyymmdd of a local date.
uint32_t StoreDate(int year, int month, int day);
