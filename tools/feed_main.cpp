// bcst-feed: simulates the exchange's compressed feed, or replays a capture of it, onto a multicast
// group, and can capture what it sends as a pcap file.
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>

#include "feed/frame.h"
#include "tools/capture.h"
#include "tools/cli.h"
#include "tools/sim.h"
#include "tools/udp.h"

using namespace bcst;

namespace {

bool IsDirectory(const std::string& path) {
    struct stat s;
    return stat(path.c_str(), &s) == 0 && S_ISDIR(s.st_mode);
}

struct Options {
    std::string group = "239.70.1.1";
    int port = 34330;
    std::string interfaceAddress = "127.0.0.1";
    uint64_t seed = 1;
    int instruments = 50;
    int64_t frames = 100;
    double duration = 0;  // 0: no time limit
    double rate = 1000;
    int maxRecords = kMaxMbpRecordsPerFrame;
    int tickerEvery = 5;
    int32_t maxToken = 32767;
    std::string pcapOut;
    bool noSend = false;
    std::string replay;
    std::string filterGroup;
    int filterPort = 0;  // 0: any
    double speed = 1;
    bool flatOut = false;
    int loop = 1;  // 0: until interrupted
    bool quiet = false;
    std::string recordsOut;
    int ttl = 1;           // keeps simulated traffic on the local segment
    bool rewrite = false;  // a replay's capture: this run's addresses and times instead of the original
};

struct Totals {
    int64_t frames = 0;
    int64_t mbp = 0;
    int64_t ohl = 0;
    int64_t ticker = 0;
    int64_t records = 0;
    int64_t failedSends = 0;
};

// Sends (or, with --no-send, only stamps) each datagram at its due time, captures it, keeps count.
class Emitter {
  public:
    Emitter(const Options& options, int socket, uint32_t group, uint32_t source, uint16_t sourcePort,
            PcapWriter* capture)
        : options_(options),
          socket_(socket),
          group_(group),
          source_(source),
          sourcePort_(sourcePort),
          capture_(capture),
          start_(MonotonicSeconds()),
          wallStart_(WallClock()),
          progress_(!options.quiet && isatty(STDERR_FILENO)),
          nextProgress_(start_ + 0.5) {}

    double start() const { return start_; }

    // Seconds into the run: the schedule's own time when nothing is sent, the clock's otherwise.
    double Elapsed(double due) const {
        if (options_.noSend) {
            return due < 0 ? 0 : due - start_;
        }
        return MonotonicSeconds() - start_;
    }

    // `due` < 0 means as soon as possible. `original`: the replayed datagram, whose addresses and time
    // stamp its copy in the capture keeps (unless --pcap-rewrite).
    void Emit(const std::vector<uint8_t>& datagram, double due, const UdpDatagram* original = nullptr) {
        if (!options_.noSend && due >= 0) {
            SleepUntil(due);
        }
        if (gStopRequested) {
            return;
        }
        UdpDatagram d;
        if (options_.noSend) {
            d.time = due >= 0 ? AddSeconds(wallStart_, due - start_) : WallClock();
        } else {
            // Stamped as it is handed to the kernel, not after: on loopback the bridge may have
            // relayed it before the send call returns, and a later stamp would put the input after its
            // output in the capture.
            d.time = WallClock();
            if (!SendTo(socket_, group_, static_cast<uint16_t>(options_.port), datagram.data(),
                        datagram.size())) {
                ++totals_.failedSends;
            }
        }
        Count(datagram);
        if (capture_ != nullptr && original != nullptr && !options_.rewrite) {
            capture_->Write(*original, static_cast<uint8_t>(options_.ttl));
        } else if (capture_ != nullptr) {
            d.source = source_;
            d.destination = group_;
            d.sourcePort = sourcePort_;
            d.destinationPort = static_cast<uint16_t>(options_.port);
            d.payload = datagram;
            capture_->Write(d, static_cast<uint8_t>(options_.ttl));
        }
        ShowProgress();
    }

    void Finish() {
        if (progress_) {
            fputs("\r\033[K", stderr);
        }
        if (options_.quiet) {
            return;
        }
        fprintf(stderr,
                "bcst-feed: sent %lld frames (%lld market-by-price, %lld open/high/low, %lld ticker), %lld "
                "records in "
                "%.2fs\n",
                static_cast<long long>(totals_.frames), static_cast<long long>(totals_.mbp),
                static_cast<long long>(totals_.ohl), static_cast<long long>(totals_.ticker),
                static_cast<long long>(totals_.records), MonotonicSeconds() - start_);
    }

    const Totals& totals() const { return totals_; }

  private:
    // Counts by the frame header, so a replayed capture is counted like a simulated session.
    void Count(const std::vector<uint8_t>& datagram) {
        ++totals_.frames;
        if (datagram.size() < static_cast<size_t>(kFrameHeaderSize)) {
            return;
        }
        const auto type =
            bcst::LoadLittleEndian<int16_t>(datagram.data() + offsetof(NEW_MKT_BCAST_DATA, messageType));
        const auto count =
            bcst::LoadLittleEndian<int16_t>(datagram.data() + offsetof(NEW_MKT_BCAST_DATA, recordCount));
        int64_t* kind = type == kMessageTypeMbp      ? &totals_.mbp
                        : type == kMessageTypeOhl    ? &totals_.ohl
                        : type == kMessageTypeTicker ? &totals_.ticker
                                                     : nullptr;
        if (kind != nullptr) {
            ++*kind;
            totals_.records += count > 0 ? count : 0;
        }
    }

    // Count, rate and, when the end is known (a --duration, or the market-by-price frames of a
    // simulated session), the time left.
    void ShowProgress() {
        if (!progress_) {
            return;
        }
        const double now = MonotonicSeconds();
        if (now < nextProgress_) {
            return;
        }
        nextProgress_ = now + 0.5;
        const double elapsed = now - start_;
        double left = -1;
        if (options_.replay.empty() && options_.frames > 0 && totals_.mbp > 0) {
            left = elapsed * static_cast<double>(options_.frames - totals_.mbp) /
                   static_cast<double>(totals_.mbp);
        }
        if (options_.duration > 0 && (left < 0 || options_.duration - elapsed < left)) {
            left = options_.duration - elapsed;
        }
        char eta[32] = "";
        if (left >= 0) {
            snprintf(eta, sizeof eta, ", %d:%02d left", static_cast<int>(left) / 60,
                     static_cast<int>(left) % 60);
        }
        fprintf(stderr, "\r\033[Kbcst-feed: %lld frames, %lld records, %.0f frames/s%s",
                static_cast<long long>(totals_.frames), static_cast<long long>(totals_.records),
                elapsed > 0 ? static_cast<double>(totals_.frames) / elapsed : 0.0, eta);
    }

    const Options& options_;
    int socket_;
    uint32_t group_;
    uint32_t source_;
    uint16_t sourcePort_;
    PcapWriter* capture_;
    double start_;
    struct timeval wallStart_;
    bool progress_;
    double nextProgress_;
    Totals totals_;
};

int Simulate(const Options& o, Emitter& emitter) {
    std::unique_ptr<FILE, int (*)(FILE*)> records(nullptr, fclose);
    if (!o.recordsOut.empty()) {
        records.reset(fopen(o.recordsOut.c_str(), "w"));
        if (!records) {
            return Fail("%s: %s", o.recordsOut.c_str(), strerror(errno));
        }
    }
    SimOptions sim;
    sim.seed = o.seed;
    sim.instruments = o.instruments;
    sim.maxRecords = o.maxRecords;
    sim.tickerEvery = o.tickerEvery;
    sim.mbpFrames = o.frames;
    sim.maxToken = o.maxToken;
    Simulator simulator(sim);
    SimFrame frame;
    for (int64_t index = 0; !gStopRequested; ++index) {
        const double due = o.rate > 0 ? emitter.start() + static_cast<double>(index) / o.rate : -1;
        if (o.duration > 0 && emitter.Elapsed(due) >= o.duration) {
            break;
        }
        if (!simulator.Next(&frame)) {
            break;
        }
        emitter.Emit(frame.datagram, due);
        if (records && !gStopRequested) {
            fputs(RecordsAsJsonLines(frame, index).c_str(), records.get());
        }
    }
    return 0;
}

// `first` is the capture, already opened and checked before any output was created; later rounds of
// --loop open it again.
int Replay(const Options& o, Emitter& emitter, PcapReader* first) {
    uint32_t filterGroup = 0;
    ParseIpv4(o.filterGroup, &filterGroup);
    double loopStart = emitter.start();
    for (int round = 0; (o.loop == 0 || round < o.loop) && !gStopRequested; ++round) {
        PcapReader again;
        PcapReader& reader = round == 0 ? *first : again;
        std::string error;
        if (round > 0 && !reader.Open(o.replay, &error)) {
            return Fail("%s: %s", o.replay.c_str(), error.c_str());
        }
        UdpDatagram d;
        bool haveFirst = false;
        double firstTime = 0;
        double lastDue = loopStart;
        int64_t sent = 0;
        while (!gStopRequested && reader.Next(&d)) {
            if ((!o.filterGroup.empty() && d.destination != filterGroup) ||
                (o.filterPort != 0 && d.destinationPort != o.filterPort) || !d.complete) {
                continue;
            }
            const double t = static_cast<double>(d.time.tv_sec) + static_cast<double>(d.time.tv_usec) * 1e-6;
            if (!haveFirst) {
                haveFirst = true;
                firstTime = t;
            }
            double due = -1;
            if (!o.flatOut) {
                // The recorded pace, scaled; a time stamp that goes backwards sends at once.
                const double offset = (t - firstTime) / o.speed;
                due = offset > lastDue - loopStart ? loopStart + offset : lastDue;
                lastDue = due;
            }
            if (o.duration > 0 && emitter.Elapsed(due) >= o.duration) {
                return kExitSuccess;
            }
            emitter.Emit(d.payload, due, &d);
            ++sent;
        }
        if (!reader.error().empty()) {
            return Fail("%s: %s", o.replay.c_str(), reader.error().c_str());
        }
        if (round == 0 && reader.splitPackets() > 0 && !o.quiet) {
            Note("%s: %" PRIu64 " segmented packets sent as their %" PRIu64 " datagrams of 512 bytes",
                 o.replay.c_str(), reader.splitPackets(), reader.splitDatagrams());
        }
        if (sent == 0) {
            Note("%s: no datagram to replay", o.replay.c_str());
            return kExitSuccess;
        }
        loopStart = o.noSend ? lastDue : MonotonicSeconds();
    }
    return kExitSuccess;
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("bcst-feed");
    Options o;
    CLI::App app{
        "Simulates the exchange's LZ4-compressed market feed (open/high/low, ticker and market-by-price "
        "frames) onto a multicast group, or replays a pcap capture of it.",
        ProgramName()};
    app.add_option("--group", o.group, "Destination multicast group")->capture_default_str();
    app.add_option("--port", o.port, "Destination UDP port")
        ->check(IntegerIn(1, 65535))
        ->capture_default_str();
    app.add_option("--interface", o.interfaceAddress, "Interface (name or address) to send through")
        ->capture_default_str();
    CLI::Option* replay =
        app.add_option("--replay", o.replay, "Replay the UDP payloads of this pcap file (- for stdin)");
    app.add_option("--seed", o.seed, "Seed of the simulated session")
        ->capture_default_str()
        ->excludes(replay);
    app.add_option("--instruments", o.instruments, "Number of instruments")
        ->check(IntegerIn(1, 20000))
        ->capture_default_str()
        ->excludes(replay);
    CLI::Option* frames =
        app.add_option("--frames", o.frames, "Market-by-price frames to send (100 without --duration)")
            ->check(IntegerIn(0, INT64_MAX))
            ->excludes(replay);
    app.add_option("--duration", o.duration, "Stop after this many seconds")
        ->check(PositiveNumber("number of seconds"));
    app.add_option("--rate", o.rate, "Frames per second (0 = flat out)")
        ->check(NonNegativeNumber("number of frames a second"))
        ->capture_default_str()
        ->excludes(replay);
    app.add_option("--max-records", o.maxRecords, "Most records per market-by-price frame")
        ->check(IntegerIn(1, kMaxMbpRecordsPerFrame))
        ->capture_default_str()
        ->excludes(replay);
    app.add_option("--ticker-every", o.tickerEvery,
                   "A ticker frame after every N market-by-price frames (0 = none)")
        ->check(IntegerIn(0, 1000000))
        ->capture_default_str()
        ->excludes(replay);
    app.add_option("--max-token", o.maxToken,
                   "Largest token, at least 20000 (room for the most instruments, 20000, each with a "
                   "token of its own in 1..N); above 32767 the capital market's 16-bit token repeats")
        ->check(IntegerIn(20000, INT32_MAX))
        ->capture_default_str()
        ->excludes(replay);
    CLI::Option* pcapOut = app.add_option("--pcap-out", o.pcapOut,
                                          "Also write every frame sent to this pcap file (- for stdout)");
    app.add_flag("--pcap-rewrite", o.rewrite,
                 "With --replay: capture with this run's addresses and send times, not the original ones")
        ->needs(replay)
        ->needs(pcapOut);
    app.add_flag("--no-send", o.noSend, "Send nothing (with --pcap-out: only write the capture)");
    app.add_option("--filter-group", o.filterGroup, "Replay only datagrams to this group")->needs(replay);
    app.add_option("--filter-port", o.filterPort, "Replay only datagrams to this port")
        ->check(IntegerIn(1, 65535))
        ->needs(replay);
    CLI::Option* speed = app.add_option("--speed", o.speed, "Replay at this multiple of the recorded pace")
                             ->check(PositiveNumber("factor"))
                             ->capture_default_str()
                             ->needs(replay);
    app.add_flag("--flat-out", o.flatOut, "Replay as fast as possible")->needs(replay)->excludes(speed);
    app.add_option("--loop", o.loop, "Replay the capture this many times (0 = until interrupted)")
        ->check(IntegerIn(0, 1000000))
        ->capture_default_str()
        ->needs(replay);
    app.add_flag("--quiet", o.quiet, "No progress line and no summary");
    // For tests and troubleshooting: every generated record as JSON Lines, and the multicast TTL.
    app.add_option("--records-out", o.recordsOut)->group("")->excludes(replay);
    app.add_option("--ttl", o.ttl)->check(IntegerIn(1, 255))->group("");
    if (const int status = ParseCommandLine(app, argc, argv); status >= 0) {
        return status;
    }
    // --duration alone sets the length of a simulated session.
    if (!*frames) {
        o.frames = o.duration > 0 ? std::numeric_limits<int64_t>::max() : 100;
    }

    uint32_t group, source, filterGroup;
    if (!ParseIpv4(o.group, &group) || !IN_MULTICAST(ntohl(group))) {
        return UsageError("--group: not an IPv4 multicast group: %s", o.group.c_str());
    }
    if (!o.filterGroup.empty() && !ParseIpv4(o.filterGroup, &filterGroup)) {
        return UsageError("--filter-group: not an IPv4 address: %s", o.filterGroup.c_str());
    }
    std::string address, error;
    if (!ResolveInterface(o.interfaceAddress, &address, &error)) {
        return UsageError("--interface: %s", error.c_str());
    }
    o.interfaceAddress = address;
    ParseIpv4(o.interfaceAddress, &source);
    if (IsStandardStream(o.replay) && o.loop != 1) {
        return UsageError("--loop: the standard input can be read once only");
    }
    // Never write over what is being read: a capture replayed into itself would be gone.
    for (const std::string* out : {&o.pcapOut, &o.recordsOut}) {
        if (!out->empty() && !IsStandardStream(*out) && !o.replay.empty() && SameFile(*out, o.replay)) {
            return UsageError("%s is the capture being replayed; write to another file", out->c_str());
        }
    }
    // A directory would be found out only when the finished capture is renamed into place.
    if (!o.pcapOut.empty() && !IsStandardStream(o.pcapOut) && IsDirectory(o.pcapOut)) {
        return UsageError("--pcap-out: %s is a directory; name a file", o.pcapOut.c_str());
    }
    if (!o.pcapOut.empty() && !o.recordsOut.empty() && o.pcapOut != "-" &&
        SameFile(o.pcapOut, o.recordsOut)) {
        return UsageError("--pcap-out and --records-out name the same file");
    }

    // The input first: a capture that cannot be read stops the run before any output exists.
    PcapReader input;
    if (!o.replay.empty() && !input.Open(o.replay, &error)) {
        return Fail("%s: %s", o.replay.c_str(), error.c_str());
    }
    InstallStopSignals();

    int socket = -1;
    uint16_t sourcePort = static_cast<uint16_t>(o.port);
    if (!o.noSend) {
        socket = OpenMulticastSender(o.interfaceAddress, o.ttl, &error);
        if (socket < 0) {
            return Fail("%s", error.c_str());
        }
        struct sockaddr_in bound = {};
        socklen_t length = sizeof bound;
        if (getsockname(socket, reinterpret_cast<sockaddr*>(&bound), &length) == 0) {
            sourcePort = ntohs(bound.sin_port);
        }
    }
    // Written under a temporary name and renamed when complete: an existing capture of that name
    // stays as it was until the new one is whole.
    PcapWriter capture;
    if (!o.pcapOut.empty() && !capture.Open(o.pcapOut, PcapWriter::Mode::kWhenComplete, &error)) {
        if (socket >= 0) {
            close(socket);
        }
        return Fail("%s: %s", o.pcapOut.c_str(), error.c_str());
    }

    Emitter emitter(o, socket, group, source, sourcePort, capture.IsOpen() ? &capture : nullptr);
    int status = o.replay.empty() ? Simulate(o, emitter) : Replay(o, emitter, &input);
    // Stopped by SIGINT or SIGTERM, the run is complete as far as it went: the capture is kept.
    if (status == kExitSuccess || gStopRequested) {
        if (!capture.Close(&error)) {
            status = Fail("%s: %s", o.pcapOut.c_str(), error.c_str());
        }
    } else {
        capture.Abandon();
    }
    emitter.Finish();
    if (emitter.totals().failedSends > 0) {
        status = Fail("%lld sends failed", static_cast<long long>(emitter.totals().failedSends));
    }
    if (socket >= 0) {
        close(socket);
    }
    return status;
}
