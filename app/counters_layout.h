// The counters file's layout, BcstBridge<instance>.counters: what the bridge writes (app/counters.h)
// and every reader (app/counters_reader.h, bcst-stat) relies on, byte for byte.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// The file, layout version 2: a header of two 64-byte lines; the counter values, each at the start of
// its own 64-byte line, so that a reader polling one counter never shares a cache line with the next
// one written; the service-time histogram's cells; the histogram's bucket bounds; and one metadata
// record per counter (type id, JSON key, Prometheus family and label, a label for people). The header
// gives every offset and size, and a reader checks magic, version and sizes before it reads anything
// else. Behind the metadata lies a second histogram of the same buckets, the wire latency (from the
// kernel's arrival stamp of a datagram to the return of the send that carried its last output), which
// an older file lacks: its header's wireHistogramOffset is 0 there. Counters appended later keep the
// version: a reader shows those it does not know by their metadata. The magic is stored last, and the
// file only appears under its name once complete (it is written under a temporary name and renamed),
// so a reader never takes a half-written header for a valid one.
constexpr uint64_t kCountersMagic = 0x31544E4354534342ull;  // "BCSTCNT1" in file order
constexpr uint32_t kCountersLayoutVersion = 2;
constexpr size_t kCounterLineSize = 64;
constexpr size_t kCounterSlots = 64;  // counter lines in the file; the enum below may grow up to this

// The service-time histogram: log-linear buckets, nine per decade (1, 2, ... 9 times a power of ten)
// from 1 µs to 1 s, each counting the times up to its bound, and one bucket for everything longer.
constexpr int kServiceBoundCount = 55;                   // 1 µs ... 9 µs, 10 µs ... 900 ms, 1 s
constexpr int kServiceBuckets = kServiceBoundCount + 1;  // the last one: longer than 1 s
constexpr int kHistogramCells = kServiceBuckets + 2;     // the buckets, the sum (ns), the count
constexpr size_t kHistogramBytes = 512;                  // the cells, padded to whole lines
static_assert(kHistogramCells * sizeof(int64_t) <= kHistogramBytes, "the histogram fits its lines");
constexpr size_t kServiceBoundsBytes = 512;
static_assert(kServiceBoundCount * sizeof(int64_t) <= kServiceBoundsBytes, "the bounds fit their lines");

enum CountersMode : uint8_t {
    kCountersModePassThrough = 0,
    kCountersModeRelay = 1,
};

// How output datagrams leave; shown by bcst-stat. The sending code says which one it uses.
enum CountersSendPath : uint8_t {
    kSendPathUnknown = 0,
    kSendPathUdpSegmentation = 1,  // one send of several datagrams cut by the kernel (UDP_SEGMENT)
    kSendPathSendmmsg = 2,         // several datagrams per sendmmsg call
    kSendPathSendto = 3,           // one sendto per datagram
};

// Every field lies at its natural alignment, so the layout has no padding and the magic can be
// stored and loaded atomically; the asserts below pin it.
struct alignas(8) BCST_COUNTERS_HEADER {
    uint64_t magic;            // kCountersMagic, stored last
    uint32_t layoutVersion;    // kCountersLayoutVersion
    uint32_t fileSize;         // kCountersFileSize
    uint32_t headerSize;       // offset of the first counter line
    uint32_t counterCount;     // counters in use, each on its own line
    int32_t pid;               // the writing process
    int32_t instance;          // the instance number as the log file names it
    uint64_t startTicks;       // the process's start in clock ticks after boot, as /proc/<pid>/stat shows it
    int64_t startRealtimeNs;   // wall clock (CLOCK_REALTIME) when the file was created
    int64_t startMonotonicNs;  // CLOCK_MONOTONIC at the same moment: maps monotonic counters to wall time
    char segment[6];           // MARKET_SEGMENT, zero-padded
    uint8_t mode;              // CountersMode
    uint8_t sendPath;          // CountersSendPath; may change while running (relaxed store)
    // The second line: where everything else lies, in bytes from the start of the file.
    uint32_t valuesOffset;         // the first counter value
    uint32_t valueStride;          // from one counter value to the next
    uint32_t histogramOffset;      // kServiceBuckets bucket counts, then the sum in ns and the count
    uint32_t histogramBuckets;     // bucket counts, the last one without a bound (longer than them all)
    uint32_t boundsOffset;         // histogramBuckets - 1 upper bounds in ns, rising
    uint32_t metadataOffset;       // counterCount records of BCST_COUNTER_METADATA
    uint32_t metadataSize;         // bytes per metadata record
    uint32_t wireHistogramOffset;  // histogramBuckets bucket counts, the sum in ns and the count, on the
                                   // service time's bounds; 0 when the file has no wire histogram
    uint32_t reserved[8];          // zero
};
// Readers on other builds depend on every offset: change any of them only with a new layout version.
static_assert(sizeof(BCST_COUNTERS_HEADER) == 2 * kCounterLineSize, "the header is two cache lines");
static_assert(offsetof(BCST_COUNTERS_HEADER, layoutVersion) == 8, "layout version offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, fileSize) == 12, "file size offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, headerSize) == 16, "header size offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, counterCount) == 20, "counter count offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, pid) == 24, "pid offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, instance) == 28, "instance offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, startTicks) == 32, "start ticks offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, startRealtimeNs) == 40, "start realtime offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, startMonotonicNs) == 48, "start monotonic offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, segment) == 56, "segment offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, mode) == 62, "mode offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, sendPath) == 63, "send path offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, valuesOffset) == 64, "values offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, valueStride) == 68, "value stride offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, histogramOffset) == 72, "histogram offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, histogramBuckets) == 76, "histogram buckets offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, boundsOffset) == 80, "bounds offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, metadataOffset) == 84, "metadata offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, metadataSize) == 88, "metadata size offset");
static_assert(offsetof(BCST_COUNTERS_HEADER, wireHistogramOffset) == 92, "wire histogram offset");

// What a counter's value means, so that a reader can show a counter it does not know.
enum CounterType : int32_t {
    kCounterTypeTotal = 1,        // a running total (a Prometheus counter)
    kCounterTypeLevel = 2,        // a level that goes up and down (a gauge)
    kCounterTypeTimestampNs = 3,  // a CLOCK_MONOTONIC time in ns, 0 for never
    kCounterTypeDurationNs = 4,   // a duration in ns
};

// One counter's metadata record, in counter order. Texts are zero-terminated (and zero-padded).
struct BCST_COUNTER_METADATA {
    int32_t typeId;  // CounterType
    uint32_t reserved;
    char key[40];     // the JSON key, e.g. "frames_mbp"
    char family[48];  // the Prometheus family without the bcstbridge_ prefix; "" when not exported as is
    char labels[48];  // "" or the family's label pairs for this counter, e.g. type="mbp"
    char label[112];  // what it counts, for people (the HELP text)
};
static_assert(sizeof(BCST_COUNTER_METADATA) == 256, "metadata records are four cache lines");
static_assert(offsetof(BCST_COUNTER_METADATA, key) == 8, "key offset");
static_assert(offsetof(BCST_COUNTER_METADATA, family) == 48, "family offset");
static_assert(offsetof(BCST_COUNTER_METADATA, labels) == 96, "labels offset");
static_assert(offsetof(BCST_COUNTER_METADATA, label) == 144, "label offset");

// Where the writer puts each part (a reader takes the offsets from the header instead).
constexpr size_t kCountersValuesOffset = sizeof(BCST_COUNTERS_HEADER);
constexpr size_t kCountersHistogramOffset = kCountersValuesOffset + kCounterSlots * kCounterLineSize;
constexpr size_t kCountersBoundsOffset = kCountersHistogramOffset + kHistogramBytes;
constexpr size_t kCountersMetadataOffset = kCountersBoundsOffset + kServiceBoundsBytes;
constexpr size_t kCountersWireHistogramOffset =
    kCountersMetadataOffset + kCounterSlots * sizeof(BCST_COUNTER_METADATA);
constexpr size_t kCountersFileSize = kCountersWireHistogramOffset + kHistogramBytes;

// Counter lines in file order; append only (a reader shows counters appended after it was built by
// their metadata, and treats those of an older file that it lacks as absent).
enum CounterId : int {
    kCounterReceived,                // datagrams received as the statistics line counts them
    kCounterSent,                    // datagrams sent, likewise
    kCounterSendErrors,              // sends that failed (not counted as sent)
    kCounterReceiveErrors,           // receive calls that failed
    kCounterFramesMbp,               // market-by-price frames accepted
    kCounterFramesOhl,               // open/high/low frames accepted
    kCounterFramesTicker,            // ticker frames accepted
    kCounterRefusedUnknownType,      // frames of another message type
    kCounterRefusedZeroCount,        // frames with record count 0
    kCounterRefusedBadLength,        // compressed length outside the receive buffer or past the datagram
    kCounterRefusedDecodeFailure,    // payloads that are no valid LZ4 block
    kCounterRefusedWrongRecordSize,  // market-by-price frames whose decoded size is not 140 per record
    kCounterStoreEntries,            // instruments in the store (a level, not a running total)
    kCounterKernelDrops,             // datagrams the kernel dropped on the receiving socket (SO_RXQ_OVFL)
    kCounterLastAcceptedNs,          // CLOCK_MONOTONIC of the last accepted datagram; 0 before the first
    kCounterMaxServiceNs,            // longest from receipt to the end of handling (a batch in pass-through)
    kCounterHeartbeatNs,             // CLOCK_MONOTONIC of the relay loop's latest tick (CountersTick)
    kCounterStoreRestored,           // instruments read back from the store file at start-up
    kCounterStoreMemoryOnly,         // instruments held in memory but not (yet) in the store file
    kCounterLogHeldBack,             // log copies held back as repeats (a summary entry stands for them)
    kCounterLogLost,                 // log entries that could not be written anywhere (a full disk)
    kCounterStandby,                 // 1 while the instance is standby (sends nothing), 0 while active
    kCounterWithheld,                // datagrams not sent because the instance was standby
    kCounterRoleChanges,             // changes of role since the start
    kCounterRoleChangedNs,           // CLOCK_MONOTONIC of the latest change of role; 0 for none
    kCounterLogToStandardError,      // log entries the log file could not take, written to standard error
    kCounterStoreRepaired,           // store file headers and entries found changed and written back
    kCounterMaxWireNs,               // longest from a datagram's arrival stamp to its output's send
    kCounterCount
};
static_assert(kCounterCount <= static_cast<int>(kCounterSlots), "counters fit the file");

// How a counter is published: its JSON key, its Prometheus family and label, its help text.
struct CounterDescription {
    const char* key;
    const char* family;  // without the bcstbridge_ prefix
    const char* label;   // "" or one label pair, e.g. type="mbp"
    const char* help;
    bool total;                            // a running total (Prometheus counter) rather than a level (gauge)
    CounterType type = kCounterTypeTotal;  // when neither: a time stamp or a duration
};
// The type id written to the file's metadata.
inline CounterType CounterTypeOf(const CounterDescription& d) {
    return d.type == kCounterTypeTimestampNs || d.type == kCounterTypeDurationNs ? d.type
           : d.total                                                             ? kCounterTypeTotal
                                                                                 : kCounterTypeLevel;
}
extern const CounterDescription kCounterDescriptions[kCounterCount];
const char* CountersModeName(uint8_t mode);
const char* CountersSendPathName(uint8_t path);

// "BcstBridge<instance>.counters".
std::string CountersFileName(int instance);

// The upper bound of bucket `i` in ns: (i % 9 + 1) * 10^(i / 9) µs.
constexpr int64_t ServiceBoundNs(int i) {
    int64_t power = 1000;
    for (int d = 0; d < i / 9; ++d) {
        power *= 10;
    }
    return (i % 9 + 1) * power;
}

static_assert(ServiceBoundNs(0) == 1000 && ServiceBoundNs(kServiceBoundCount - 1) == 1000000000,
              "the buckets span 1 us to 1 s");

// The bucket of a service time: the first whose bound is at least `ns`; kServiceBoundCount when it
// is longer than 1 s. No table walk: the decade by at most six compares, the step by one division.
inline int ServiceBucket(int64_t ns) {
    if (ns <= 1000) {
        return 0;
    }
    if (ns > 1000000000) {
        return kServiceBoundCount;
    }
    const int64_t us = (ns + 999) / 1000;  // whole µs, rounded up: ns <= b µs exactly when us <= b
    int64_t power = 1;
    int decade = 0;
    while (us > power * 10) {
        power *= 10;
        ++decade;
    }
    return 9 * decade + static_cast<int>((us + power - 1) / power) - 1;
}
