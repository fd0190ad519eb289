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
#include <memory>
#include <vector>

#include "app/log.h"
#include "app/log_texts.h"
#include "app/mapped_file.h"

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
// The header's bytes that the bridge keeps as it wrote them (the journal's entry only matters while
// `journalRef` names it).
constexpr size_t kScrubbedHeaderBytes = offsetof(BCST_STORE_HEADER, journal);

struct StoreFile {
    // The name (kept from start-up, so that the tick formats nothing), the identity of the file under
    // it and the mapping; `kept` while the bridge runs with a file (a lost one is written again).
    MappedFileKeeper keeper;
    int fd = -1;        // open and locked
    int openError = 0;  // why LockStoreFile found no file
    int16_t instance = 0;
    void* mapping = nullptr;
    BCST_STORE_HEADER written;  // the header as the bridge keeps it (count, memoryOnly set when compared)
    uint32_t tradingDate = 0;   // the latest day the process ran into
    int64_t lastSyncNs = 0;
    int64_t lastRoomTryNs = 0;
    uint32_t scrubNext = 0;       // the next entry to compare with memory
    uint32_t scrubRepaired = 0;   // entries written back in this pass over the file
    bool roomRefused = false;     // the disk refused room; the insert path waits for the tick
    bool reportedNoRoom = false;  // entries live in memory only and the log said so
    const char* failedStep = "";  // why writing the file again failed: the step and its errno
    int failedError = 0;
    StoreFileFigures figures = {};
} gFile;

size_t FileBytes(uint32_t entries) {
    return kHeaderSize + kEntrySize * entries;
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
    gFile.keeper.mapping = nullptr;
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
    gFile.keeper.mapping = mapping;
    fstat(fd, &gFile.keeper.identity);
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
int WriteFreshFile(const StoreEntries& held, const char** what) {
    const uint32_t inMemory = held.count;
    const uint32_t reserved = std::min(std::max(kFirstReserve, inMemory + inMemory / 2), kLargestReserveStep);
    NewMappedFile file;
    if (CreateMappedFile(gFile.keeper.name, FileBytes(reserved), kMappingLength, true, &file, what) != 0) {
        return 1;
    }
    void* mapping = file.mapping;
    auto* header = static_cast<BCST_STORE_HEADER*>(mapping);
    header->layoutVersion = kStoreLayoutVersion;
    header->headerSize = kHeaderSize;
    header->entrySize = kEntrySize;
    header->capacity = kStoreFileMaxEntries;
    header->tradingDate = gFile.tradingDate;
    header->instance = gFile.instance;
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    header->createdRealtimeNs = static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
    header->pid = getpid();
    const uint32_t written = std::min({inMemory, reserved, kCatchUpPerTick});
    if (written > 0) {  // an empty store may have no entry block yet
        memcpy(static_cast<char*>(mapping) + kHeaderSize, held.entries, kEntrySize * written);
    }
    header->count = written;
    header->memoryOnly = inMemory - written;
    __atomic_store_n(&header->magic, kStoreMagic, __ATOMIC_RELEASE);
    struct stat identity;
    if (PublishMappedFile(&file, gFile.keeper.name, &identity, what) != 0) {
        return 1;
    }
    Attach(file.fd, mapping, reserved);
    return 0;
}

// Moves the file aside as `<name><suffix>`, or under the first free `<name><suffix>.<n>`: a kept
// file never replaces an earlier one. True with the name kept under in `*keptAs`; false when it could
// not be moved.
bool KeepAs(const char* suffix, std::string* keptAs) {
    std::string& kept = *keptAs;
    kept = gFile.keeper.name + suffix;
    for (int n = 2; n < 1000; ++n) {
        // A rename that refuses to replace; where the file system has none, a link and an unlink.
        int moved = renameat2(AT_FDCWD, gFile.keeper.name.c_str(), AT_FDCWD, kept.c_str(), RENAME_NOREPLACE);
        if (moved != 0 && (errno == EINVAL || errno == ENOSYS) &&
            (moved = link(gFile.keeper.name.c_str(), kept.c_str())) == 0) {
            unlink(gFile.keeper.name.c_str());
        }
        if (moved == 0) {
            return true;
        }
        if (errno != EEXIST) {
            return false;
        }
        kept = gFile.keeper.name + suffix + "." + std::to_string(n);
    }
    return false;
}

void StartFresh(const StoreEntries& held) {
    const char* what = "";
    if (WriteFreshFile(held, &what) != 0) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.keeper.name.c_str(), what, strerror(errno));
        gFile.keeper.reportedLost = true;
    }
}

// The keeper's call when the file was lost: the same file written again from memory.
int WriteAgain(const void* context) {
    ForgetMapping();  // the entries stay in memory; the hot path writes through to nothing
    gFile.failedStep = "";
    const int failed = WriteFreshFile(*static_cast<const StoreEntries*>(context), &gFile.failedStep);
    gFile.failedError = failed != 0 ? errno : 0;
    return failed;
}

// Reserves `step` more entries on disk. One system call; 0 or the error.
int ReserveRoom(uint32_t step) {
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
        LogFormattedMessage(kLogStoreNoRoom, gFile.keeper.name.c_str(), gStoreMirror.reserved, why);
    }
}

// Room for what is coming, then (a bounded number of) the entries that found none.
void MakeRoomAndCatchUp(int64_t nowNs, const StoreEntries& held) {
    StoreMirror& m = gStoreMirror;
    const uint32_t inMemory = held.count;
    const uint32_t left = m.reserved - m.written;
    const bool wanted = left < m.reserved / 4 || inMemory > m.reserved;
    if (!wanted) {
        gFile.roomRefused = false;  // room enough: an insert that outruns it may ask the disk again
    }
    // After a refusal the disk is asked again once a second, not at every tick.
    if (wanted && m.reserved < kStoreFileMaxEntries &&
        (!gFile.roomRefused || nowNs - gFile.lastRoomTryNs >= kSecondNs)) {
        gFile.lastRoomTryNs = nowNs;
        const int error = ReserveRoom(NextStep(m.reserved));
        gFile.roomRefused = error != 0;
        if (error != 0 && inMemory > m.reserved) {
            ReportNoRoom(strerror(error));
        }
    }
    const uint32_t end = std::min({inMemory, m.reserved, m.written + kCatchUpPerTick});
    if (m.written < end) {
        memcpy(&m.entries[m.written], &held.entries[m.written], kEntrySize * (end - m.written));
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
        LogFormattedMessage(kLogStoreRoomAgain, gFile.keeper.name.c_str(), inMemory);
    }
    gFile.figures.memoryOnly = memoryOnly;
}

// The header, then a slice of the entries, against the process's own copy; what differs is written
// back (an entry through the journal, as any update). One log entry for the header, and one per pass
// over the entries that found any to repair.
void Scrub(const StoreEntries& store) {
    StoreMirror& m = gStoreMirror;
    BCST_STORE_HEADER expected = gFile.written;
    expected.count = m.written;
    expected.journalRef = 0;  // no rewrite is under way between datagrams
    if (memcmp(m.header, &expected, kScrubbedHeaderBytes) != 0) {
        memcpy(reinterpret_cast<char*>(m.header) + sizeof expected.magic,
               reinterpret_cast<const char*>(&expected) + sizeof expected.magic,
               kScrubbedHeaderBytes - sizeof expected.magic);
        __atomic_store_n(&m.header->magic, kStoreMagic, __ATOMIC_RELEASE);
        gFile.figures.repaired += 1;
        LogFormattedMessage(kLogStoreHeaderRepaired, gFile.keeper.name.c_str());
    }
    // A pass ends at the entries written so far, so that a steady stream of inserts cannot hold back
    // its report.
    const uint32_t begin = std::min(gFile.scrubNext, m.written);
    const uint32_t end = std::min(m.written, begin + kScrubPerTick);
    const NEW_MKT_MAP_DATA* held = store.entries;
    if (end > begin && memcmp(&m.entries[begin], &held[begin], kEntrySize * (end - begin)) != 0) {
        for (uint32_t i = begin; i < end; ++i) {
            if (memcmp(&m.entries[i], &held[i], kEntrySize) != 0) {
                StoreFileWrite(i, store.count, held[i]);
                gFile.scrubRepaired += 1;
                gFile.figures.repaired += 1;
            }
        }
    }
    gFile.scrubNext = end;
    if (end == m.written) {
        if (gFile.scrubRepaired > 0) {
            LogFormattedMessage(kLogStoreEntriesRepaired, gFile.keeper.name.c_str(), gFile.scrubRepaired,
                                m.written);
        }
        gFile.scrubNext = 0;
        gFile.scrubRepaired = 0;
    }
}

void MoveIntoNewDay(uint32_t today, uint32_t held) {
    if (today <= gFile.tradingDate) {
        return;  // the same day, or a clock set back: the store's day stays
    }
    gFile.tradingDate = today;
    gFile.written.tradingDate = today;
    if (gStoreMirror.header != nullptr) {
        gStoreMirror.header->tradingDate = today;
    }
    LogFormattedMessage(kLogStoreNewDay, gFile.keeper.name.c_str(), today % 100, today / 100 % 100,
                        today / 10000, static_cast<unsigned>(held));
}

}  // namespace

bool StoreFileMakeRoom() {
    StoreMirror& m = gStoreMirror;
    if (m.header == nullptr || gFile.roomRefused) {
        return false;
    }
    const int error = ReserveRoom(NextStep(m.reserved));
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
    gFile.keeper.name = StoreFileName(instance);
    const int fd = open(gFile.keeper.name.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
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
        *refusal = gFile.keeper.name + " is in use by another bcstbridge";
        if (error != EWOULDBLOCK) {
            *refusal = gFile.keeper.name + " cannot be locked (" + strerror(error) + ")";
        } else if (known) {
            *refusal += " (pid " + std::to_string(header.pid) + ")";
        }
        return 1;
    }
    gFile.fd = fd;
    return 0;
}

uint32_t RestoreStoreFile(int16_t instance, uint32_t today, const StoreEntries& held,
                          void (*load)(const StoreFileImage& image)) {
    gFile.instance = instance;
    gFile.tradingDate = today;
    if (gFile.fd < 0) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.keeper.name.c_str(), "open",
                            strerror(gFile.openError));
        return 0;
    }
    gFile.keeper.kept = true;
    struct stat status;
    if (fstat(gFile.fd, &status) != 0 || status.st_size == 0) {
        StartFresh(held);  // the first start: nothing to say
        return 0;
    }
    void* mapping = MapFile(gFile.fd);
    if (mapping == nullptr) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.keeper.name.c_str(), "map", strerror(errno));
        gFile.keeper.kept = false;
        return 0;
    }
    const size_t size = std::min(static_cast<size_t>(status.st_size), kMappingLength);
    StoreFileImage image;
    std::string reason;
    int invalid = ValidateStoreImage(static_cast<const unsigned char*>(mapping), size, &image, &reason);
    if (invalid == 0 && image.header.instance != instance) {
        invalid = 1;
        reason = "written by instance " + std::to_string(image.header.instance);
    }
    if (invalid != 0) {
        UnmapFile(mapping);
        std::string kept;
        const bool keptAside = KeepAs(".bad", &kept);
        LogFormattedMessage(kLogStoreDamaged, gFile.keeper.name.c_str(), reason.c_str(),
                            keptAside ? kept.c_str() : "(left in place)");
        if (keptAside) {
            StartFresh(held);
        } else {
            gFile.keeper.kept = false;  // never overwrite what could not be kept
        }
        return 0;
    }
    // A file of a later day than the clock's was written before the clock was set back: it is still
    // the day the store holds. Only an earlier day's file is another day's.
    const uint32_t date = image.header.tradingDate;
    if (date < gFile.tradingDate) {
        UnmapFile(mapping);
        if (image.header.count == 0) {
            StartFresh(held);  // nothing to keep, and nothing kept earlier is replaced by it
            return 0;
        }
        std::string kept;
        const bool keptAside = KeepAs(".prev", &kept);
        LogFormattedMessage(kLogStoreOtherDay, gFile.keeper.name.c_str(), date % 100, date / 100 % 100,
                            date / 10000, keptAside ? kept.c_str() : "(left in place)");
        if (keptAside) {
            StartFresh(held);
        } else {
            gFile.keeper.kept = false;
        }
        return 0;
    }
    gFile.tradingDate = date;

    // The day's file: its entries into memory, then the file goes on as it is.
    const uint32_t count = image.header.count;
    const uint32_t notHeld = image.header.memoryOnly;
    load(image);
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
    LogFormattedMessage(kLogStoreRestored, gFile.keeper.name.c_str(), count, date % 100, date / 100 % 100,
                        date / 10000);
    if (notHeld > 0) {
        LogFormattedMessage(kLogStoreNotHeld, gFile.keeper.name.c_str(), notHeld);
    }
    return count;
}

void StoreFileTick(int64_t nowNs, uint32_t today, const StoreEntries& held) {
    if (!gFile.keeper.kept) {
        return;
    }
    MoveIntoNewDay(today, held.count);
    const MappedFileVerdict verdict =
        KeepMappedFile(&gFile.keeper, nowNs, FileBytes(gStoreMirror.reserved), WriteAgain, &held);
    if (verdict.writtenAgain) {
        LogFormattedMessage(kLogStoreFileLost, gFile.keeper.name.c_str(), verdict.happened,
                            static_cast<unsigned>(held.count));
    } else if (verdict.reportFailure) {
        LogFormattedMessage(kLogStoreUnavailable, gFile.keeper.name.c_str(), gFile.failedStep,
                            strerror(gFile.failedError));
    }
    if (verdict.happened != nullptr || gStoreMirror.header == nullptr) {
        return;  // written again this tick, or still lost
    }
    MakeRoomAndCatchUp(nowNs, held);
    Scrub(held);
    if (nowNs - gFile.lastSyncNs >= kSecondNs) {
        gFile.lastSyncNs = nowNs;
        msync(gFile.mapping, FileBytes(gStoreMirror.written), MS_ASYNC);
    }
}

StoreFileFigures CurrentStoreFileFigures() {
    return gFile.figures;
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
    const std::unique_ptr<int32_t[]> tokens(new int32_t[h.count]);
    for (uint32_t i = 0; i < h.count; ++i) {
        tokens[i] = out->entries[i].token;
    }
    std::sort(tokens.get(), tokens.get() + h.count);
    for (uint32_t i = 1; i < h.count; ++i) {
        if (tokens[i] == tokens[i - 1]) {
            *reason = "token " + std::to_string(tokens[i]) + " appears twice";
            return 1;
        }
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

namespace {

// Reads [0, length) of `fd` into `*bytes` (fewer at the file's end, or up to a failing read).
// Reads up to `length` bytes from the start into `bytes`: how many there were.
size_t ReadPrefix(int fd, size_t length, std::string* bytes) {
    bytes->assign(length, '\0');
    size_t got = 0;
    ReadFilePrefix(fd, &(*bytes)[0], length, &got);
    bytes->resize(got);
    return got;
}

std::string Mebibytes(uint64_t bytes) {
    char text[32];
    snprintf(text, sizeof text, "%.1f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return text;
}

}  // namespace

int ReadStoreFileBytes(const std::string& path, std::string* bytes, std::string* reason, std::string* note) {
    struct stat status;
    int openError = 0;
    const int fd = OpenWholeFile(path, &status, &openError);
    if (fd < 0) {
        *reason = openError != 0 ? strerror(openError) : "not a regular file";
        return 1;
    }
    // The header first, then only the entries it counts, never more than a store file can hold:
    // the file's own size may be anything an operator or a fault made it.
    size_t wanted = ReadPrefix(fd, kHeaderSize, bytes);
    if (wanted == kHeaderSize) {
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
        const bool oversized = size > kMappingLength;
        const bool sparse = allocated + (1u << 20) < size && allocated < size / 2;
        if (oversized) {
            *note = "the file is " + Mebibytes(size) + ", larger than a store file gets (" +
                    Mebibytes(kMappingLength) + ")";
        }
        if (sparse) {
            *note += (oversized ? ", and" : "the file") + std::string(" is sparse: ") + Mebibytes(allocated) +
                     " of its " + Mebibytes(size) + " on disk";
        }
        if (oversized || sparse) {
            *note += "; read only the entries its header counts";
        }
    }
    return 0;
}
