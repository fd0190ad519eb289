// Service-time and wire-latency percentiles between two snapshots of a counters file.
#include "tools/percentiles.h"

#include <algorithm>
#include <cmath>

namespace {

// The counts of each bucket of one histogram (the service time's, or the wire latency's) between two
// snapshots, and their total.
int64_t CountsBetween(const CountersSnapshot& now, const CountersSnapshot* before, bool wire,
                      int64_t* counts) {
    if (wire && !now.wireHistogram) {
        return 0;
    }
    const int64_t* nowBuckets = wire ? now.wireBuckets : now.buckets;
    const bool earlier = before != nullptr && (!wire || before->wireHistogram);
    const int64_t* beforeBuckets = !earlier ? nullptr : wire ? before->wireBuckets : before->buckets;
    int64_t total = 0;
    for (int i = 0; i < now.histogramBuckets; ++i) {
        counts[i] = nowBuckets[i] - (earlier && i < before->histogramBuckets ? beforeBuckets[i] : 0);
        counts[i] = counts[i] < 0 ? 0 : counts[i];
        total += counts[i];
    }
    return total;
}

int64_t BoundAtMost(const CountersSnapshot& s, int bucket, int64_t maxNs) {
    return std::min(s.boundsNs[bucket], maxNs);
}

int64_t PercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, bool wire, double fraction,
                     int64_t maxNs) {
    int64_t counts[kServiceBuckets];
    const int64_t total = CountsBetween(now, before, wire, counts);
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

int64_t MaxNs(const CountersSnapshot& now, const CountersSnapshot* before, bool wire, int64_t maxNs) {
    int64_t counts[kServiceBuckets];
    if (CountsBetween(now, before, wire, counts) == 0) {
        return -1;
    }
    int highest = now.histogramBuckets - 1;
    while (counts[highest] == 0) {
        --highest;
    }
    return BoundAtMost(now, highest, maxNs);
}

}  // namespace

int64_t ServicePercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, double fraction,
                            int64_t maxNs) {
    return PercentileNs(now, before, false, fraction, maxNs);
}

int64_t ServiceMaxNs(const CountersSnapshot& now, const CountersSnapshot* before, int64_t maxNs) {
    return MaxNs(now, before, false, maxNs);
}

int64_t WirePercentileNs(const CountersSnapshot& now, const CountersSnapshot* before, double fraction,
                         int64_t maxNs) {
    return PercentileNs(now, before, true, fraction, maxNs);
}

int64_t WireMaxNs(const CountersSnapshot& now, const CountersSnapshot* before, int64_t maxNs) {
    return MaxNs(now, before, true, maxNs);
}
