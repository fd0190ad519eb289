// frame_path: runs prepared 42-record market-by-price frames through ProcessNewMktData, the relay step's
// intake-to-send path of relay mode, with the store already holding every instrument. Under
// `valgrind --tool=callgrind --instr-atstart=no` only the measured pass is counted (see
// callgrind-frame.sh); run natively it prints the time per frame.
//
//   frame_path [--frames N] [--rounds R] [--segment CM|FO] [--send socket|capture]
//              [--group 239.40.x.y] [--port P] [--instruments N] [--spread walk|random]
//              [--service none|max|histogram|compare]
//
// --instruments sets how many instruments the store holds (1,800 by default); --spread random draws
// each frame's records at random from all of them instead of walking through them in token order, so
// that lookups land all over a large store as on a busy derivatives feed.
// --send socket (default) sends every datagram through the real sending socket to a loopback group
// that nobody joins; --send capture converts each frame into its output batch (the relay step's
// ConvertNewMktData) and sends nothing, leaving the system calls and the counting out.
// --service adds the relay loop's service-time bookkeeping around each frame: none (default), max (the
// clock readings and the longest time only), histogram (as the loop does it: the longest time and the
// histogram's buckets), or compare: rounds of max and histogram taken in turn, each timed on its own,
// with their ratio.
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <string>
#include <utility>
#include <vector>

#if __has_include(<valgrind/callgrind.h>)
#include <valgrind/callgrind.h>
#else
#define CALLGRIND_START_INSTRUMENTATION
#define CALLGRIND_STOP_INSTRUMENTATION
#endif

#include "app/counters.h"
#include "app/log.h"
#include "app/relay.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "feed_frames.h"
#include "net/multicast.h"

namespace {

struct Options {
    int frames = 500;
    int rounds = 4;
    std::string segment = "CM";
    bool socket = true;
    std::string group = "239.40.255.1";
    int port = 40999;
    int instruments = 1800;
    bool random = false;
    std::string service = "none";
};

enum class Service { kNone, kMax, kHistogram };

// --send capture: the batches stay here, and the frames and datagrams are counted by the driver.
bool gCapture = false;
int64_t gCapturedFrames = 0;
int64_t gCapturedDatagrams = 0;
alignas(64) char gDecoded[kDecompressBufferSize];
OutputBatch gBatch;

// Each frame sits at the start of its own zeroed receive-sized buffer, as the relay loop hands it over.
using ReceiveArea = std::vector<char>;
ReceiveArea InReceiveArea(const bcst::Bytes& frame) {
    ReceiveArea area(kReceiveBufferSize, 0);
    memcpy(area.data(), frame.data(), frame.size());
    return area;
}

double Seconds(clockid_t clock) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

inline void HandleFrame(ReceiveArea& frame) {
    if (!gCapture) {
        ProcessNewMktData(frame.data());
        return;
    }
    const FrameClass c =
        ConvertNewMktData(frame.data(), kReceiveBufferSize, OutputSegment(), gDecoded, &gBatch);
    gCapturedFrames += c.verdict == FrameVerdict::kAccepted && c.type == kMessageTypeMbp ? 1 : 0;
    gCapturedDatagrams += gBatch.count;
}

// The measured pass; kept out of line so that profiles show it as one root.
__attribute__((noinline)) void RunFrames(std::vector<ReceiveArea>& frames, int rounds,
                                         Service service = Service::kNone) {
    for (int r = 0; r < rounds; ++r) {
        for (ReceiveArea& frame : frames) {
            if (service == Service::kNone) {
                HandleFrame(frame);
                continue;
            }
            // The bookkeeping before the histogram (max): two clock readings and the longest time.
            const int64_t receivedNs = CountersClock();
            HandleFrame(frame);
            const int64_t took = CountersClock() - receivedNs;
            if (took > CounterValue(kCounterMaxServiceNs)) {
                CounterSet(kCounterMaxServiceNs, took);
            }
            if (service == Service::kHistogram) {
                CountServiceTime(took);
            }
        }
    }
}

Service ServiceOf(const std::string& name) {
    return name == "max" ? Service::kMax : name == "histogram" ? Service::kHistogram : Service::kNone;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    // Every option takes a value: step over both.
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (value == nullptr) {
            return false;
        }
        if (arg == "--frames") {
            o->frames = atoi(value);
        } else if (arg == "--rounds") {
            o->rounds = atoi(value);
        } else if (arg == "--segment") {
            o->segment = value;
        } else if (arg == "--send") {
            o->socket = std::string(value) != "capture";
        } else if (arg == "--group") {
            o->group = value;
        } else if (arg == "--port") {
            o->port = atoi(value);
        } else if (arg == "--instruments") {
            o->instruments = atoi(value);
        } else if (arg == "--spread") {
            o->random = std::string(value) == "random";
        } else if (arg == "--service") {
            o->service = value;
        } else {
            return false;
        }
    }
    return o->frames > 0 && o->rounds > 0 && o->instruments >= bcst::kMaxMbpRecords &&
           o->segment.size() < sizeof gsBcastParam.MARKET_SEGMENT &&
           (o->service == "none" || o->service == "max" || o->service == "histogram" ||
            o->service == "compare");
}

// Set-up logs into the working directory: keep it in a directory of its own and remove it after.
std::string EnterScratchDirectory() {
    char pattern[] = "/tmp/bcst-framepath-XXXXXX";
    if (mkdtemp(pattern) == nullptr || chdir(pattern) != 0) {
        return "";
    }
    return pattern;
}

void RemoveScratchDirectory(const std::string& path) {
    if (path.empty()) {
        return;
    }
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] != '.') {
                unlink((path + "/" + entry->d_name).c_str());
            }
        }
        closedir(dir);
    }
    if (chdir("/") == 0) {
        rmdir(path.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!ParseOptions(argc, argv, &options)) {
        fprintf(stderr,
                "usage: %s [--frames N] [--rounds R] [--segment CM|FO] [--send socket|capture] "
                "[--group 239.40.x.y] [--port P] [--instruments N] [--spread walk|random] "
                "[--service none|max|histogram|compare]\n",
                argv[0]);
        return 2;
    }
    const std::string scratch = EnterScratchDirectory();
    gshRunningInstanceNo = 1;
    snprintf(gsBcastParam.MARKET_SEGMENT, sizeof gsBcastParam.MARKET_SEGMENT, "%s", options.segment.c_str());
    snprintf(gsBcastParam.SEND_MULTICAST_ADDR, sizeof gsBcastParam.SEND_MULTICAST_ADDR, "%s",
             options.group.c_str());
    snprintf(gsBcastParam.LOCAL_IP_TO_VELT, sizeof gsBcastParam.LOCAL_IP_TO_VELT, "127.0.0.1");
    gsBcastParam.SEND_MULTICAST_PORT = static_cast<int16_t>(htons(static_cast<uint16_t>(options.port)));
    gsBcastParam.NEW_MKT_DATA_FLAG = 1;
    ChooseOutputSegment(gsBcastParam.MARKET_SEGMENT);
    if (options.socket) {
        if (InitializeSendSocket() != 0) {
            fprintf(stderr, "frame_path: %s\n", gcaLogMessage);
            RemoveScratchDirectory(scratch);
            return 1;
        }
    } else {
        gCapture = true;
    }

    bcst::Universe universe = bcst::MakeUniverse(options.instruments, 20240305);
    std::vector<ReceiveArea> store;
    for (const bcst::Bytes& frame : bcst::MakeStoreFrames(universe, 1)) {
        store.push_back(InReceiveArea(frame));
    }
    if (options.random) {
        // Instruments in random order: consecutive records of a frame are unrelated instruments.
        std::mt19937 shuffle(77);
        for (size_t i = universe.tokens.size() - 1; i > 0; --i) {
            const size_t j = std::uniform_int_distribution<size_t>(0, i)(shuffle);
            std::swap(universe.tokens[i], universe.tokens[j]);
            std::swap(universe.basePrices[i], universe.basePrices[j]);
        }
    }
    std::vector<ReceiveArea> frames;
    size_t compressed = 0;
    int skipped = 0;
    for (const bcst::Bytes& frame : bcst::MakeMbpFrames(universe, options.frames, 1)) {
        if (frame.empty()) {
            // Records of unrelated instruments compress less; a frame too large for one datagram
            // would never be sent by an exchange, so it is left out.
            ++skipped;
            continue;
        }
        compressed += frame.size() - 6;
        frames.push_back(InReceiveArea(frame));
    }
    if (frames.empty()) {
        fprintf(stderr, "frame_path: no frame compressed into one datagram\n");
        RemoveScratchDirectory(scratch);
        return 1;
    }

    // Every instrument into the store, then one unmeasured pass so that nothing is first-time.
    RunFrames(store, 1);
    RunFrames(frames, 1);
    const long instruments = static_cast<long>(gOHLMapData.size());

    const int64_t receivedBefore = gCapture ? gCapturedFrames : glReceivedPktCount.load();
    const int64_t sentBefore = gCapture ? gCapturedDatagrams : glSentPktCount.load();
    const double wallStart = Seconds(CLOCK_MONOTONIC);
    const double cpuStart = Seconds(CLOCK_THREAD_CPUTIME_ID);
    double cpuOf[2] = {0, 0};  // compare: max, histogram
    CALLGRIND_START_INSTRUMENTATION;
    if (options.service == "compare") {
        // Turn about, so that both see the same machine: a noisy neighbour costs both alike.
        for (int r = 0; r < options.rounds; ++r) {
            for (const int which : {r % 2, 1 - r % 2}) {
                const double start = Seconds(CLOCK_THREAD_CPUTIME_ID);
                RunFrames(frames, 1, which == 0 ? Service::kMax : Service::kHistogram);
                cpuOf[which] += Seconds(CLOCK_THREAD_CPUTIME_ID) - start;
            }
        }
    } else {
        RunFrames(frames, options.rounds, ServiceOf(options.service));
    }
    CALLGRIND_STOP_INSTRUMENTATION;
    const double cpu = Seconds(CLOCK_THREAD_CPUTIME_ID) - cpuStart;
    const double wall = Seconds(CLOCK_MONOTONIC) - wallStart;

    const long measured =
        static_cast<long>(frames.size()) * options.rounds * (options.service == "compare" ? 2 : 1);
    const int64_t accepted = (gCapture ? gCapturedFrames : glReceivedPktCount.load()) - receivedBefore;
    const int64_t sent = (gCapture ? gCapturedDatagrams : glSentPktCount.load()) - sentBefore;
    printf("measured_frames=%ld records_per_frame=%d instruments_in_store=%ld segment=%s send=%s\n", measured,
           bcst::kMaxMbpRecords, instruments, options.segment.c_str(), options.socket ? "socket" : "capture");
    printf("frames_left_out_too_large=%d\n", skipped);
    printf("mean_compressed_bytes=%zu accepted=%lld datagrams=%lld datagrams_per_frame=%.2f\n",
           compressed / frames.size(), static_cast<long long>(accepted), static_cast<long long>(sent),
           static_cast<double>(sent) / static_cast<double>(measured));
    printf("cpu_ns_per_frame=%.0f wall_ns_per_frame=%.0f\n", cpu * 1e9 / static_cast<double>(measured),
           wall * 1e9 / static_cast<double>(measured));
    if (options.service == "compare") {
        const double each = static_cast<double>(measured / 2);
        printf(
            "service=max cpu_ns_per_frame=%.0f\nservice=histogram cpu_ns_per_frame=%.0f\n"
            "histogram_to_max_ratio=%.4f\n",
            cpuOf[0] * 1e9 / each, cpuOf[1] * 1e9 / each, cpuOf[0] > 0 ? cpuOf[1] / cpuOf[0] : 0.0);
    }
    RemoveScratchDirectory(scratch);
    // Every frame must have been accepted and sent whole, or the figures mean nothing.
    const bool whole = accepted == measured && sent == measured * ((bcst::kMaxMbpRecords + 1) / 2);
    if (!whole) {
        fprintf(stderr, "frame_path: expected %ld accepted frames and %ld datagrams\n", measured,
                measured * ((bcst::kMaxMbpRecords + 1) / 2));
    }
    return whole ? 0 : 1;
}
