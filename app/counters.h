// Live counters in a small memory-mapped file, BcstBridge<instance>.counters, that bcst-stat and
// monitoring read while the bridge runs. Only the relay thread writes them, with relaxed atomic
// stores: updating a counter costs a store, never a system call or an allocation.
#pragma once

#include <time.h>
#include <cstddef>
#include <cstdint>
#include <string>

#include "app/counters_layout.h"

// ---- writer side (the bridge's relay thread) ------------------------------------------------------

// The counters live in process memory (gCounterBase) and every store goes to the file's cell too
// (gCounterFileBase), so that a reader sees each value as it is written and a file truncated or
// removed by an operator loses nothing: the tick writes it again from memory. Neither is ever null:
// without a file the second points at a scratch block, so the hot path needs no test.
extern int64_t* gCounterBase;
extern int64_t* gCounterFileBase;
constexpr size_t kCounterStride = kCounterLineSize / sizeof(int64_t);

// One cell of the counters block (a counter's line, or a histogram cell): in process memory and in
// the file. Single writer: a load and a store each, no locked instruction.
inline void CellSet(size_t cell, int64_t value) {
    __atomic_store_n(&gCounterBase[cell], value, __ATOMIC_RELAXED);
    __atomic_store_n(&gCounterFileBase[cell], value, __ATOMIC_RELAXED);
}
inline void CellAdd(size_t cell, int64_t n) {
    CellSet(cell, __atomic_load_n(&gCounterBase[cell], __ATOMIC_RELAXED) + n);
}

inline int64_t& CounterCell(CounterId id) {
    return gCounterBase[static_cast<size_t>(id) * kCounterStride];
}
inline void CounterSet(CounterId id, int64_t value) {
    CellSet(static_cast<size_t>(id) * kCounterStride, value);
}
// `n` lets a batched path count at once.
inline void CounterAdd(CounterId id, int64_t n = 1) {
    CellAdd(static_cast<size_t>(id) * kCounterStride, n);
}
inline int64_t CounterValue(CounterId id) {
    return __atomic_load_n(&CounterCell(id), __ATOMIC_RELAXED);
}

// The histogram's cells follow the counter lines: kServiceBuckets bucket counts, the sum, the count.
constexpr size_t kHistogramCell = kCounterSlots * kCounterStride;
constexpr size_t kHistogramSumCell = kHistogramCell + kServiceBuckets;
constexpr size_t kHistogramCountCell = kHistogramSumCell + 1;
// The wire-latency histogram lies behind the bounds and the metadata (cells between are never written).
constexpr size_t kWireHistogramCell =
    (kCountersWireHistogramOffset - kCountersValuesOffset) / sizeof(int64_t);
constexpr size_t kWireHistogramSumCell = kWireHistogramCell + kServiceBuckets;
constexpr size_t kWireHistogramCountCell = kWireHistogramSumCell + 1;
constexpr size_t kCounterCells = kWireHistogramCell + kHistogramBytes / sizeof(int64_t);
static_assert(kCountersValuesOffset + kCounterCells * sizeof(int64_t) == kCountersFileSize,
              "the cells end with the file");

// Counts one service time: three cells, each a load and relaxed stores (single writer).
inline void CountServiceTime(int64_t ns) {
    CellAdd(kHistogramCell + static_cast<size_t>(ServiceBucket(ns)), 1);
    CellAdd(kHistogramSumCell, ns);
    CellAdd(kHistogramCountCell, 1);
}

// Counts one wire latency (from the kernel's arrival stamp to the send's return), and the longest.
inline void CountWireLatency(int64_t ns) {
    ns = ns < 0 ? 0 : ns;  // the wall clock stepped back meanwhile
    CellAdd(kWireHistogramCell + static_cast<size_t>(ServiceBucket(ns)), 1);
    CellAdd(kWireHistogramSumCell, ns);
    CellAdd(kWireHistogramCountCell, 1);
    if (ns > CounterValue(kCounterMaxWireNs)) {
        CounterSet(kCounterMaxWireNs, ns);
    }
}

// CLOCK_REALTIME in nanoseconds, the clock of the kernel's arrival stamps; through the vDSO too.
inline int64_t CountersWallClock() {
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// CLOCK_MONOTONIC in nanoseconds; read through the vDSO, no system call.
inline int64_t CountersClock() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Records which send path is in use (CountersSendPath); may be called before the file exists.
void CountersSetSendPath(uint8_t path);

// Creates and maps BcstBridge<instance>.counters in the working directory for this process, with the
// counters' current values. 0 on success; 1 with the log entry that says why in `*error`, and the
// bridge then counts in process memory only.
int CreateCountersFile(int16_t instance, const char* segment, uint8_t mode, std::string* error);

// The counters' chore in the loop's tick: the heartbeat, the tick's time `nowNs` (CLOCK_MONOTONIC),
// and a counters file that an operator truncated, replaced or removed written again from memory
// (app/mapped_file.h's keeper). Costs a stat. `*report` gets the one log entry to write about it, or
// is left empty.
void CountersTick(int64_t nowNs, std::string* report);

// Back to process memory, every counter zero (tests).
void ResetCounters();
