// bcst-verify's work: an input capture run through the bridge's own intake, store, conversion and
// framing, and the datagrams that gives lined up by their records with a capture of what the bridge
// sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bcst {

using DatagramBytes = std::vector<uint8_t>;

enum class VerifyMode { kRelay, kPassThrough };

// The sources of a record's store values that the input may not have shown yet: open/high/low
// records give the open, high, low and closing prices (and the net change worked out from them),
// ticker records the last trade quantity.
enum UnseenSource : uint8_t { kUnseenOpenHighLow = 1, kUnseenTicker = 2 };

// One datagram the bridge should have sent, with where it came from.
struct ExpectedDatagram {
    DatagramBytes bytes;
    int64_t input = -1;  // the input datagram that produced it
    // Per record slot, the sources (UnseenSource bits) that had no record for the slot's instrument
    // earlier in the input (nor in the starting store): the values they gave the running bridge came
    // from before the capture began.
    uint8_t unseen[2] = {0, 0};
};

struct BridgeRun {
    std::vector<ExpectedDatagram> datagrams;
    std::vector<std::string> logEntries;  // what the bridge would have logged (a frame it refused)
};

// Where a run's instrument store is prepared: empty, as a fresh instance starts, or as a store file
// saved by a running bridge holds it (SetStartingStore), as an instance restarted that day starts.
void LoadStartingStore();
// Reads and checks a store file (BcstBridge<N>.store) to start every run from. False with `*error`.
bool SetStartingStore(const std::string& path, std::string* error);

// Runs `input` through the bridge's own code as an instance of `segment` in `mode` would: each
// datagram as the relay loop receives it (cut to the receive buffer), converted and framed by the
// bridge, or in pass-through mode forwarded as one output frame. Writes no file and changes no
// process setting; always true (`error` is kept for callers that may one day need it).
bool RunThroughBridge(const std::vector<DatagramBytes>& input, const std::string& segment, VerifyMode mode,
                      BridgeRun* run, std::string* error);

// A run of consecutive expected datagrams that were never captured: what a failover between two
// bridges, or a loss on the way, leaves.
struct Gap {
    int64_t firstExpected = 0;
    int64_t count = 0;
    int64_t firstInput = -1, lastInput = -1;  // the input datagrams they came from
};

// A captured datagram lined up with an expected one and identical to it.
struct MatchedPair {
    int64_t expected = 0;
    int64_t captured = 0;
};

// Every expected datagram is counted once as matched, differing, unseen, missing or expectedBefore;
// every captured one as matched, differing, unseen, extra, duplicates or capturedBefore. Reordered
// datagrams are among the matched, differing or unseen ones.
struct Comparison {
    int64_t matched = 0;
    int64_t missing = 0;              // expected, never captured
    int64_t extra = 0;                // captured, never expected
    int64_t differing = 0;            // captured in place of an expected datagram, with other bytes
    int64_t unseen = 0;               // differing only in values whose source the input had not yet shown
    int64_t reordered = 0;            // lined up, but captured out of the order they were expected in
    int64_t duplicates = 0;           // captured again, byte for byte, after a datagram that lined up
    int64_t capturedBefore = 0;       // captured before the first one the input accounts for
    int64_t expectedBefore = 0;       // expected before the first one the output capture holds
    std::vector<std::string> report;  // one line per difference, in capture order, at most the limit
    int64_t unreported = 0;           // differences beyond the limit
    std::vector<Gap> gaps;            // the missing datagrams as runs, in order
    std::vector<MatchedPair> pairs;   // the matched ones (reordered ones among them), in no set order
    bool Identical() const {
        return missing == 0 && extra == 0 && differing == 0 && unseen == 0 && reordered == 0 &&
               duplicates == 0;
    }
    // Nothing differs but values whose source the input had not yet shown (a capture begun mid-stream).
    bool OnlyUnseen() const {
        return unseen > 0 && missing == 0 && extra == 0 && differing == 0 && reordered == 0 &&
               duplicates == 0;
    }
};

// Lines up `expected` with `captured` by content: a datagram's records (the token and every field the
// feed gives; not the values the store gives) find their place at any distance, so that captures
// begun at different moments, lost or added datagrams, reordering and duplicates each show as what
// they are. Names for each difference the message, the record slot, the field and both values.
Comparison CompareDatagrams(const std::vector<ExpectedDatagram>& expected,
                            const std::vector<DatagramBytes>& captured, int64_t reportLimit);

// One matched datagram's latency: its capture time minus that of the input datagram it came from.
struct LatencySample {
    int64_t micros = 0;
    int64_t input = 0;     // the input datagram
    int64_t captured = 0;  // the captured (output) datagram
};

// Percentiles by nearest rank: of N latencies sorted ascending, the p-th percentile is the one at
// rank ceil(p / 100 * N) (counting from 1), an observed value, never one interpolated between two.
struct LatencySummary {
    int64_t count = 0;
    int64_t negative = 0;  // output captured before its input: the captures do not share a clock
    int64_t p50 = 0, p90 = 0, p99 = 0, p999 = 0, max = 0;
    std::vector<LatencySample> worst;  // the largest first, at most kLatencyWorst; ties by captured datagram
};
constexpr size_t kLatencyWorst = 5;

LatencySummary SummarizeLatency(std::vector<LatencySample> samples);

}  // namespace bcst
