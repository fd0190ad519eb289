// load_gen: the exchange side of the load benchmark. Sends 42-record market-by-price frames
// (LZ4-compressed) with open/high/low and ticker store updates mixed in, on loopback multicast, at a
// fixed rate or flat out, for a bounded time.
//
//   load_gen --group 239.40.x.y --port P [--rate FRAMES_PER_S | --rate 0 (flat out)] [--seconds S]
//            [--instruments N] [--update-every K] [--store-only] [--plain BYTES] [--stamps FILE]
//            [--refused-per-frame F]
//
// --store-only sends, at a gentle pace, the open/high/low and ticker frames that put every instrument
// into the store, and nothing else. Otherwise one store-update frame follows every K market-by-price
// frames (K = 10 by default). --plain sends datagrams of that many bytes instead of frames and no
// updates (for pass-through). --stamps writes the CLOCK_MONOTONIC send time of every market-by-price
// frame (or plain datagram) to FILE, one binary double each, for the sink's latency figures.
// --refused-per-frame sends F frames cut short in transit (the first half of a market-by-price frame,
// which the bridge refuses and logs) after every market-by-price frame. Prints what it sent as
// key=value pairs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "feed_frames.h"
#include "tools/udp.h"

namespace {

struct Options {
    std::string group;
    int port = 0;
    double rate = 10000;  // market-by-price frames per second; 0 sends flat out
    double seconds = 3;
    int instruments = 1800;
    int updateEvery = 10;
    bool storeOnly = false;
    int plain = 0;
    int refusedPerFrame = 0;
    std::string stamps;
};

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--store-only") {
            o->storeOnly = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[++i];
        if (arg == "--group") {
            o->group = value;
        } else if (arg == "--port") {
            o->port = atoi(value);
        } else if (arg == "--rate") {
            o->rate = atof(value);
        } else if (arg == "--seconds") {
            o->seconds = atof(value);
        } else if (arg == "--instruments") {
            o->instruments = atoi(value);
        } else if (arg == "--update-every") {
            o->updateEvery = atoi(value);
        } else if (arg == "--refused-per-frame") {
            o->refusedPerFrame = atoi(value);
        } else if (arg == "--plain") {
            o->plain = atoi(value);
        } else if (arg == "--stamps") {
            o->stamps = value;
        } else {
            return false;
        }
    }
    // Loopback multicast in the 239/8 administrative range only.
    return o->group.rfind("239.", 0) == 0 && o->port > 0 && o->port < 65536 && o->rate >= 0 &&
           o->seconds > 0 && o->seconds <= 60 && o->instruments > 0 && o->updateEvery > 0 && o->plain >= 0 &&
           o->plain <= 2500 && o->refusedPerFrame >= 0;
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepUntil(double when) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(when);
    ts.tv_nsec = static_cast<long>((when - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

class Sender {
  public:
    // Loopback only, never routed: the tools' sender with a TTL of 1.
    Sender(const std::string& group, int port) {
        fd_ = bcst::OpenMulticastSender("127.0.0.1", 1, &error_);
        to_.sin_family = AF_INET;
        to_.sin_port = htons(static_cast<uint16_t>(port));
        to_.sin_addr.s_addr = inet_addr(group.c_str());
    }
    ~Sender() { close(fd_); }
    bool Send(const bcst::Bytes& datagram) {
        return sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&to_),
                      sizeof to_) == static_cast<ssize_t>(datagram.size());
    }
    // `count` copies of one datagram in one sendmmsg (at most 64): how many left.
    int SendCopies(const bcst::Bytes& datagram, int count) {
        iovec data = {const_cast<uint8_t*>(datagram.data()), datagram.size()};
        mmsghdr messages[64] = {};
        count = count < 64 ? count : 64;
        for (int i = 0; i < count; ++i) {
            messages[i].msg_hdr.msg_name = &to_;
            messages[i].msg_hdr.msg_namelen = sizeof to_;
            messages[i].msg_hdr.msg_iov = &data;
            messages[i].msg_hdr.msg_iovlen = 1;
        }
        const int sent = sendmmsg(fd_, messages, static_cast<unsigned>(count), 0);
        return sent > 0 ? sent : 0;
    }
    bool ok() const { return fd_ >= 0; }
    const std::string& error() const { return error_; }

  private:
    int fd_ = -1;
    std::string error_;
    sockaddr_in to_ = {};
};

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        fprintf(stderr,
                "usage: %s --group 239.x.y.z --port P [--rate R] [--seconds S] [--instruments N] "
                "[--update-every K] [--store-only] [--plain BYTES] [--stamps FILE] [--refused-per-frame F]\n",
                argv[0]);
        return 2;
    }
    prctl(PR_SET_TIMERSLACK, 1UL);  // wake-ups to the microsecond, for an even rate
    Sender sender(options.group, options.port);
    if (!sender.ok()) {
        fprintf(stderr, "load_gen: %s\n", sender.error().c_str());
        return 1;
    }
    const bcst::Universe universe = bcst::MakeUniverse(options.instruments, 20240305);
    long failed = 0;

    if (options.storeOnly) {
        const std::vector<bcst::Bytes> store = bcst::MakeStoreFrames(universe, 0);
        for (const bcst::Bytes& frame : store) {
            failed += sender.Send(frame) ? 0 : 1;
            SleepUntil(Now() + 0.002);
        }
        printf("store_frames=%zu send_errors=%ld\n", store.size(), failed);
        return failed == 0 ? 0 : 1;
    }

    // A cycle of distinct frames, prepared before the clock starts; updates rotate through OHL and
    // ticker frames for every instrument.
    std::vector<bcst::Bytes> mbp;
    if (options.plain > 0) {
        mbp.assign(1, bcst::Bytes(static_cast<size_t>(options.plain), 0x5A));
        options.updateEvery = 1 << 30;
    } else {
        mbp = bcst::MakeMbpFrames(universe, 500, 1);
    }
    std::vector<bcst::Bytes> updates;
    for (uint32_t round = 1; round <= 3; ++round) {
        for (bcst::Bytes& frame : bcst::MakeStoreFrames(universe, round)) {
            updates.push_back(std::move(frame));
        }
    }
    for (const bcst::Bytes& frame : mbp) {
        if (frame.empty()) {
            fprintf(stderr, "load_gen: a frame did not compress into one datagram\n");
            return 1;
        }
    }

    bcst::Bytes refused = mbp[0];
    refused.resize(refused.size() / 2);

    long sentMbp = 0;
    long sentUpdates = 0;
    long sentRefused = 0;
    std::vector<double> stamps;
    stamps.reserve(options.rate > 0 ? static_cast<size_t>(options.rate * options.seconds) + 1 : 1 << 20);
    const double start = Now();
    const double end = start + options.seconds;
    const long total = options.rate > 0 ? static_cast<long>(options.rate * options.seconds) : -1;
    for (;;) {
        const double now = Now();
        if (now >= end || (total >= 0 && sentMbp >= total)) {
            break;
        }
        // Everything due by now goes out together; then sleep until the next frame is due.
        const long due =
            options.rate > 0 ? static_cast<long>((now - start) * options.rate) + 1 : sentMbp + 64;
        // Plain datagrams go out in batches, so that the generator can outrun a pass-through relay.
        while (options.plain > 0 && sentMbp < due && (total < 0 || sentMbp < total)) {
            const long batch = std::min(due - sentMbp, total < 0 ? 64L : std::min(64L, total - sentMbp));
            const double when = Now();
            const int sent = sender.SendCopies(mbp[0], static_cast<int>(batch));
            failed += batch - sent;
            for (long i = 0; i < batch && !options.stamps.empty(); ++i) {
                stamps.push_back(when);
            }
            sentMbp += batch;
        }
        while (sentMbp < due && (total < 0 || sentMbp < total)) {
            if (!options.stamps.empty()) {
                stamps.push_back(Now());
            }
            failed += sender.Send(mbp[static_cast<size_t>(sentMbp) % mbp.size()]) ? 0 : 1;
            ++sentMbp;
            for (int k = 0; k < options.refusedPerFrame; ++k) {
                failed += sender.Send(refused) ? 0 : 1;
                ++sentRefused;
            }
            if (sentMbp % options.updateEvery == 0) {
                failed += sender.Send(updates[static_cast<size_t>(sentUpdates) % updates.size()]) ? 0 : 1;
                ++sentUpdates;
            }
        }
        if (options.rate > 0) {
            SleepUntil(start + static_cast<double>(sentMbp) / options.rate);
        }
    }
    const double elapsed = Now() - start;
    if (!options.stamps.empty()) {
        FILE* out = fopen(options.stamps.c_str(), "wb");
        if (out == nullptr || fwrite(stamps.data(), sizeof(double), stamps.size(), out) != stamps.size()) {
            perror("load_gen: stamps");
            return 1;
        }
        fclose(out);
    }
    printf(
        "frames_in=%ld update_frames=%ld refused_frames=%ld send_errors=%ld seconds=%.3f "
        "achieved_rate=%.0f\n",
        sentMbp, sentUpdates, sentRefused, failed, elapsed, static_cast<double>(sentMbp) / elapsed);
    return 0;
}
