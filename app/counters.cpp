// The counters file: its creation by the bridge and its validated reading by bcst-stat.
#include "app/counters.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

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
    // Published as an age or a time stamp, and as seconds, by bcst-stat.
    {"last_accepted_ns", "", "", "When the last datagram was accepted (CLOCK_MONOTONIC, ns; 0 for never).",
     false, kCounterTypeTimestampNs},
    {"max_service_ns", "", "", "Longest handling of one datagram since the start (ns).", false,
     kCounterTypeDurationNs},
    {"heartbeat_ns", "", "", "When the relay loop last ticked (CLOCK_MONOTONIC, ns).", false,
     kCounterTypeTimestampNs},  // published as an age and a state by bcst-stat
    {"store_restored", "store_restored_entries", "", "Instruments read back from the store file at start-up.",
     false},
    {"store_memory_only", "store_memory_only_entries", "",
     "Instruments held in memory but not in the store file (a full disk or file).", false},
    {"log_held_back", "log_copies_held_back_total", "",
     "Log entries held back as repeats of one text; a summary entry stands for them.", true},
    {"log_lost", "log_entries_lost_total", "",
     "Log entries that could not be written to the log file nor to standard error.", true},
    // Published by bcst-stat as the role and as bcstbridge_active.
    {"standby", "", "", "1 while the instance is standby (its standby file exists) and sends nothing.",
     false},
    {"withheld", "datagrams_withheld_total", "", "Datagrams not sent because the instance was standby.",
     true},
    {"role_changes", "role_changes_total", "", "Changes between active and standby since the start.", true},
    {"role_changed_ns", "", "", "When the role last changed (CLOCK_MONOTONIC, ns; 0 for never).", false,
     kCounterTypeTimestampNs},
    {"log_to_stderr", "log_entries_to_stderr_total", "",
     "Log entries the log file could not take (not writable, a full disk), written to standard error.", true},
    {"store_repaired", "store_file_repairs_total", "",
     "Store file headers and entries found changed under the bridge and written back from memory.", true},
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
alignas(kCounterLineSize) int64_t gProcessCounters[kCounterCells];
// Where the file's side of each store goes while there is no file.
alignas(kCounterLineSize) int64_t gNoFileCounters[kCounterCells];
BCST_COUNTERS_HEADER* gMappedHeader = nullptr;
uint8_t gSendPath = kSendPathUnknown;

// What the bridge created, so that the tick can write it again: the name, the identity of the file
// under it, and the header's arguments.
struct CountersFile {
    std::string name;
    struct stat identity = {};  // of the file under `name` when the bridge wrote it
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

// The bounds and one metadata record per counter, into a zero-filled file image.
void FillDescriptions(char* image) {
    auto* bounds = reinterpret_cast<int64_t*>(image + kCountersBoundsOffset);
    for (int i = 0; i < kServiceBoundCount; ++i) {
        bounds[i] = ServiceBoundNs(i);
    }
    auto* records = reinterpret_cast<BCST_COUNTER_METADATA*>(image + kCountersMetadataOffset);
    for (int id = 0; id < kCounterCount; ++id) {
        const CounterDescription& d = kCounterDescriptions[id];
        BCST_COUNTER_METADATA& m = records[id];
        m.typeId = CounterTypeOf(d);
        snprintf(m.key, sizeof m.key, "%s", d.key);
        snprintf(m.family, sizeof m.family, "%s", d.family);
        snprintf(m.labels, sizeof m.labels, "%s", d.label);
        snprintf(m.label, sizeof m.label, "%s", d.help);
    }
}

int64_t RealtimeNs() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

}  // namespace

int64_t* gCounterBase = gProcessCounters;
int64_t* gCounterFileBase = gNoFileCounters;

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
    NewMappedFile file;
    const char* what = "";
    if (CreateMappedFile(name, kCountersFileSize, kCountersFileSize, false, &file, &what) != 0) {
        return Fail(name, what, errno);
    }
    void* mapped = file.mapping;
    auto* header = static_cast<BCST_COUNTERS_HEADER*>(mapped);
    header->layoutVersion = kCountersLayoutVersion;
    header->fileSize = kCountersFileSize;
    header->headerSize = sizeof(BCST_COUNTERS_HEADER);
    header->counterCount = kCounterCount;
    header->pid = getpid();
    header->instance = instance;
    uint64_t startTicks = 0;
    int openError = 0;
    header->startTicks = ProcessStartTicks(0, &startTicks, &openError) ? startTicks : 0;
    header->startRealtimeNs = RealtimeNs();
    header->startMonotonicNs = CountersClock();
    snprintf(header->segment, sizeof header->segment, "%s", segment);
    header->mode = mode;
    header->sendPath = gSendPath;
    header->valuesOffset = kCountersValuesOffset;
    header->valueStride = kCounterLineSize;
    header->histogramOffset = kCountersHistogramOffset;
    header->histogramBuckets = kServiceBuckets;
    header->boundsOffset = kCountersBoundsOffset;
    header->metadataOffset = kCountersMetadataOffset;
    header->metadataSize = sizeof(BCST_COUNTER_METADATA);
    FillDescriptions(static_cast<char*>(mapped));
    auto* cells = reinterpret_cast<int64_t*>(static_cast<char*>(mapped) + kCountersValuesOffset);
    memcpy(cells, gProcessCounters, sizeof gProcessCounters);
    __atomic_store_n(&header->magic, kCountersMagic, __ATOMIC_RELEASE);

    struct stat created;
    if (PublishMappedFile(&file, name, &created, &what) != 0) {
        return Fail(name, what, errno);
    }
    close(file.fd);  // the mapping is all the bridge needs
    ForgetCountersMapping();
    gMappedHeader = header;
    gCounterFileBase = cells;
    gCountersFile.name = name;
    gCountersFile.identity = created;
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
    if (gMappedHeader == nullptr) {
        // Lost earlier and not yet written again: once a second.
        if (nowNs - gCountersFile.lastRetryNs < 1000000000) {
            return;
        }
        happened = "unwritable";
    } else {
        happened =
            MappedFileChange(gCountersFile.name, gMappedHeader, gCountersFile.identity, kCountersFileSize);
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
}

namespace {

int Refuse(std::string* error, const char** reason, const char* word, const std::string& text) {
    *error = text;
    if (reason != nullptr) {
        *reason = word;
    }
    return 1;
}

// A Prometheus or JSON name in snake case: a lower-case letter or underscore, then lower-case letters,
// digits and underscores.
bool IsName(const char* text) {
    if (!islower(static_cast<unsigned char>(text[0])) && text[0] != '_') {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (!islower(static_cast<unsigned char>(*c)) && !isdigit(static_cast<unsigned char>(*c)) &&
            *c != '_') {
            return false;
        }
    }
    return true;
}

// Printable ASCII without quotes or backslashes: safe in a HELP line, a label value and JSON.
bool IsPlainText(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < 0x20 || *c > 0x7E || *c == '"' || *c == '\\') {
            return false;
        }
    }
    return true;
}

// "" or name="value" pairs separated by commas, as a family's labels are written.
bool IsLabelPairs(const char* text) {
    std::string rest = text;
    while (!rest.empty()) {
        const size_t equals = rest.find("=\"");
        const size_t close = equals == std::string::npos ? std::string::npos : rest.find('"', equals + 2);
        if (close == std::string::npos || !IsName(rest.substr(0, equals).c_str()) ||
            !IsPlainText(rest.substr(equals + 2, close - equals - 2).c_str())) {
            return false;
        }
        rest.erase(0, close + 1);
        if (!rest.empty() && (rest[0] != ',' || rest.size() == 1)) {
            return false;
        }
        rest.erase(0, rest.empty() ? 0 : 1);
    }
    return true;
}

// A metadata record that the tools can publish as it is: a counter's key is a name, its family is one
// (named as its type says) or empty, its labels are pairs, its label plain text.
bool IsPublishable(const BCST_COUNTER_METADATA& m) {
    // A running total's family ends in "_total", and only a running total's does.
    const size_t length = strlen(m.family);
    const bool totalName = length > 6 && strcmp(m.family + length - 6, "_total") == 0;
    return IsName(m.key) &&
           (length == 0 || (IsName(m.family) && totalName == (m.typeId == kCounterTypeTotal))) &&
           IsLabelPairs(m.labels) && IsPlainText(m.label);
}

// Whether `count` items of `size` bytes from `offset` lie within a file of `fileSize` bytes.
bool Within(uint64_t offset, uint64_t count, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && count * size <= fileSize - offset;
}

}  // namespace

int ReadCountersImage(const unsigned char* image, size_t size, CountersSnapshot* out, std::string* error,
                      const char** reason) {
    if (size < sizeof(BCST_COUNTERS_HEADER)) {
        return Refuse(error, reason, "truncated",
                      "too short for a counters file (" + std::to_string(size) + " bytes)");
    }
    const auto* header = reinterpret_cast<const BCST_COUNTERS_HEADER*>(image);
    if (__atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) != kCountersMagic) {
        return Refuse(error, reason, "foreign", "not a bcstbridge counters file (bad magic)");
    }
    memcpy(&out->header, header, sizeof out->header);
    const BCST_COUNTERS_HEADER& h = out->header;
    if (h.layoutVersion != kCountersLayoutVersion) {
        return Refuse(error, reason, "version",
                      "counters layout version " + std::to_string(h.layoutVersion) +
                          ", this reader knows version " + std::to_string(kCountersLayoutVersion));
    }
    if (h.fileSize != size) {
        return Refuse(
            error, reason, "truncated",
            "file is " + std::to_string(size) + " bytes, its header says " + std::to_string(h.fileSize));
    }
    // Every part where the header says, inside the file, and in the shapes this reader knows.
    const bool shaped = h.headerSize == sizeof(BCST_COUNTERS_HEADER) && h.counterCount <= kCounterSlots &&
                        h.valueStride >= sizeof(int64_t) && h.valueStride % sizeof(int64_t) == 0 &&
                        h.valuesOffset % sizeof(int64_t) == 0 &&
                        Within(h.valuesOffset, h.counterCount, h.valueStride, size) &&
                        h.metadataSize >= sizeof(BCST_COUNTER_METADATA) &&
                        Within(h.metadataOffset, h.counterCount, h.metadataSize, size) &&
                        (h.histogramBuckets == 0 ||
                         (h.histogramBuckets <= static_cast<uint32_t>(kServiceBuckets) &&
                          h.histogramOffset % sizeof(int64_t) == 0 && h.boundsOffset % sizeof(int64_t) == 0 &&
                          Within(h.histogramOffset, h.histogramBuckets + 2, sizeof(int64_t), size) &&
                          Within(h.boundsOffset, h.histogramBuckets - 1, sizeof(int64_t), size)));
    if (!shaped) {
        return Refuse(error, reason, "corrupt",
                      "corrupt header (header size " + std::to_string(h.headerSize) + ", " +
                          std::to_string(h.counterCount) + " counters)");
    }
    out->counterCount = static_cast<int>(h.counterCount);
    for (size_t i = 0; i < kCounterSlots; ++i) {
        out->values[i] = 0;
        BCST_COUNTER_METADATA& m = out->metadata[i];
        if (i < h.counterCount) {
            const auto* cell = reinterpret_cast<const int64_t*>(image + h.valuesOffset + i * h.valueStride);
            out->values[i] = __atomic_load_n(cell, __ATOMIC_RELAXED);
            memcpy(&m, image + h.metadataOffset + i * h.metadataSize, sizeof m);
            // Texts are the writer's business: end each one within its field whatever the file holds.
            m.key[sizeof m.key - 1] = m.family[sizeof m.family - 1] = m.labels[sizeof m.labels - 1] =
                m.label[sizeof m.label - 1] = '\0';
            if (!IsPublishable(m)) {
                return Refuse(error, reason, "corrupt", "corrupt metadata of counter " + std::to_string(i));
            }
        } else {
            memset(&m, 0, sizeof m);
        }
    }
    out->histogramBuckets = static_cast<int>(h.histogramBuckets);
    // Offsets of a file without a histogram were not checked: not even pointed at.
    const bool histogram = out->histogramBuckets != 0;
    const auto* cells = reinterpret_cast<const int64_t*>(image + (histogram ? h.histogramOffset : 0));
    const auto* bounds = reinterpret_cast<const int64_t*>(image + (histogram ? h.boundsOffset : 0));
    for (int i = 0; i < kServiceBuckets; ++i) {
        const bool present = i < out->histogramBuckets;
        out->buckets[i] = present ? __atomic_load_n(&cells[i], __ATOMIC_RELAXED) : 0;
        out->boundsNs[i] = !present || i == out->histogramBuckets - 1 ? INT64_MAX : bounds[i];
        if (present && i > 0 && out->boundsNs[i] <= out->boundsNs[i - 1]) {
            return Refuse(error, reason, "corrupt", "corrupt histogram bounds");
        }
    }
    out->histogramSumNs = histogram ? __atomic_load_n(&cells[h.histogramBuckets], __ATOMIC_RELAXED) : 0;
    out->histogramCount = histogram ? __atomic_load_n(&cells[h.histogramBuckets + 1], __ATOMIC_RELAXED) : 0;
    out->header.sendPath = __atomic_load_n(&header->sendPath, __ATOMIC_RELAXED);
    return 0;
}

int ReadCountersFile(const std::string& path, CountersSnapshot* out, std::string* error,
                     const char** reason) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        const int openError = errno;
        return Refuse(error, reason, openError == ENOENT ? "missing" : "unreadable", strerror(openError));
    }
    struct stat status;
    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        close(fd);
        return Refuse(error, reason, "unreadable", "not a regular file");
    }
    // Read, not mapped: a file cut short while it is read would fault a mapping. One byte more than a
    // counters file may have tells a file too long from one of exactly the limit.
    constexpr size_t kLargest = 1 << 20;
    const size_t want = std::min(static_cast<size_t>(status.st_size), kLargest) + 1;
    std::vector<int64_t> buffer((want + sizeof(int64_t) - 1) / sizeof(int64_t));
    auto* image = reinterpret_cast<unsigned char*>(buffer.data());
    size_t got = 0;
    while (got < want) {
        const ssize_t n = pread(fd, image + got, want - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            const int readError = errno;
            close(fd);
            return Refuse(error, reason, "unreadable", strerror(readError));
        }
        if (n == 0) {
            break;
        }
        got += static_cast<size_t>(n);
    }
    close(fd);
    return ReadCountersImage(image, got, out, error, reason);
}

namespace {

// The counts of each bucket between two snapshots, and their total.
int64_t CountsBetween(const CountersSnapshot& now, const CountersSnapshot* before, int64_t* counts) {
    int64_t total = 0;
    for (int i = 0; i < now.histogramBuckets; ++i) {
        counts[i] =
            now.buckets[i] - (before != nullptr && i < before->histogramBuckets ? before->buckets[i] : 0);
        counts[i] = counts[i] < 0 ? 0 : counts[i];
        total += counts[i];
    }
    return total;
}

int64_t BoundAtMost(const CountersSnapshot& s, int bucket, int64_t maxNs) {
    return std::min(s.boundsNs[bucket], maxNs);
}

}  // namespace

int64_t ServicePercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, double fraction,
                            int64_t maxNs) {
    int64_t counts[kServiceBuckets];
    const int64_t total = CountsBetween(now, before, counts);
    if (total == 0) {
        return -1;
    }
    // The rank of the time asked for, 1-based: the smallest with at least `fraction` of them at or below.
    auto rank = static_cast<int64_t>(std::ceil(fraction * static_cast<double>(total)));
    rank = std::max<int64_t>(1, std::min(rank, total));
    int64_t seen = 0;
    for (int i = 0; i < now.histogramBuckets; ++i) {
        seen += counts[i];
        if (seen >= rank) {
            return BoundAtMost(now, i, maxNs);
        }
    }
    return maxNs;
}

int64_t ServiceMaxNs(const CountersSnapshot& now, const CountersSnapshot* before, int64_t maxNs) {
    int64_t counts[kServiceBuckets];
    if (CountsBetween(now, before, counts) == 0) {
        return -1;
    }
    int highest = now.histogramBuckets - 1;
    while (counts[highest] == 0) {
        --highest;
    }
    return BoundAtMost(now, highest, maxNs);
}

bool ProcessStartTicks(int32_t pid, uint64_t* ticks, int* openError, char* state) {
    char path[64];
    if (pid == 0) {
        snprintf(path, sizeof path, "/proc/self/stat");
    } else {
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
    }
    *openError = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *openError = errno;
        return false;
    }
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    const char* field = strrchr(text, ')');  // the command name may hold blanks and parentheses
    if (state != nullptr && field != nullptr && field[1] == ' ') {
        *state = field[2];  // field 3
    }
    for (int i = 2; field != nullptr && i < 22; ++i) {
        field = strchr(field + 1, ' ');
    }
    if (field == nullptr) {
        return false;
    }
    *ticks = strtoull(field + 1, nullptr, 10);
    return true;
}

bool ProcessRunning(int32_t pid, uint64_t startTicks) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    uint64_t ticks = 0;
    int openError = 0;
    char state = '?';
    if (!ProcessStartTicks(pid, &ticks, &openError, &state)) {
        return openError != 0 && openError != ENOENT;  // hidden from us (hidepid): the signal test has to do
    }
    // A killed process that its parent has not yet reaped still has its pid, but runs no more.
    return (startTicks == 0 || ticks == startTicks) && state != 'Z' && state != 'X';
}
