// bcst-verify's work: an input capture run through the bridge's own intake, store, conversion and
// framing, and the datagrams that gives compared in order with a capture of what the bridge sent.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace bcst {

using DatagramBytes = std::vector<uint8_t>;

enum class VerifyMode { kRelay, kPassThrough };

// One datagram the bridge should have sent, with where it came from.
struct ExpectedDatagram {
    DatagramBytes bytes;
    int64_t input = -1;  // the input datagram that produced it
    // Per record slot: the instrument had no open/high/low or ticker record earlier in the input, so
    // the values the store gives it came from before the capture began.
    bool unseen[2] = {false, false};
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
// bridge, or in pass-through mode forwarded as one output frame. False with `*error` set when the
// run cannot be set up (its scratch directory for the bridge's log).
bool RunThroughBridge(const std::vector<DatagramBytes>& input, const std::string& segment, VerifyMode mode,
                      BridgeRun* run, std::string* error);

// A run of consecutive expected datagrams that were never captured: what a failover between two
// bridges, or a loss on the way, leaves.
struct Gap {
    int64_t firstExpected = 0;
    int64_t count = 0;
    int64_t firstInput = -1, lastInput = -1;  // the input datagrams they came from
};

struct Comparison {
    int64_t matched = 0;
    int64_t missing = 0;              // expected, never captured
    int64_t extra = 0;                // captured, never expected
    int64_t differing = 0;            // captured in place of an expected datagram, with other bytes
    int64_t unseen = 0;               // differing only in records of instruments the input had not yet seen
    std::vector<std::string> report;  // one line per difference, in capture order, at most the limit
    int64_t unreported = 0;           // differences beyond the limit
    std::vector<Gap> gaps;            // the missing datagrams as runs, in order
    bool Identical() const { return missing == 0 && extra == 0 && differing == 0 && unseen == 0; }
};

// Lines up `expected` with `captured` in order, allowing for datagrams lost or added on the way (a
// datagram found further on in the other sequence, at any distance, makes those skipped over missing
// or extra; the nearer of the two explanations wins), and
// names for each difference the message, the record slot, the field and both values.
Comparison CompareDatagrams(const std::vector<ExpectedDatagram>& expected,
                            const std::vector<DatagramBytes>& captured, int64_t reportLimit);

}  // namespace bcst
