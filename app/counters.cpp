// The counters file: its creation by the bridge and its validated reading by bcst-stat.
#include "app/counters.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/log_texts.h"
#include "app/mapped_guard.h"

const CounterDescription kCounterDescriptions[kCounterCount] = {
    {"received", "datagrams_received_total", "",
     "Datagrams counted as received (accepted market-by-price frames in relay mode).", true},
    {"sent", "datagrams_sent_total", "", "Datagrams sent to the output group.", true},
    {"send_errors", "send_errors_total", "", "Sends that failed; those datagrams are lost.", true},
    {"receive_errors", "receive_errors_total", "", "Receive calls that failed.", true},
    {"frames_mbp", "frames_total", "type=\"mbp\"", "Feed frames accepted, by message type.", true},
    {"frames_ohl", "frames_total", "type=\"ohl\"", "Feed frames accepted, by message type.", true},
    {"frames_ticker", "frames_total", "type=\"ticker\"", "Feed frames accepted, by message type.", true},
    {"refused_unknown_type", "refused_frames_total", "reason=\"unknown_type\"",
     "Feed frames refused, by reason.", true},
    {"refused_zero_count", "refused_frames_total", "reason=\"zero_count\"", "Feed frames refused, by reason.",
     true},
    {"refused_bad_length", "refused_frames_total", "reason=\"bad_length\"", "Feed frames refused, by reason.",
     true},
    {"refused_decode_failure", "refused_frames_total", "reason=\"decode_failure\"",
     "Feed frames refused, by reason.", true},
    {"refused_wrong_record_size", "refused_frames_total", "reason=\"wrong_record_size\"",
     "Feed frames refused, by reason.", true},
    {"store_entries", "store_entries", "", "Instruments held in the store.", false},
    {"kernel_drops", "kernel_drops_total", "",
     "Datagrams dropped by the kernel because the receive buffer was full.", true},
    {"last_accepted_ns", "", "", "", false},  // published as an age or a time stamp by bcst-stat
    {"max_service_ns", "", "", "", false},
    {"heartbeat_ns", "", "", "", false},  // published as an age and a state by bcst-stat
    {"store_restored", "store_restored_entries", "", "Instruments read back from the store file at start-up.",
     false},
    {"store_memory_only", "store_memory_only_entries", "",
     "Instruments held in memory but not in the store file (a full disk or file).", false},
};

const char* CountersModeName(uint8_t mode) {
    return mode == kCountersModeRelay ? "relay" : mode == kCountersModePassThrough ? "pass-through" : "?";
}

const char* CountersSendPathName(uint8_t path) {
    switch (path) {
        case kSendPathUdpSegmentation:
            return "segmented";
        case kSendPathSendmmsg:
            return "batched";
        case kSendPathSendto:
            return "per-datagram";
        default:
            return "unknown";
    }
}

namespace {

// Where counters go before the file exists or when it cannot be made.
alignas(kCounterLineSize) int64_t gProcessCounters[kCounterSlots * kCounterStride];
// Where the file's side of each store goes while there is no file.
alignas(kCounterLineSize) int64_t gNoFileCounters[kCounterSlots * kCounterStride];
BCST_COUNTERS_HEADER* gMappedHeader = nullptr;
uint8_t gSendPath = kSendPathUnknown;

// What the bridge created, so that the tick can write it again: the name, the identity of the file
// under it, and the header's arguments.
struct CountersFile {
    std::string name;
    dev_t device = 0;
    ino_t inode = 0;
    int16_t instance = 0;
    char segment[sizeof(BCST_COUNTERS_HEADER::segment)] = {};
    uint8_t mode = 0;
    bool reportedLost = false;
    int64_t lastRetryNs = 0;
} gCountersFile;

void ForgetCountersMapping() {
    if (gMappedHeader != nullptr) {
        UnguardMapping(gMappedHeader);
        munmap(gMappedHeader, kCountersFileSize);
        gMappedHeader = nullptr;
    }
    gCounterFileBase = gNoFileCounters;
}

int Fail(const std::string& name, const char* what, int error) {
    snprintf(gcaLogMessage, sizeof gcaLogMessage, kLogCountersUnavailable, name.c_str(), what,
             strerror(error));
    return 1;
}

// Field 22 of /proc/self/stat: the start time that tells this process from a later one with the pid.
uint64_t OwnStartTicks() {
    char text[1024];
    const int fd = open("/proc/self/stat", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return 0;
    }
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
        return 0;
    }
    text[n] = '\0';
    const char* field = strrchr(text, ')');  // the command name may hold blanks and parentheses
    for (int i = 2; field != nullptr && i < 22; ++i) {
        field = strchr(field + 1, ' ');
    }
    return field == nullptr ? 0 : strtoull(field + 1, nullptr, 10);
}

int64_t RealtimeNs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int64_t* gCounterBase = gProcessCounters;
int64_t* gCounterFileBase = gNoFileCounters;
int64_t gCountersDatagramStart = 0;

std::string CountersFileName(int instance) {
    return "BcstBridge" + std::to_string(instance) + ".counters";
}

void CountersSetSendPath(uint8_t path) {
    gSendPath = path;
    if (gMappedHeader != nullptr) {
        __atomic_store_n(&gMappedHeader->sendPath, path, __ATOMIC_RELAXED);
    }
}

int CreateCountersFile(int16_t instance, const char* segment, uint8_t mode) {
    const std::string name = CountersFileName(instance);
    const std::string temporary = name + "." + std::to_string(getpid()) + ".tmp";
    const int fd = open(temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (fd < 0) {
        return Fail(name, "open", errno);
    }
    // Blocks are reserved now: a store into a mapped page of a full disk would kill the process.
    const int reserved = posix_fallocate(fd, 0, kCountersFileSize);
    if (reserved != 0) {
        close(fd);
        unlink(temporary.c_str());
        return Fail(name, "reserve", reserved);
    }
    void* mapped = mmap(nullptr, kCountersFileSize, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    const int mapError = errno;
    close(fd);
    if (mapped == MAP_FAILED) {
        unlink(temporary.c_str());
        return Fail(name, "map", mapError);
    }

    auto* header = static_cast<BCST_COUNTERS_HEADER*>(mapped);
    header->layoutVersion = kCountersLayoutVersion;
    header->fileSize = kCountersFileSize;
    header->headerSize = sizeof(BCST_COUNTERS_HEADER);
    header->counterCount = kCounterCount;
    header->pid = getpid();
    header->instance = instance;
    header->startTicks = OwnStartTicks();
    header->startRealtimeNs = RealtimeNs();
    header->startMonotonicNs = CountersClock();
    snprintf(header->segment, sizeof header->segment, "%s", segment);
    header->mode = mode;
    header->sendPath = gSendPath;
    auto* cells = reinterpret_cast<int64_t*>(static_cast<char*>(mapped) + sizeof(BCST_COUNTERS_HEADER));
    memcpy(cells, gProcessCounters, sizeof gProcessCounters);
    __atomic_store_n(&header->magic, kCountersMagic, __ATOMIC_RELEASE);

    struct stat created;
    if (rename(temporary.c_str(), name.c_str()) != 0 || stat(name.c_str(), &created) != 0) {
        const int renameError = errno;
        munmap(mapped, kCountersFileSize);
        unlink(temporary.c_str());
        return Fail(name, "rename", renameError);
    }
    ForgetCountersMapping();
    GuardMapping(mapped, kCountersFileSize);
    gMappedHeader = header;
    gCounterFileBase = cells;
    gCountersFile.name = name;
    gCountersFile.device = created.st_dev;
    gCountersFile.inode = created.st_ino;
    gCountersFile.instance = instance;
    memcpy(gCountersFile.segment, header->segment, sizeof gCountersFile.segment);
    gCountersFile.mode = mode;
    return 0;
}

void CountersTick(int64_t nowNs) {
    CounterSet(kCounterHeartbeatNs, nowNs);
    if (gCountersFile.name.empty()) {
        return;  // never had a file
    }
    const char* happened = nullptr;
    struct stat named;
    if (gMappedHeader == nullptr) {
        // Lost earlier and not yet written again: once a second.
        if (nowNs - gCountersFile.lastRetryNs < 1000000000) {
            return;
        }
        happened = "unwritable";
    } else if (MappingLost(gMappedHeader)) {
        happened = "truncated";
    } else if (stat(gCountersFile.name.c_str(), &named) != 0) {
        happened = "removed";
    } else if (named.st_ino != gCountersFile.inode || named.st_dev != gCountersFile.device) {
        happened = "replaced";
    } else if (named.st_size < static_cast<off_t>(kCountersFileSize)) {
        happened = "truncated";
    }
    if (happened == nullptr) {
        return;
    }
    ForgetCountersMapping();  // the values stay in process memory
    gCountersFile.lastRetryNs = nowNs;
    if (CreateCountersFile(gCountersFile.instance, gCountersFile.segment, gCountersFile.mode) == 0) {
        gCountersFile.reportedLost = false;
        LogFormattedMessage(kLogCountersFileLost, gCountersFile.name.c_str(), happened);
    } else if (!gCountersFile.reportedLost) {
        gCountersFile.reportedLost = true;
        LogMessage(gcaLogMessage);
    } else {
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    }
}

void ResetCounters() {
    ForgetCountersMapping();
    gCountersFile = CountersFile{};
    memset(gProcessCounters, 0, sizeof gProcessCounters);
    memset(gNoFileCounters, 0, sizeof gNoFileCounters);
    gCounterBase = gProcessCounters;
    gSendPath = kSendPathUnknown;
    gCountersDatagramStart = 0;
}

int ReadCountersImage(const unsigned char* image, size_t size, CountersSnapshot* out, std::string* error) {
    if (size < sizeof(BCST_COUNTERS_HEADER)) {
        *error = "too short for a counters file (" + std::to_string(size) + " bytes)";
        return 1;
    }
    const auto* header = reinterpret_cast<const BCST_COUNTERS_HEADER*>(image);
    if (__atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) != kCountersMagic) {
        *error = "not a bcstbridge counters file (bad magic)";
        return 1;
    }
    memcpy(&out->header, header, sizeof out->header);
    const BCST_COUNTERS_HEADER& h = out->header;
    if (h.layoutVersion != kCountersLayoutVersion) {
        *error = "counters layout version " + std::to_string(h.layoutVersion) +
                 ", this reader knows version " + std::to_string(kCountersLayoutVersion);
        return 1;
    }
    if (h.fileSize != size || h.fileSize != kCountersFileSize) {
        *error = "file is " + std::to_string(size) + " bytes, its header says " + std::to_string(h.fileSize);
        return 1;
    }
    if (h.headerSize != sizeof(BCST_COUNTERS_HEADER) || h.counterCount != kCounterCount) {
        *error = "corrupt header (header size " + std::to_string(h.headerSize) + ", " +
                 std::to_string(h.counterCount) + " counters)";
        return 1;
    }
    const auto* cells = reinterpret_cast<const int64_t*>(image + h.headerSize);
    for (int i = 0; i < kCounterCount; ++i) {
        out->values[i] = __atomic_load_n(&cells[static_cast<size_t>(i) * kCounterStride], __ATOMIC_RELAXED);
    }
    out->header.sendPath = __atomic_load_n(&header->sendPath, __ATOMIC_RELAXED);
    return 0;
}

int ReadCountersFile(const std::string& path, CountersSnapshot* out, std::string* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = strerror(errno);
        return 1;
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        *error = "not a regular file";
        return 1;
    }
    const auto size = static_cast<size_t>(status.st_size);
    if (size != kCountersFileSize) {
        // Read, not mapped: a short file would fault on reading past its end. The validation then
        // names what is wrong (foreign, other version, wrong size).
        alignas(BCST_COUNTERS_HEADER) unsigned char head[sizeof(BCST_COUNTERS_HEADER)] = {};
        const ssize_t got = pread(fd, head, sizeof head, 0);
        close(fd);
        return ReadCountersImage(head,
                                 got == static_cast<ssize_t>(sizeof head) ? size
                                 : got < 0                                ? 0
                                                                          : static_cast<size_t>(got),
                                 out, error);
    }
    void* mapped = mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    close(fd);
    if (mapped == MAP_FAILED) {
        *error = strerror(errno);
        return 1;
    }
    const int result = ReadCountersImage(static_cast<const unsigned char*>(mapped), size, out, error);
    munmap(mapped, size);
    return result;
}
