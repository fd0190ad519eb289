// load_gen: the exchange side of the load benchmark. Sends 42-record market-by-price frames
// (LZ4-compressed) with open/high/low and ticker store updates mixed in, on loopback multicast, at a
// fixed rate or flat out, for a bounded time.
//
//   load_gen --group 239.40.x.y --port P [--rate FRAMES_PER_S | --rate 0 (flat out)] [--seconds S]
//            [--instruments N] [--update-every K] [--store-only] [--plain BYTES] [--stamps FILE [--probe]]
//            [--refused-per-frame F] [--no-mbp] [--new-tokens-per-frame N [--first-token T]
//            [--new-token-rate R] [--new-token-frames F]]
//
// --store-only sends, at a gentle pace, the open/high/low and ticker frames that put every instrument
// into the store, and nothing else. Otherwise one store-update frame follows every K market-by-price
// frames (K = 10 by default). --plain sends datagrams of that many bytes instead of frames and no
// updates (for pass-through). --stamps writes the CLOCK_MONOTONIC send time of every market-by-price
// frame (or plain datagram) to FILE, one binary double each, for the sink's latency figures. The
// stamp is read just before the frame is handed to the kernel. --probe stamps on CLOCK_REALTIME
// instead, the clock of the kernel's receive stamps (load_sink --kernel-stamps), and tags every
// market-by-price frame with its place in the cycle of frames sent (feed_frames.h), so that the sink
// matches each output datagram to its input.
// --refused-per-frame sends F frames cut short in transit (the first half of a market-by-price frame,
// which the bridge refuses and logs) after every market-by-price frame.
// --new-tokens-per-frame sends, beside the market-by-price frames, open/high/low frames of N tokens
// each that no frame carried before (T, T+1, T+2, ... in increasing order; T = 1000000 by default,
// above the universe's tokens), R of them per second (1000 by default; 0 flat out, which needs
// --new-token-frames), at most F of them: every one makes the store take N new instruments.
// --no-mbp sends those frames alone. Prints what it sent as key=value pairs.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "feed_frames.h"
#include "probe_match.h"
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
    bool probe = false;
    int plain = 0;
    int refusedPerFrame = 0;
    std::string stamps;
    bool noMbp = false;
    int newTokensPerFrame = 0;
    long firstToken = 1000000;
    double newTokenRate = 1000;  // open/high/low frames of new tokens per second; 0 sends them flat out
    long newTokenFrames = -1;    // -1: as many as the time allows
};

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--store-only" || arg == "--no-mbp" || arg == "--probe") {
            (arg == "--store-only" ? o->storeOnly : arg == "--no-mbp" ? o->noMbp : o->probe) = true;
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
        } else if (arg == "--new-tokens-per-frame") {
            o->newTokensPerFrame = atoi(value);
        } else if (arg == "--first-token") {
            o->firstToken = atol(value);
        } else if (arg == "--new-token-rate") {
            o->newTokenRate = atof(value);
        } else if (arg == "--new-token-frames") {
            o->newTokenFrames = atol(value);
        } else {
            return false;
        }
    }
    // Loopback multicast in the 239/8 administrative range only.
    return o->group.rfind("239.", 0) == 0 && o->port > 0 && o->port < 65536 && o->rate >= 0 &&
           o->seconds > 0 && o->seconds <= 60 && o->instruments > 0 && o->updateEvery > 0 && o->plain >= 0 &&
           o->plain <= 2500 && o->refusedPerFrame >= 0 && o->newTokensPerFrame >= 0 &&
           o->newTokensPerFrame <= kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_OHL_DATA)) &&
           o->newTokenRate >= 0 && (o->newTokenRate > 0 || o->newTokenFrames >= 0) &&
           (!o->noMbp || o->newTokensPerFrame > 0) && (!o->probe || (o->plain == 0 && !o->stamps.empty())) &&
           o->firstToken >= INT32_MIN && o->firstToken <= INT32_MAX;
}

double Now(clockid_t clock = CLOCK_MONOTONIC) {
    timespec ts;
    clock_gettime(clock, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void SleepUntil(double when) {
    timespec ts;
    ts.tv_sec = static_cast<time_t>(when);
    ts.tv_nsec = static_cast<long>((when - static_cast<double>(ts.tv_sec)) * 1e9);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

// `frames` open/high/low frames of `perFrame` records each, for the tokens `first`, `first` + 1, ...
// in order, so that no token comes twice; empty when one does not compress into a datagram.
std::vector<bcst::Bytes> MakeNewTokenFrames(long first, int perFrame, long frames) {
    bcst::Universe fresh;
    for (long i = 0; i < frames * perFrame; ++i) {
        fresh.tokens.push_back(static_cast<int32_t>(first + i));
        fresh.basePrices.push_back(static_cast<int32_t>(1000 + i % 4000) * 5);
    }
    std::vector<bcst::Bytes> out;
    for (long f = 0; f < frames; ++f) {
        out.push_back(
            bcst::EncodeFrame(kMessageTypeOhl, static_cast<int16_t>(perFrame),
                              bcst::MakeOhlPayload(fresh, static_cast<int>(f * perFrame), perFrame, 0)));
        if (out.back().empty()) {
            return {};
        }
    }
    return out;
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
                "[--update-every K] [--store-only] [--plain BYTES] [--stamps FILE [--probe]] "
                "[--refused-per-frame F] "
                "[--no-mbp] [--new-tokens-per-frame N [--first-token T] [--new-token-rate R] "
                "[--new-token-frames F]]\n",
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
        mbp = bcst::MakeMbpFrames(universe, static_cast<int>(bcst::kProbeCycle), 1, options.probe);
    }
    std::vector<bcst::Bytes> updates;
    for (uint32_t round = 1; round <= 3; ++round) {
        for (bcst::Bytes& frame : bcst::MakeStoreFrames(universe, round)) {
            updates.push_back(std::move(frame));
        }
    }
    for (const bcst::Bytes& frame : mbp) {
        if (frame.empty() || frame.size() > static_cast<size_t>(kReceiveBufferSize)) {
            fprintf(stderr, "load_gen: a frame did not compress into one datagram\n");
            return 1;
        }
    }

    // The open/high/low frames of new tokens, all made before the clock starts.
    long newTotal = 0;
    std::vector<bcst::Bytes> fresh;
    if (options.newTokensPerFrame > 0) {
        newTotal = options.newTokenRate > 0 ? static_cast<long>(options.newTokenRate * options.seconds) : -1;
        if (options.newTokenFrames >= 0 && (newTotal < 0 || options.newTokenFrames < newTotal)) {
            newTotal = options.newTokenFrames;
        }
        if (options.firstToken + newTotal * options.newTokensPerFrame - 1 > INT32_MAX) {
            fprintf(stderr, "load_gen: the new tokens run past the largest token\n");
            return 2;
        }
        fresh = MakeNewTokenFrames(options.firstToken, options.newTokensPerFrame, newTotal);
        if (fresh.size() != static_cast<size_t>(newTotal)) {
            fprintf(stderr, "load_gen: an open/high/low frame did not compress into one datagram\n");
            return 1;
        }
    }

    bcst::Bytes refused = mbp[0];
    refused.resize(refused.size() / 2);

    long sentMbp = 0;
    long sentUpdates = 0;
    long sentRefused = 0;
    long sentNew = 0;
    std::vector<double> stamps;
    stamps.reserve(options.rate > 0 ? static_cast<size_t>(options.rate * options.seconds) + 1 : 1 << 20);
    const double start = Now();
    const double end = start + options.seconds;
    const long total = options.noMbp      ? 0
                       : options.rate > 0 ? static_cast<long>(options.rate * options.seconds)
                                          : -1;
    for (;;) {
        const double now = Now();
        if (now >= end || (total >= 0 && sentMbp >= total && sentNew >= newTotal)) {
            break;
        }
        const long dueNew =
            options.newTokenRate > 0
                ? std::min(newTotal, static_cast<long>((now - start) * options.newTokenRate) + 1)
                : newTotal;
        while (sentNew < dueNew) {
            failed += sender.Send(fresh[static_cast<size_t>(sentNew)]) ? 0 : 1;
            ++sentNew;
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
                stamps.push_back(Now(options.probe ? CLOCK_REALTIME : CLOCK_MONOTONIC));
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
        // Sleep until the next frame of either kind is due; flat out, not at all.
        const bool mbpPending = total < 0 || sentMbp < total;
        if (mbpPending && options.rate == 0) {
            continue;
        }
        double next = end;
        if (mbpPending) {
            next = std::min(next, start + static_cast<double>(sentMbp) / options.rate);
        }
        if (sentNew < newTotal && options.newTokenRate > 0) {
            next = std::min(next, start + static_cast<double>(sentNew) / options.newTokenRate);
        }
        if (mbpPending || sentNew < newTotal) {
            SleepUntil(next);
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
        "frames_in=%ld update_frames=%ld refused_frames=%ld new_token_frames=%ld new_tokens=%ld "
        "send_errors=%ld seconds=%.3f achieved_rate=%.0f\n",
        sentMbp, sentUpdates, sentRefused, sentNew, sentNew * options.newTokensPerFrame, failed, elapsed,
        static_cast<double>(sentMbp) / elapsed);
    return 0;
}
