// store_memory: what the instrument store costs per instrument. Feeds open/high/low records of
// distinct random tokens (as a hostile or runaway feed would) through the store's own update path
// and prints the process's resident memory after each step.
//
//   store_memory [MILLIONS_OF_TOKENS...]        (default: 0.1 1 2 5)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <vector>

#include "feed/store.h"

namespace {

long ResidentKiB() {
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return -1;
    }
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "VmRSS:", 6) == 0) {
            kib = atol(line + 6);
        }
    }
    fclose(status);
    return kib;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> steps;
    for (int i = 1; i < argc; ++i) {
        steps.push_back(atof(argv[i]));
    }
    if (steps.empty()) {
        steps = {0.1, 1, 2, 5};
    }
    constexpr int kRecords = 200;  // one decoded frame's worth of 28-byte records
    std::vector<NEW_MKT_OHL_DATA> frame(kRecords);
    std::mt19937 random(20240305);
    const long before = ResidentKiB();
    printf("resident before: %ld KiB\n", before);
    for (double millions : steps) {
        const size_t target = static_cast<size_t>(millions * 1e6);
        while (gOHLMapData.size() < target) {
            for (int i = 0; i < kRecords; ++i) {
                frame[i] = NEW_MKT_OHL_DATA{static_cast<int32_t>(random()), 100, 110, 90, 105, 0, 0};
            }
            ProcessOHLData(reinterpret_cast<char*>(frame.data()), kRecords);
        }
        const long now = ResidentKiB();
        printf("tokens=%zu resident_kib=%ld bytes_per_token=%.1f\n", gOHLMapData.size(), now,
               static_cast<double>(now - before) * 1024.0 / static_cast<double>(gOHLMapData.size()));
    }
    return 0;
}
