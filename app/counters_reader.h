// Reading a counters file (bcst-stat, monitoring, tests): the file checked against its layout and
// copied out.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "app/counters_layout.h"

// The loop ticks at least once a second, traffic or not; a running bridge whose heartbeat is older
// than this is stuck (stopped, wedged, or spinning inside a call), not idle.
constexpr int64_t kCountersStalledAfterNs = 2000000000;

// What a reader copied out of a file: the header, every counter the file has (up to kCounterSlots)
// with its metadata, and the histogram with its bounds.
struct CountersSnapshot {
    BCST_COUNTERS_HEADER header;
    int counterCount;               // in the file; ids at or above it are absent (an older bridge)
    int64_t values[kCounterSlots];  // absent ones are 0
    BCST_COUNTER_METADATA metadata[kCounterSlots];
    int histogramBuckets;               // 0 when the file has no histogram
    int64_t boundsNs[kServiceBuckets];  // the last bucket's is INT64_MAX
    int64_t buckets[kServiceBuckets];
    int64_t histogramSumNs;
    int64_t histogramCount;
    // The wire latency, on the same bounds; all 0 and `wireHistogram` false for a file without one.
    bool wireHistogram;
    int64_t wireBuckets[kServiceBuckets];
    int64_t wireSumNs;
    int64_t wireCount;
};

// Validates an image of a counters file (magic, version, sizes, every offset) and copies it out with
// atomic loads. 0 on success; 1 with a one-line reason in `*error`, and in `*reason` (when given) the
// same in one word for a label: "missing", "unreadable", "truncated", "foreign", "version", "corrupt".
int ReadCountersImage(const unsigned char* image, size_t size, CountersSnapshot* out, std::string* error,
                      const char** reason = nullptr);
// The same for a file, read with one pread (a file cut short meanwhile cannot fault the reader). 1 with
// a reason when it cannot be read.
int ReadCountersFile(const std::string& path, CountersSnapshot* out, std::string* error,
                     const char** reason = nullptr);

// The value of `id` in a snapshot, 0 when the file does not have it.
inline int64_t SnapshotValue(const CountersSnapshot& s, int id) {
    return id < s.counterCount ? s.values[id] : 0;
}
