// The store file: the restore at start-up, the write-through mapping and its upkeep.
#include "feed/store_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "app/counters.h"
#include "app/log.h"
#include "app/log_texts.h"
#include "app/mapped_guard.h"

StoreMirror gStoreMirror;

namespace {

constexpr size_t kHeaderSize = sizeof(BCST_STORE_HEADER);
constexpr size_t kEntrySize = sizeof(NEW_MKT_MAP_DATA);
// The whole file's largest size is mapped once; the file grows under the mapping.
constexpr size_t kMappingLength = kHeaderSize + kEntrySize * kStoreFileMaxEntries;
// Room is reserved on disk ahead of need, so that a store into the mapping never meets a full disk
// (which would raise SIGBUS): 64 KiB at first, then half as much again as is in use, 512 KiB at most
// at a time (reserving it on tmpfs, which zeroes the pages, costs about a quarter of a millisecond);
// more once less than a quarter is left.
constexpr uint32_t kFirstReserve = 2048;
constexpr uint32_t kLargestReserveStep = 16384;
// Entries a tick copies into a file written again, and compares with memory: a million instruments
// are written again within 6 s and compared within a minute, each tick well under a millisecond.
constexpr uint32_t kCatchUpPerTick = 16384;
constexpr uint32_t kScrubPerTick = 2048;
constexpr int64_t kSecondNs = 1000 * 1000 * 1000;
constexpr uint32_t kTickMigrateSlots = 16384;
// The header's bytes that the bridge keeps as it wrote them (the journal's entry only matters while
// `journalRef` names it).
constexpr size_t kScrubbedHeaderBytes = offsetof(BCST_STORE_HEADER, journal);

struct StoreFile {
    std::string name;   // kept from start-up, so that the tick formats nothing
    int fd = -1;        // open and locked
    int openError = 0;  // why LockStoreFile found no file
    void* mapping = nullptr;
    struct stat identity = {};  // of the file under `name` when the bridge wrote or opened it
    BCST_STORE_HEADER written;  // the header as the bridge keeps it (count, memoryOnly set when compared)
    uint32_t tradingDate = 0;   // the latest day the process ran into
    int64_t lastSyncNs = 0;
    int64_t lastRetryNs = 0;
    int64_t lastRoomTryNs = 0;
    uint32_t scrubNext = 0;       // the next entry to compare with memory
    uint32_t scrubRepaired = 0;   // entries written back in this pass over the file
    bool wanted = false;          // the bridge runs with a file (a lost one is written again)
    bool reportedLost = false;    // its re-creation failed and said so; retried every second
    bool roomRefused = false;     // the disk refused room; the insert path waits for the tick
    bool reportedNoRoom = false;  // entries live in memory only and the log said so
} gFile;

size_t FileBytes(uint32_t entries) {
    return kHeaderSize + kEntrySize * entries;
}

uint32_t Today() {
    const time_t now = gLogTimeSource();
    struct tm local;
    localtime_r(&now, &local);
    return StoreDate(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday);
}

uint32_t NextStep(uint32_t reserved) {
    return std::min(std::max(reserved / 2, kFirstReserve), kLargestReserveStep);
}

void ForgetMapping() {
    if (gFile.mapping != nullptr) {
        UnguardMapping(gFile.mapping);
        munmap(gFile.mapping, kMappingLength);
        gFile.mapping = nullptr;
    }
    gStoreMirror = StoreMirror{};
}

// Takes over `fd` and its mapping as the file the store writes through to.
void Attach(int fd, void* mapping, uint32_t reserved) {
    ForgetMapping();
    if (gFile.fd >= 0 && gFile.fd != fd) {
        close(gFile.fd);  // its lock goes with it; the name is already the new file's
    }
    gFile.fd = fd;
    gFile.mapping = mapping;
    fstat(fd, &gFile.identity);
    auto* header = static_cast<BCST_STORE_HEADER*>(mapping);
    gFile.written = *header;
    gFile.scrubNext = 0;
    gFile.scrubRepaired = 0;
    gFile.roomRefused = false;
    gStoreMirror.header = header;
    gStoreMirror.entries = reinterpret_cast<NEW_MKT_MAP_DATA*>(static_cast<char*>(mapping) + kHeaderSize);
    gStoreMirror.reserved = reserved;
    gStoreMirror.written = header->count;
}

void* MapFile(int fd) {
    void* mapping = mmap(nullptr, kMappingLength, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (mapping == MAP_FAILED) {
        return nullptr;
    }
    GuardMapping(mapping, kMappingLength);
    return mapping;
}

void UnmapFile(void* mapping) {
    UnguardMapping(mapping);
    munmap(mapping, kMappingLength);
}

// Writes the store as it is in memory to a new file under a temporary name, locks it and renames it
// over the store file's name. What does not fit a first, bounded reservation follows at the next
// ticks. 0 on success; 1 with the failing step in `*what` and errno.
int WriteFreshFile(const char** what) {
    const auto inMemory = static_cast<uint32_t>(gOHLMapData.size());
    const uint32_t reserved = std::min(std::max(kFirstReserve, inMemory + inMemory / 2), kLargestReserveStep);
    NewMappedFile file;
    if (CreateMappedFile(gFile.name, FileBytes(reserved), kMappingLength, true, &file, what) != 0) {
        return 1;
    }
    void* mapping = file.mapping;
    auto* header = static_cast<BCST_STORE_HEADER*>(mapping);
    header->layoutVersion = kStoreLayoutVersion;
    header->headerSize = kHeaderSize;
    header->entrySize = kEntrySize;
    header->capacity = kStoreFileMaxEntries;
    header->tradingDate = gFile.tradingDate;
    header->instance = gshRunningInstanceNo;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    header->createdRealtimeNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    header->pid = getpid();
    const uint32_t written = std::min({inMemory, reserved, kCatchUpPerTick});
    if (written > 0) {  // an empty store may have no entry block yet
        memcpy(static_cast<char*>(mapping) + kHeaderSize, gOHLMapData.entries(), kEntrySize * written);
    }
    header->count = written;
    header->memoryOnly = inMemory - written;
    __atomic_store_n(&header->magic, kStoreMagic, __ATOMIC_RELEASE);
    struct stat identity;
    if (PublishMappedFile(&file, gFile.name, &identity, what) != 0) {
        return 1;
    }
    Attach(file.fd, mapping, reserved);
    return 0;
}

// Moves the file aside as `<name><suffix>`, or under the first free `<name><suffix>.<n>`: a kept
// file never replaces an earlier one. The name kept under, or "" when it could not be moved.
std::string KeepAs(const char* suffix) {
    std::string kept = gFile.name + suffix;
    for (int n = 2; n < 1000; ++n) {
        // A rename that refuses to replace; where the file system has none, a link and an unlink.
        int moved = renameat2(AT_FDCWD, gFile.name.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && (errno == EINVAL || errno == ENOSYS) &&
            (moved = link(gFile.name.c_str(), kept.c_str())) == 0) {
            unlink(gFile.name.c_str());
        }
        if (moved == 0) {
            return kept;
        }
        if (errno != EEXIST) {
            return std::string();
        }
        kept = gFile.name + suffix + "." + std::to_string(n);
    }
    return std::string();
}

void StartFresh() {
    const char* what = "";
    if (WriteFreshFile(&what) != 0) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.name.c_str(), what, strerror(errno));
        gFile.reportedLost = true;
    }
}

// Reserves `step` more entries on disk. One system call; 0 or the error.
int Reserve(uint32_t step) {
    StoreMirror& m = gStoreMirror;
    const uint32_t grown = std::min(m.reserved + step, kStoreFileMaxEntries);
    if (grown <= m.reserved) {
        return ENOSPC;  // the file is as large as a store file gets
    }
    const int error = posix_fallocate(gFile.fd, static_cast<off_t>(FileBytes(m.reserved)),
                                      static_cast<off_t>(FileBytes(grown) - FileBytes(m.reserved)));
    if (error == 0) {
        m.reserved = grown;
    }
    return error;
}

void ReportNoRoom(const char* why) {
    if (!gFile.reportedNoRoom) {
        gFile.reportedNoRoom = true;
        LogFormattedMessage(kLogStoreNoRoom, gFile.name.c_str(), gStoreMirror.reserved, why);
    }
}

// Room for what is coming, then (a bounded number of) the entries that found none.
void MakeRoomAndCatchUp(int64_t nowNs) {
    StoreMirror& m = gStoreMirror;
    const auto inMemory = static_cast<uint32_t>(gOHLMapData.size());
    const uint32_t left = m.reserved - m.written;
    const bool wanted = left < m.reserved / 4 || inMemory > m.reserved;
    if (!wanted) {
        gFile.roomRefused = false;  // room enough: an insert that outruns it may ask the disk again
    }
    // After a refusal the disk is asked again once a second, not at every tick.
    if (wanted && m.reserved < kStoreFileMaxEntries &&
        (!gFile.roomRefused || nowNs - gFile.lastRoomTryNs >= kSecondNs)) {
        gFile.lastRoomTryNs = nowNs;
        const int error = Reserve(NextStep(m.reserved));
        gFile.roomRefused = error != 0;
        if (error != 0 && inMemory > m.reserved) {
            ReportNoRoom(strerror(error));
        }
    }
    const uint32_t end = std::min({inMemory, m.reserved, m.written + kCatchUpPerTick});
    if (m.written < end) {
        memcpy(&m.entries[m.written], &gOHLMapData.entries()[m.written], kEntrySize * (end - m.written));
        m.written = end;
        __atomic_store_n(&m.header->count, m.written, __ATOMIC_RELEASE);
    }
    if (inMemory > m.written && m.reserved == kStoreFileMaxEntries) {
        ReportNoRoom("the file is full");
    }
    const uint32_t memoryOnly = inMemory - m.written;
    m.header->memoryOnly = memoryOnly;
    gFile.written.memoryOnly = memoryOnly;
    if (memoryOnly == 0 && gFile.reportedNoRoom) {
        gFile.reportedNoRoom = false;
        LogFormattedMessage(kLogStoreRoomAgain, gFile.name.c_str(), inMemory);
    }
    CounterSet(kCounterStoreMemoryOnly, static_cast<int64_t>(memoryOnly));
}

// The header, then a slice of the entries, against the process's own copy; what differs is written
// back (an entry through the journal, as any update). One log entry for the header, and one per pass
// over the entries that found any to repair.
void Scrub() {
    StoreMirror& m = gStoreMirror;
    BCST_STORE_HEADER expected = gFile.written;
    expected.count = m.written;
    expected.journalRef = 0;  // no rewrite is under way between datagrams
    if (memcmp(m.header, &expected, kScrubbedHeaderBytes) != 0) {
        memcpy(reinterpret_cast<char*>(m.header) + sizeof expected.magic,
               reinterpret_cast<const char*>(&expected) + sizeof expected.magic,
               kScrubbedHeaderBytes - sizeof expected.magic);
        __atomic_store_n(&m.header->magic, kStoreMagic, __ATOMIC_RELEASE);
        CounterAdd(kCounterStoreRepaired);
        LogFormattedMessage(kLogStoreHeaderRepaired, gFile.name.c_str());
    }
    // A pass ends at the entries written so far, so that a steady stream of inserts cannot hold back
    // its report.
    const uint32_t begin = std::min(gFile.scrubNext, m.written);
    const uint32_t end = std::min(m.written, begin + kScrubPerTick);
    const NEW_MKT_MAP_DATA* held = gOHLMapData.entries();
    if (end > begin && memcmp(&m.entries[begin], &held[begin], kEntrySize * (end - begin)) != 0) {
        for (uint32_t i = begin; i < end; ++i) {
            if (memcmp(&m.entries[i], &held[i], kEntrySize) != 0) {
                StoreFileUpdated(i, held[i]);
                gFile.scrubRepaired += 1;
                CounterAdd(kCounterStoreRepaired);
            }
        }
    }
    gFile.scrubNext = end;
    if (end == m.written) {
        if (gFile.scrubRepaired > 0) {
            LogFormattedMessage(kLogStoreEntriesRepaired, gFile.name.c_str(), gFile.scrubRepaired, m.written);
        }
        gFile.scrubNext = 0;
        gFile.scrubRepaired = 0;
    }
}

void MoveIntoNewDay() {
    const uint32_t today = Today();
    if (today <= gFile.tradingDate) {
        return;  // the same day, or a clock set back: the store's day stays
    }
    gFile.tradingDate = today;
    gFile.written.tradingDate = today;
    if (gStoreMirror.header != nullptr) {
        gStoreMirror.header->tradingDate = today;
    }
    LogFormattedMessage(kLogStoreNewDay, gFile.name.c_str(), today % 100, today / 100 % 100, today / 10000,
                        static_cast<unsigned>(gOHLMapData.size()));
}

}  // namespace

bool StoreFileMakeRoom() {
    StoreMirror& m = gStoreMirror;
    if (m.header == nullptr || gFile.roomRefused) {
        return false;
    }
    const int error = Reserve(NextStep(m.reserved));
    if (error != 0) {
        gFile.roomRefused = true;  // the tick asks again, once a second
        ReportNoRoom(m.reserved == kStoreFileMaxEntries ? "the file is full" : strerror(error));
        return false;
    }
    return true;
}

uint32_t StoreDate(int year, int month, int day) {
    return static_cast<uint32_t>(year * 10000 + month * 100 + day);
}

std::string StoreFileName(int instance) {
    return "BcstBridge" + std::to_string(instance) + ".store";
}

int LockStoreFile(int16_t instance, std::string* refusal) {
    gFile.name = StoreFileName(instance);
    const int fd = open(gFile.name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        gFile.openError = errno;
        return 0;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        BCST_STORE_HEADER header{};
        const bool known = pread(fd, &header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                           header.magic == kStoreMagic;
        close(fd);
        *refusal = gFile.name + " is in use by another bcstbridge";
        if (error != EWOULDBLOCK) {
            *refusal = gFile.name + " cannot be locked (" + strerror(error) + ")";
        } else if (known) {
            *refusal += " (pid " + std::to_string(header.pid) + ")";
        }
        return 1;
    }
    gFile.fd = fd;
    return 0;
}

void RestoreStoreFile() {
    gFile.tradingDate = Today();
    if (gFile.fd < 0) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.name.c_str(), "open", strerror(gFile.openError));
        return;
    }
    gFile.wanted = true;
    struct stat status;
    if (fstat(gFile.fd, &status) != 0 || status.st_size == 0) {
        StartFresh();  // the first start: nothing to say
        return;
    }
    void* mapping = MapFile(gFile.fd);
    if (mapping == nullptr) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.name.c_str(), "map", strerror(errno));
        gFile.wanted = false;
        return;
    }
    const size_t size = std::min(static_cast<size_t>(status.st_size), kMappingLength);
    StoreFileImage image;
    std::string reason;
    int invalid = ValidateStoreImage(static_cast<const unsigned char*>(mapping), size, &image, &reason);
    if (invalid == 0 && image.header.instance != gshRunningInstanceNo) {
        invalid = 1;
        reason = "written by instance " + std::to_string(image.header.instance);
    }
    if (invalid != 0) {
        UnmapFile(mapping);
        const std::string kept = KeepAs(".bad");
        LogFormattedMessage(kLogStoreDamaged, gFile.name.c_str(), reason.c_str(),
                            kept.empty() ? "(left in place)" : kept.c_str());
        if (!kept.empty()) {
            StartFresh();
        } else {
            gFile.wanted = false;  // never overwrite what could not be kept
        }
        return;
    }
    // A file of a later day than the clock's was written before the clock was set back: it is still
    // the day the store holds. Only an earlier day's file is another day's.
    const uint32_t date = image.header.tradingDate;
    if (date < gFile.tradingDate) {
        UnmapFile(mapping);
        if (image.header.count == 0) {
            StartFresh();  // nothing to keep, and nothing kept earlier is replaced by it
            return;
        }
        const std::string kept = KeepAs(".prev");
        LogFormattedMessage(kLogStoreOtherDay, gFile.name.c_str(), date % 100, date / 100 % 100, date / 10000,
                            kept.empty() ? "(left in place)" : kept.c_str());
        if (!kept.empty()) {
            StartFresh();
        } else {
            gFile.wanted = false;
        }
        return;
    }
    gFile.tradingDate = date;

    // The day's file: its entries into memory, then the file goes on as it is.
    const uint32_t count = image.header.count;
    const uint32_t notHeld = image.header.memoryOnly;
    LoadStoreImage(image);
    auto* header = static_cast<BCST_STORE_HEADER*>(mapping);
    if (image.journalApplied) {
        const uint32_t index = header->journalRef - 1;
        reinterpret_cast<NEW_MKT_MAP_DATA*>(static_cast<char*>(mapping) + kHeaderSize)[index] =
            header->journal;
        header->journalRef = 0;
    }
    header->pid = getpid();
    header->memoryOnly = 0;
    header->unused[0] = header->unused[1] = 0;
    const auto room = static_cast<uint32_t>((size - kHeaderSize) / kEntrySize);
    Attach(gFile.fd, mapping, std::min(room, kStoreFileMaxEntries));
    CounterSet(kCounterStoreRestored, count);
    LogFormattedMessage(kLogStoreRestored, gFile.name.c_str(), count, date % 100, date / 100 % 100,
                        date / 10000);
    if (notHeld > 0) {
        LogFormattedMessage(kLogStoreNotHeld, gFile.name.c_str(), notHeld);
    }
}

void StoreFileTick(int64_t nowNs) {
    gOHLMapData.Migrate(kTickMigrateSlots);
    gOHLMapData.ReleaseRetired();
    gOHLMapData.PopulateAhead();
    if (!gFile.wanted) {
        return;
    }
    MoveIntoNewDay();
    if (gStoreMirror.header == nullptr) {
        // Lost and not yet written again: once a second.
        if (nowNs - gFile.lastRetryNs >= kSecondNs) {
            gFile.lastRetryNs = nowNs;
            const char* what = "";
            if (WriteFreshFile(&what) == 0) {
                gFile.reportedLost = false;
                LogFormattedMessage(kLogStoreFileLost, gFile.name.c_str(), "unwritable",
                                    static_cast<unsigned>(gOHLMapData.size()));
            }
        }
        return;
    }
    if (const char* happened =
            MappedFileChange(gFile.name, gFile.mapping, gFile.identity, FileBytes(gStoreMirror.reserved))) {
        ForgetMapping();  // the entries stay in memory; the hot path writes through to nothing
        const char* what = "";
        gFile.lastRetryNs = nowNs;
        if (WriteFreshFile(&what) == 0) {
            LogFormattedMessage(kLogStoreFileLost, gFile.name.c_str(), happened,
                                static_cast<unsigned>(gOHLMapData.size()));
        } else if (!gFile.reportedLost) {
            gFile.reportedLost = true;
            LogFormattedMessage(kLogStoreUnavailable, gFile.name.c_str(), what, strerror(errno));
        }
        return;
    }
    MakeRoomAndCatchUp(nowNs);
    Scrub();
    if (nowNs - gFile.lastSyncNs >= kSecondNs) {
        gFile.lastSyncNs = nowNs;
        msync(gFile.mapping, FileBytes(gStoreMirror.written), MS_ASYNC);
    }
}

void DetachStoreFile() {
    ForgetMapping();
    if (gFile.fd >= 0) {
        close(gFile.fd);
    }
    gFile = StoreFile{};
}

int ValidateStoreImage(const unsigned char* image, size_t size, StoreFileImage* out, std::string* reason) {
    if (size < kHeaderSize) {
        *reason = "shorter than its header (" + std::to_string(size) + " bytes)";
        return 1;
    }
    memcpy(&out->header, image, kHeaderSize);
    const BCST_STORE_HEADER& h = out->header;
    if (h.magic != kStoreMagic) {
        *reason = "bad magic";
        return 1;
    }
    if (h.layoutVersion != kStoreLayoutVersion) {
        *reason = "layout version " + std::to_string(h.layoutVersion) + ", this build reads version " +
                  std::to_string(kStoreLayoutVersion);
        return 1;
    }
    if (h.headerSize != kHeaderSize || h.entrySize != kEntrySize || h.capacity == 0 ||
        h.capacity > kStoreFileMaxEntries) {
        *reason = "bad sizes (header " + std::to_string(h.headerSize) + ", entry " +
                  std::to_string(h.entrySize) + ", capacity " + std::to_string(h.capacity) + ")";
        return 1;
    }
    const size_t room = (size - kHeaderSize) / kEntrySize;
    if (h.count > room || h.count > h.capacity) {
        *reason =
            "count " + std::to_string(h.count) + " beyond the file's " + std::to_string(room) + " entries";
        return 1;
    }
    out->entries = reinterpret_cast<const NEW_MKT_MAP_DATA*>(image + kHeaderSize);
    out->journalApplied = h.journalRef != 0;
    if (h.journalRef != 0 &&
        (h.journalRef > h.count || h.journal.token != out->entries[h.journalRef - 1].token)) {
        *reason = "journal for entry " + std::to_string(h.journalRef) + " does not match it";
        return 1;
    }
    std::vector<int32_t> tokens(h.count);
    for (uint32_t i = 0; i < h.count; ++i) {
        tokens[i] = out->entries[i].token;
    }
    std::sort(tokens.begin(), tokens.end());
    const auto twice = std::adjacent_find(tokens.begin(), tokens.end());
    if (twice != tokens.end()) {
        *reason = "token " + std::to_string(*twice) + " appears twice";
        return 1;
    }
    return 0;
}

NEW_MKT_MAP_DATA StoreImageEntry(const StoreFileImage& image, uint32_t index) {
    if (image.journalApplied && index + 1 == image.header.journalRef) {
        return image.header.journal;
    }
    NEW_MKT_MAP_DATA entry;
    memcpy(&entry, &image.entries[index], sizeof entry);
    return entry;
}

void LoadStoreImage(const StoreFileImage& image) {
    for (uint32_t i = 0; i < image.header.count; ++i) {
        const NEW_MKT_MAP_DATA entry = StoreImageEntry(image, i);
        bool inserted;
        gOHLMapData.FindOrInsert(entry.token, entry, &inserted);
    }
}

namespace {

// Reads [0, length) of `fd` into `*bytes` (fewer at the file's end). Read, not mapped: a file
// truncated while it is read gives a short image, not a fault.
void ReadPrefix(int fd, size_t length, std::string* bytes) {
    bytes->assign(length, '\0');
    size_t got = 0;
    while (got < length) {
        const ssize_t n = pread(fd, &(*bytes)[got], length - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    bytes->resize(got);
}

std::string Mebibytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int ReadStoreFileBytes(const std::string& path, std::string* bytes, std::string* reason, std::string* note) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *reason = strerror(errno);
        return 1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        *reason = "not a regular file";
        return 1;
    }
    // The header first, then only the entries it counts, never more than a store file can hold:
    // the file's own size may be anything an operator or a fault made it.
    ReadPrefix(fd, kHeaderSize, bytes);
    size_t wanted = bytes->size();
    if (bytes->size() == kHeaderSize) {
        BCST_STORE_HEADER header;
        memcpy(&header, bytes->data(), sizeof header);
        if (header.magic == kStoreMagic && header.headerSize == kHeaderSize &&
            header.entrySize == kEntrySize) {
            wanted = FileBytes(std::min(header.count, kStoreFileMaxEntries));
        }
    }
    if (wanted > kHeaderSize) {
        ReadPrefix(fd, wanted, bytes);
    }
    close(fd);
    if (note != nullptr) {
        note->clear();
        const auto size = static_cast<uint64_t>(status.st_size);
        const auto allocated = static_cast<uint64_t>(status.st_blocks) * 512;
        if (size > kMappingLength) {
            *note = "the file is " + Mebibytes(size) + ", larger than a store file gets (" +
                    Mebibytes(kMappingLength) + ")";
        }
        if (allocated + (1u << 20) < size && allocated < size / 2) {
            *note += (note->empty() ? "the file" : ", and") + std::string(" is sparse: ") +
                     Mebibytes(allocated) + " of its " + Mebibytes(size) + " on disk";
        }
        if (!note->empty()) {
            *note += "; read only the entries its header counts";
        }
    }
    return 0;
}
