// Live counters in a small memory-mapped file, BcstBridge<instance>.counters, that bcst-stat and
// monitoring read while the bridge runs. Only the relay thread writes them, with relaxed atomic
// stores: updating a counter costs a store, never a system call or an allocation.
#pragma once

#include <time.h>
#include <cstddef>
#include <cstdint>
#include <string>

// The file: one 64-byte header line, then one 64-bit counter at the start of each following 64-byte
// line, so that a reader polling one counter never shares a cache line with the next one written.
// Readers check magic, version and size before they read anything else. The magic is stored last,
// and the file only appears under its name once complete (it is written under a temporary name and
// renamed), so a reader never takes a half-written header for a valid one.
constexpr uint64_t kCountersMagic = 0x31544E4354534342ull;  // "BCSTCNT1" in file order
constexpr uint32_t kCountersLayoutVersion = 1;
constexpr size_t kCounterLineSize = 64;
constexpr size_t kCountersFileSize = 4096;
constexpr size_t kCounterSlots = kCountersFileSize / kCounterLineSize - 1;

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
};
// Readers on other builds depend on every offset: change any of them only with a new layout version.
static_assert(sizeof(BCST_COUNTERS_HEADER) == 64, "the header is one cache line");
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

// Counter lines in file order; append only (a reader of version 1 knows exactly these).
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
    kCounterCount
};
static_assert(kCounterCount <= static_cast<int>(kCounterSlots), "counters fit the file");
static_assert(sizeof(BCST_COUNTERS_HEADER) + kCounterSlots * kCounterLineSize == kCountersFileSize,
              "header and counter lines fill the file");

// How a counter is published: its JSON key, its Prometheus family and label, its help text.
struct CounterDescription {
    const char* key;
    const char* family;  // without the bcstbridge_ prefix
    const char* label;   // "" or one label pair, e.g. type="mbp"
    const char* help;
    bool total;  // a running total (Prometheus counter) rather than a level (gauge)
};
extern const CounterDescription kCounterDescriptions[kCounterCount];
const char* CountersModeName(uint8_t mode);
const char* CountersSendPathName(uint8_t path);

// ---- writer side (the bridge's relay thread) ------------------------------------------------------

// The counters live in process memory (gCounterBase) and every store goes to the file's cell too
// (gCounterFileBase), so that a reader sees each value as it is written and a file truncated or
// removed by an operator loses nothing: the tick writes it again from memory. Neither is ever null:
// without a file the second points at a scratch block, so the hot path needs no test.
extern int64_t* gCounterBase;
extern int64_t* gCounterFileBase;
constexpr size_t kCounterStride = kCounterLineSize / sizeof(int64_t);

inline int64_t& CounterCell(CounterId id) {
    return gCounterBase[static_cast<size_t>(id) * kCounterStride];
}
inline void CounterSet(CounterId id, int64_t value) {
    __atomic_store_n(&CounterCell(id), value, __ATOMIC_RELAXED);
    __atomic_store_n(&gCounterFileBase[static_cast<size_t>(id) * kCounterStride], value, __ATOMIC_RELAXED);
}
// Single writer: a load and a store, no locked instruction. `n` lets a batched path count at once.
inline void CounterAdd(CounterId id, int64_t n = 1) {
    CounterSet(id, __atomic_load_n(&CounterCell(id), __ATOMIC_RELAXED) + n);
}
inline int64_t CounterValue(CounterId id) {
    return __atomic_load_n(&CounterCell(id), __ATOMIC_RELAXED);
}

// CLOCK_MONOTONIC in nanoseconds; read through the vDSO, no system call.
inline int64_t CountersClock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// The relay loop marks when a datagram was received and when its handling ended; a datagram that is
// accepted (a frame dispatched, or forwarded in pass-through mode) becomes the last accepted one.
extern int64_t gCountersDatagramStart;
inline void CountersDatagramReceived() {
    gCountersDatagramStart = CountersClock();
}
inline void CountersDatagramAccepted() {
    CounterSet(kCounterLastAcceptedNs, gCountersDatagramStart);
}
inline void CountersDatagramDone() {
    const int64_t took = CountersClock() - gCountersDatagramStart;
    if (took > CounterValue(kCounterMaxServiceNs)) {
        CounterSet(kCounterMaxServiceNs, took);
    }
}
inline void CountAcceptedFrame(CounterId type) {
    CounterAdd(type);
    CountersDatagramAccepted();
}

// The receiving socket's drop count as the kernel reports it with a datagram (SO_RXQ_OVFL): the
// total since the socket was opened. A batched receive hands in the value of its last datagram.
inline void CountersSetKernelDrops(uint32_t socketDrops) {
    CounterSet(kCounterKernelDrops, socketDrops);
}

// Records which send path is in use (CountersSendPath); may be called before the file exists.
void CountersSetSendPath(uint8_t path);

// Creates and maps BcstBridge<instance>.counters in the working directory for this process, with the
// counters' current values. 0 on success; 1 with the reason in gcaLogMessage (not logged), and the
// bridge then counts in process memory only.
int CreateCountersFile(int16_t instance, const char* segment, uint8_t mode);

// The counters' chore in the loop's tick: the heartbeat, the tick's time `nowNs` (CLOCK_MONOTONIC),
// and a counters file that an operator truncated, replaced or removed written again from memory (one
// log entry). Costs a stat.
void CountersTick(int64_t nowNs);

// Back to process memory, every counter zero (tests).
void ResetCounters();

// "BcstBridge<instance>.counters".
std::string CountersFileName(int instance);

// ---- reader side (bcst-stat, tests) ---------------------------------------------------------------

// The loop ticks at least once a second, traffic or not; a running bridge whose heartbeat is older
// than this is stuck (stopped, wedged, or spinning inside a call), not idle.
constexpr int64_t kCountersStalledAfterNs = 2000000000;

struct CountersSnapshot {
    BCST_COUNTERS_HEADER header;
    int64_t values[kCounterCount];
};

// Validates an image of a counters file (magic, version, sizes) and copies it out with atomic loads.
// 0 on success; 1 with a one-line reason in `*error`.
int ReadCountersImage(const unsigned char* image, size_t size, CountersSnapshot* out, std::string* error);
// The same for a file: maps it read-only for the copy. 1 with a reason when it cannot be read.
int ReadCountersFile(const std::string& path, CountersSnapshot* out, std::string* error);
