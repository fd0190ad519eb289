// store_memory: what the instrument store costs per instrument, how long its growth may hold up a
// frame, and how long a restart takes to read it back. Feeds open/high/low frames of 200 distinct
// random tokens (as a runaway feed, or the first minutes of a large derivatives universe, would)
// through the store's own update path, written through to a store file in a scratch directory, and
// prints after each step the process's resident memory (its own and the store file's pages), the
// file's size, and the longest single frame so far. Then it reads the file back as a restarted
// bridge does and prints how long that took.
//
//   store_memory [MILLIONS_OF_TOKENS...]        (default: 0.05 0.1 1 2)
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <vector>

#include "app/log.h"
#include "feed/store.h"
#include "feed/store_file.h"

namespace {

// Resident KiB of the process's own memory (RssAnon) and of mapped files (RssFile).
void ResidentKiB(long* anonymous, long* file) {
    *anonymous = *file = -1;
    FILE* status = fopen("/proc/self/status", "r");
    if (status == nullptr) {
        return;
    }
    char line[256];
    while (fgets(line, sizeof line, status) != nullptr) {
        if (strncmp(line, "RssAnon:", 8) == 0) {
            *anonymous = atol(line + 8);
        } else if (strncmp(line, "RssFile:", 8) == 0) {
            *file = atol(line + 8);
        }
    }
    fclose(status);
}

double Now() {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<double> steps;
    for (int i = 1; i < argc; ++i) {
        steps.push_back(atof(argv[i]));
    }
    if (steps.empty()) {
        steps = {0.05, 0.1, 1, 2};
    }
    char scratch[] = "/tmp/bcst-storemem-XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
        perror("store_memory: scratch directory");
        return 1;
    }
    gshRunningInstanceNo = 1;
    std::string refusal;
    LockInstrumentStore(1, &refusal);
    RestoreInstrumentStore(1, LogClockDate());

    constexpr int kRecords = 200;
    std::vector<NEW_MKT_OHL_DATA> frame(kRecords);
    std::mt19937 random(20240305);
    long anonBefore, fileBefore;
    ResidentKiB(&anonBefore, &fileBefore);
    printf("resident before: own %ld KiB, files %ld KiB\n", anonBefore, fileBefore);
    double longest = 0;
    double lastTick = Now();
    for (double millions : steps) {
        const size_t target = static_cast<size_t>(millions * 1e6);
        while (gOHLMapData.size() < target) {
            for (int i = 0; i < kRecords; ++i) {
                frame[i] = NEW_MKT_OHL_DATA{static_cast<int32_t>(random()), 100, 110, 90, 105, 0, 0};
            }
            const double start = Now();
            ProcessOHLData(reinterpret_cast<char*>(frame.data()), kRecords);
            const double took = Now() - start;
            longest = took > longest ? took : longest;
            if (start - lastTick >= 0.1) {  // the relay loop's tick, between frames
                lastTick = start;
                StoreTick(static_cast<int64_t>(start * 1e9), LogClockDate());
            }
        }
        StoreTick(static_cast<int64_t>(Now() * 1e9), LogClockDate());
        long anon, file;
        ResidentKiB(&anon, &file);
        struct stat status;
        stat(StoreFileName(1).c_str(), &status);
        const double n = static_cast<double>(gOHLMapData.size());
        printf(
            "tokens=%zu own_bytes_per_token=%.1f file_pages_bytes_per_token=%.1f file_bytes_per_token=%.1f "
            "disk_bytes_per_token=%.1f longest_frame_us=%.0f\n",
            gOHLMapData.size(), static_cast<double>(anon - anonBefore) * 1024.0 / n,
            static_cast<double>(file - fileBefore) * 1024.0 / n, static_cast<double>(status.st_size) / n,
            static_cast<double>(status.st_blocks) * 512.0 / n, longest * 1e6);
        longest = 0;
    }

    // A restart: the file read back into an empty store.
    const size_t held = gOHLMapData.size();
    ResetInstrumentStore();  // detaches the file and releases its lock
    const double start = Now();
    LockInstrumentStore(1, &refusal);
    RestoreInstrumentStore(1, LogClockDate());
    const double took = Now() - start;
    printf("restore: %zu of %zu instruments in %.1f ms\n", gOHLMapData.size(), held, took * 1e3);
    ResetInstrumentStore();
    if (chdir("/") == 0) {
        const std::string cleanup = std::string("rm -rf ") + scratch;
        if (system(cleanup.c_str()) != 0) {
            fprintf(stderr, "store_memory: %s left behind\n", scratch);
        }
    }
    return gOHLMapData.size() == 0 && held > 0 ? 0 : 1;
}
