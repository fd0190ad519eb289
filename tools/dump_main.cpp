// bcst-dump: decodes the exchange feed and the bridge's old-format output, live from a multicast group
// or offline from a pcap capture, into readable lines or JSON Lines.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <string>

#include "tools/capture.h"
#include "tools/decode.h"
#include "tools/udp.h"

using namespace bcsttools;

namespace {

struct Options {
    std::string group;
    int port = 0;
    std::string interfaceAddress = "127.0.0.1";
    std::string pcap;
    int filterPort = 0;
    std::string format = "auto";
    bool verbose = false;
    bool json = false;
    int64_t count = 0;  // 0: no limit
    double duration = 0;
    std::string pcapOut;
    bool quiet = false;
};

class Dumper {
  public:
    explicit Dumper(const Options& o)
        : o_(o),
          format_(o.format == "input"    ? DatagramFormat::kInput
                  : o.format == "output" ? DatagramFormat::kOutput
                                         : DatagramFormat::kAuto) {}

    void Handle(const uint8_t* data, size_t length, const struct timeval& time, bool cut) {
        DatagramContext context;
        context.index = datagrams_++;
        context.length = length;
        context.haveTime = true;
        context.time = time;
        DecodedDatagram decoded;
        if (cut) {
            decoded.malformed = true;
            Record r;
            r.kind = "malformed";
            r.reason = "datagram cut short by the capture's snapshot length";
            decoded.records.push_back(r);
        } else {
            decoded = DecodeDatagram(data, length, format_);
        }
        Count(decoded);
        std::string text;
        for (const Record& r : decoded.records) {
            text += o_.json      ? FormatJson(r, context)
                    : o_.verbose ? FormatVerbose(r, context)
                                 : FormatLine(r, context);
        }
        fwrite(text.data(), 1, text.size(), stdout);
    }

    int64_t datagrams() const { return datagrams_; }

    void Summary(uint64_t skipped) const {
        if (o_.quiet) {
            return;
        }
        std::string outputs;
        for (const auto& segment : segments_) {
            outputs += (outputs.empty() ? "" : ", ") + std::to_string(segment.second) + " " + segment.first;
        }
        fprintf(stderr,
                "bcst-dump: %lld datagrams: %lld market-by-price, %lld open/high/low, %lld ticker, %lld "
                "output%s%s%s; "
                "%lld records; %lld malformed",
                static_cast<long long>(datagrams_), static_cast<long long>(byClass_[0]),
                static_cast<long long>(byClass_[1]), static_cast<long long>(byClass_[2]),
                static_cast<long long>(byClass_[3]), outputs.empty() ? "" : " (", outputs.c_str(),
                outputs.empty() ? "" : ")", static_cast<long long>(records_),
                static_cast<long long>(malformed_));
        if (skipped > 0) {
            fprintf(stderr, "; %llu packets skipped (not IPv4/UDP)",
                    static_cast<unsigned long long>(skipped));
        }
        fputc('\n', stderr);
    }

  private:
    void Count(const DecodedDatagram& d) {
        if (d.malformed) {
            ++malformed_;
        }
        if (d.cls != DatagramClass::kMalformed) {
            ++byClass_[static_cast<int>(d.cls)];
        }
        if (d.cls == DatagramClass::kOutput) {
            ++segments_[d.segment];
        }
        for (const Record& r : d.records) {
            if (r.kind != "malformed" && !(r.kind == "mbp_out" && r.Number("numberOfRecords") == 0)) {
                ++records_;
            }
        }
    }

    const Options& o_;
    DatagramFormat format_;
    int64_t datagrams_ = 0;
    int64_t byClass_[4] = {};  // market-by-price, open/high/low, ticker, output: DatagramClass order
    std::map<std::string, int64_t> segments_;
    int64_t records_ = 0;
    int64_t malformed_ = 0;
};

int FromCapture(const Options& o, Dumper& dumper) {
    PcapReader reader;
    std::string error;
    if (!reader.Open(o.pcap, &error)) {
        fprintf(stderr, "bcst-dump: %s: %s\n", o.pcap.c_str(), error.c_str());
        return 1;
    }
    UdpDatagram d;
    while (!gStopRequested && (o.count == 0 || dumper.datagrams() < o.count) && reader.Next(&d)) {
        if (o.filterPort != 0 && d.destinationPort != o.filterPort) {
            continue;
        }
        dumper.Handle(d.payload.data(), d.payload.size(), d.time, !d.complete);
    }
    fflush(stdout);
    dumper.Summary(reader.skipped());
    if (!reader.error().empty()) {
        fprintf(stderr, "bcst-dump: %s: %s\n", o.pcap.c_str(), reader.error().c_str());
        return 1;
    }
    return 0;
}

int FromGroup(const Options& o, Dumper& dumper) {
    std::string error;
    const int fd = OpenMulticastReceiver(o.group, static_cast<uint16_t>(o.port), o.interfaceAddress, &error);
    if (fd < 0) {
        fprintf(stderr, "bcst-dump: %s\n", error.c_str());
        return 1;
    }
    PcapWriter capture;
    if (!o.pcapOut.empty() && !capture.Open(o.pcapOut, &error)) {
        fprintf(stderr, "bcst-dump: %s: %s\n", o.pcapOut.c_str(), error.c_str());
        close(fd);
        return 1;
    }
    uint32_t group = 0;
    ParseIpv4(o.group, &group);
    if (!o.quiet) {
        fprintf(stderr, "bcst-dump: listening on %s:%d via %s\n", o.group.c_str(), o.port,
                o.interfaceAddress.c_str());
    }

    const double start = MonotonicSeconds();
    std::vector<uint8_t> buffer(65536);
    int status = 0;
    while (!gStopRequested && (o.count == 0 || dumper.datagrams() < o.count)) {
        int waitMs = 200;
        if (o.duration > 0) {
            const double left = start + o.duration - MonotonicSeconds();
            if (left <= 0) {
                break;
            }
            waitMs = left < 0.2 ? static_cast<int>(left * 1000) + 1 : 200;
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, waitMs);
        if (ready <= 0) {
            continue;  // time-out, or a signal that may have asked us to stop
        }
        struct sockaddr_in from = {};
        socklen_t fromLength = sizeof from;
        const ssize_t n = recvfrom(fd, buffer.data(), buffer.size(), MSG_TRUNC,
                                   reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) {
                continue;
            }
            perror("bcst-dump: receive");
            status = 1;
            break;
        }
        const struct timeval now = WallClock();
        const bool cut = static_cast<size_t>(n) > buffer.size();
        const size_t length = cut ? buffer.size() : static_cast<size_t>(n);
        dumper.Handle(buffer.data(), length, now, cut);
        if (capture.IsOpen()) {
            UdpDatagram d;
            d.time = now;
            d.source = from.sin_addr.s_addr;
            d.sourcePort = ntohs(from.sin_port);
            d.destination = group;
            d.destinationPort = static_cast<uint16_t>(o.port);
            d.payload.assign(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(length));
            capture.Write(d, 64);
        }
        fflush(stdout);
    }
    capture.Close();
    close(fd);
    fflush(stdout);
    dumper.Summary(0);
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    CLI::App app{
        "Decodes the exchange's compressed feed frames and the bridge's 512-byte old-format datagrams, live "
        "from a multicast group or from a pcap capture.",
        "bcst-dump"};
    CLI::Option* group = app.add_option("--group", o.group, "Multicast group to join");
    CLI::Option* port =
        app.add_option("--port", o.port, "UDP port (as on the wire)")->check(CLI::Range(1, 65535));
    app.add_option("--interface", o.interfaceAddress, "Address of the interface to join on")
        ->capture_default_str()
        ->needs(group);
    group->needs(port);
    port->needs(group);
    CLI::Option* pcap = app.add_option("--pcap", o.pcap, "Decode this capture instead")
                            ->check(CLI::ExistingFile)
                            ->excludes(group)
                            ->excludes(port);
    app.add_option("--filter-port", o.filterPort, "Only datagrams to this destination port")
        ->check(CLI::Range(1, 65535))
        ->needs(pcap);
    app.add_option("--format", o.format, "Which side the datagrams come from")
        ->check(CLI::IsMember({"auto", "input", "output"}))
        ->capture_default_str();
    app.add_flag("-v,--verbose", o.verbose, "Every field of every record");
    app.add_flag("--json", o.json, "One JSON object per record");
    app.add_option("--count", o.count, "Stop after this many datagrams")->check(CLI::PositiveNumber);
    app.add_option("--duration", o.duration, "Stop after this many seconds")
        ->check(CLI::PositiveNumber)
        ->needs(group);
    app.add_option("--pcap-out", o.pcapOut, "Also write every datagram received to this pcap file")
        ->needs(group);
    app.add_flag("--quiet", o.quiet, "No summary");
    try {
        app.parse(argc, argv);
        if (!*group && !*pcap) {
            throw CLI::RequiredError("--group and --port, or --pcap");
        }
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }

    InstallStopSignals();
    Dumper dumper(o);
    return o.pcap.empty() ? FromGroup(o, dumper) : FromCapture(o, dumper);
}
