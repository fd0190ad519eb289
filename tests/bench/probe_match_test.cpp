// The latency probe's pairing of output datagrams with the input frames they came from.
#include "bench/load/probe_match.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct PairingCase {
    const char* name;
    std::vector<uint32_t> tags;    // of the outputs, in arrival order; cycle 4
    std::vector<int> outputsSeen;  // per input 0, 1, ...
};

TEST(ProbeMatch, NamesTheInputOfEveryOutput) {
    const PairingCase cases[] = {
        {"nothing lost", {0, 0, 1, 1, 2, 2}, {2, 2, 2}},
        {"an input lost whole", {0, 0, 2, 2}, {2, 0, 2}},
        {"the first inputs lost", {2, 2, 3}, {0, 0, 2, 1}},
        {"past the end of the cycle", {3, 3, 0, 0, 1}, {0, 0, 0, 2, 2, 1}},
        {"a loss across the end of the cycle", {2, 1, 1}, {0, 0, 1, 0, 0, 2}},
        {"a tag out of range is refused", {0, 4, 0}, {2}},
    };
    for (const PairingCase& c : cases) {
        bcst::ProbeMatch match(4);
        for (uint32_t tag : c.tags) {
            EXPECT_EQ(match.Add(tag, 1.0), tag < 4) << c.name;
        }
        for (size_t i = 0; i < c.outputsSeen.size() + 1; ++i) {
            EXPECT_EQ(match.Outputs(i), i < c.outputsSeen.size() ? c.outputsSeen[i] : 0)
                << c.name << " input " << i;
        }
    }
}

TEST(ProbeMatch, AnInputArrivesWithItsLatestOutput) {
    bcst::ProbeMatch match(4);
    match.Add(0, 2.5);
    match.Add(0, 3.5);
    match.Add(0, 3.0);
    EXPECT_EQ(match.LastArrival(0), 3.5);
}

}  // namespace
