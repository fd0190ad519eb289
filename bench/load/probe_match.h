// Matching of a relay's output datagrams to the input frames they came from, for the latency probe.
// Every input frame i carries the tag i % cycle (load_gen --probe), and so does every output datagram
// made from it. Outputs arrive in the order of their inputs, so a tag names the first input at or after
// the last one seen whose index has that remainder: the pairing holds across any loss of fewer than
// `cycle` inputs in a row.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bcst {

// Distinct market-by-price frames load_gen cycles through: the tags run from 0 to kProbeCycle - 1.
constexpr uint32_t kProbeCycle = 500;

class ProbeMatch {
  public:
    explicit ProbeMatch(uint32_t cycle) : cycle_(cycle) {}

    // One output datagram with `tag`, stamped `arrival`; false (and nothing kept) for a tag out of range.
    bool Add(uint32_t tag, double arrival) {
        if (tag >= cycle_) {
            return false;
        }
        size_t input = current_ - current_ % cycle_ + tag;
        if (input < current_) {
            input += cycle_;
        }
        current_ = input;
        if (outputs_.size() <= input) {
            outputs_.resize(input + 1, 0);
            lastArrival_.resize(input + 1, 0);
        }
        ++outputs_[input];
        lastArrival_[input] = arrival > lastArrival_[input] ? arrival : lastArrival_[input];
        return true;
    }

    // Output datagrams seen for input `input`, and the arrival of the latest of them.
    int Outputs(size_t input) const { return input < outputs_.size() ? outputs_[input] : 0; }
    double LastArrival(size_t input) const { return input < lastArrival_.size() ? lastArrival_[input] : 0; }

  private:
    uint32_t cycle_;
    size_t current_ = 0;
    std::vector<int> outputs_;
    std::vector<double> lastArrival_;
};

}  // namespace bcst
