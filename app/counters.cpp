// The counters file's writer: the counters in process memory, the file made from them, and the file
// kept (written again when an operator truncated, replaced or removed it).
#include "app/counters.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/log_texts.h"
#include "app/mapped_file.h"
#include "app/process_identity.h"

namespace {

// Where counters go before the file exists or when it cannot be made.
alignas(kCounterLineSize) int64_t gProcessCounters[kCounterCells];
// Where the file's side of each store goes while there is no file.
alignas(kCounterLineSize) int64_t gNoFileCounters[kCounterCells];
BCST_COUNTERS_HEADER* gMappedHeader = nullptr;
uint8_t gSendPath = kSendPathUnknown;

// What the bridge created, so that the tick can write it again: the file as its keeper watches it,
// and the header's arguments.
struct CountersFile {
    MappedFileKeeper keeper;
    int16_t instance = 0;
    char segment[sizeof(BCST_COUNTERS_HEADER::segment)] = {};
    uint8_t mode = 0;
    std::string error;  // why writing it again failed
} gCountersFile;

void ForgetCountersMapping() {
    if (gMappedHeader != nullptr) {
        UnguardMapping(gMappedHeader);
        munmap(gMappedHeader, kCountersFileSize);
        gMappedHeader = nullptr;
    }
    gCounterFileBase = gNoFileCounters;
}

int Fail(const std::string& name, const char* what, int error, std::string* text) {
    char entry[1024];
    snprintf(entry, sizeof entry, kLogCountersUnavailable, name.c_str(), what, strerror(error));
    *text = entry;
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

}  // namespace

int64_t* gCounterBase = gProcessCounters;
int64_t* gCounterFileBase = gNoFileCounters;

void CountersSetSendPath(uint8_t path) {
    gSendPath = path;
    if (gMappedHeader != nullptr) {
        __atomic_store_n(&gMappedHeader->sendPath, path, __ATOMIC_RELAXED);
    }
}

int CreateCountersFile(int16_t instance, const char* segment, uint8_t mode, std::string* error) {
    const std::string name = CountersFileName(instance);
    NewMappedFile file;
    const char* what = "";
    if (CreateMappedFile(name, kCountersFileSize, kCountersFileSize, false, &file, &what) != 0) {
        return Fail(name, what, errno, error);
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
    header->startRealtimeNs = CountersWallClock();
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
    header->wireHistogramOffset = kCountersWireHistogramOffset;
    FillDescriptions(static_cast<char*>(mapped));
    auto* cells = reinterpret_cast<int64_t*>(static_cast<char*>(mapped) + kCountersValuesOffset);
    // The values and both histograms; the bounds and the metadata between them stay as filled in.
    memcpy(cells, gProcessCounters, kCountersBoundsOffset - kCountersValuesOffset);
    memcpy(cells + kWireHistogramCell, gProcessCounters + kWireHistogramCell, kHistogramBytes);
    __atomic_store_n(&header->magic, kCountersMagic, __ATOMIC_RELEASE);

    struct stat created;
    if (PublishMappedFile(&file, name, &created, &what) != 0) {
        return Fail(name, what, errno, error);
    }
    close(file.fd);  // the mapping is all the bridge needs
    ForgetCountersMapping();
    gMappedHeader = header;
    gCounterFileBase = cells;
    gCountersFile.keeper.name = name;
    gCountersFile.keeper.identity = created;
    gCountersFile.keeper.mapping = header;
    gCountersFile.keeper.kept = true;
    gCountersFile.instance = instance;
    memcpy(gCountersFile.segment, header->segment, sizeof gCountersFile.segment);
    gCountersFile.mode = mode;
    return 0;
}

namespace {

int WriteCountersAgain(const void*) {
    ForgetCountersMapping();  // the values stay in process memory
    return CreateCountersFile(gCountersFile.instance, gCountersFile.segment, gCountersFile.mode,
                              &gCountersFile.error);
}

}  // namespace

void CountersTick(int64_t nowNs, std::string* report) {
    CounterSet(kCounterHeartbeatNs, nowNs);
    const MappedFileVerdict verdict =
        KeepMappedFile(&gCountersFile.keeper, nowNs, kCountersFileSize, WriteCountersAgain, nullptr);
    if (verdict.writtenAgain) {
        char entry[1024];
        snprintf(entry, sizeof entry, kLogCountersFileLost, gCountersFile.keeper.name.c_str(),
                 verdict.happened);
        *report = entry;
    } else if (verdict.reportFailure) {
        *report = gCountersFile.error;
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
