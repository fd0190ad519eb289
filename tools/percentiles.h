// Service-time and wire-latency percentiles from the counters file's histogram, between two snapshots
// (bcst-stat).
#pragma once

#include <cstdint>

#include "app/counters_reader.h"

// The service time below which `fraction` (0.5, 0.99, ...) of the times counted between two snapshots
// fell, as the upper bound of its bucket, never above `maxNs`; -1 when nothing was counted between
// them. `before` may be null: since the start. Both must come from the same writer.
int64_t ServicePercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, double fraction,
                            int64_t maxNs);
// The longest service time between two snapshots, likewise (the bound of the highest bucket counted,
// never above `maxNs`); -1 when nothing was counted.
int64_t ServiceMaxNs(const CountersSnapshot& now, const CountersSnapshot* before, int64_t maxNs);

// The same of the wire-latency histogram; -1 also for a file without one.
int64_t WirePercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, double fraction,
                         int64_t maxNs);
int64_t WireMaxNs(const CountersSnapshot& now, const CountersSnapshot* before, int64_t maxNs);
