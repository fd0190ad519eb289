// bcst-dump: decodes the exchange feed and the bridge's old-format output, live from a multicast group
// or offline from a pcap capture, into readable lines or JSON Lines; or captures a group to a pcap file
// without decoding, counting what the kernel dropped.
#include <netinet/in.h>

#include <CLI/CLI.hpp>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "config/config.h"
#include "tools/capture.h"
#include "tools/cli.h"
#include "tools/decode.h"
#include "tools/instance.h"
#include "tools/json.h"
#include "tools/receiver.h"
#include "tools/udp.h"

using namespace bcst;

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
    std::string write;  // -w: capture only, no decoding
    bool packetBuffered = false;
    int bufferBytes = 0;  // 0: the tool's default
    std::vector<std::string> expression;
    int instance = 0;
    std::string config = kConfigFileName;
    bool quiet = false;
};

// Where a datagram came from and went to, and when it arrived.
struct Addressing {
    struct timeval time = {};
    uint32_t source = 0, destination = 0;  // network byte order
    uint16_t sourcePort = 0, destinationPort = 0;
};

// The datagram's time (UTC, ISO 8601, and microseconds since 1970 for arithmetic) and its addresses,
// placed in front of the record's own fields of a JSON line.
std::string WithAddressing(const std::string& line, const Addressing& a) {
    struct tm utc;
    const time_t seconds = a.time.tv_sec;
    gmtime_r(&seconds, &utc);
    char stamp[40];
    const size_t used = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(stamp + used, sizeof stamp - used, ".%06ldZ", static_cast<long>(a.time.tv_usec));
    JsonWriter json;
    json.BeginObject();
    json.Text("time", stamp);
    json.Number("timeMicros", static_cast<int64_t>(a.time.tv_sec) * 1000000 + a.time.tv_usec);
    json.Text("source", DottedIpv4(a.source));
    json.Number("sourcePort", a.sourcePort);
    json.Text("destination", DottedIpv4(a.destination));
    json.Number("destinationPort", a.destinationPort);
    std::string prefix = json.str();  // {"time":...,"destinationPort":N
    return line.size() > 1 && line[0] == '{' ? prefix + "," + line.substr(1) : line;
}

class Dumper {
  public:
    explicit Dumper(const Options& o)
        : o_(o),
          format_(o.format == "input"    ? DatagramFormat::kInput
                  : o.format == "output" ? DatagramFormat::kOutput
                                         : DatagramFormat::kAuto) {}

    void Handle(const uint8_t* data, size_t length, const Addressing& where, bool cut) {
        DatagramContext context;
        context.index = datagrams_++;
        context.length = length;
        context.haveTime = true;
        context.time = where.time;
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
            text += o_.json      ? WithAddressing(FormatJson(r, context), where)
                    : o_.verbose ? FormatVerbose(r, context)
                                 : FormatLine(r, context);
        }
        fwrite(text.data(), 1, text.size(), stdout);
    }

    int64_t datagrams() const { return datagrams_; }

    // `drops` < 0: not a live capture, nothing to say about the kernel. `reader`: the capture read, for
    // what it skipped and the segmented packets it cut apart.
    void Summary(const PcapReader* reader, int64_t drops) const {
        const uint64_t skipped = reader != nullptr ? reader->skipped() : 0;
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
        if (reader != nullptr && reader->splitPackets() > 0) {
            fprintf(stderr, "; %llu segmented packets split into %llu datagrams",
                    static_cast<unsigned long long>(reader->splitPackets()),
                    static_cast<unsigned long long>(reader->splitDatagrams()));
        }
        if (drops >= 0) {
            fprintf(stderr, "; %lld packets dropped by kernel", static_cast<long long>(drops));
        }
        fputc('\n', stderr);
        // With --json the same as a JSON object on the next line, also on stderr: stdout holds records only.
        if (o_.json) {
            JsonWriter json;
            json.BeginObject();
            json.Text("kind", "summary");
            json.Number("datagrams", datagrams_);
            json.Number("marketByPrice", byClass_[0]);
            json.Number("openHighLow", byClass_[1]);
            json.Number("ticker", byClass_[2]);
            json.Number("output", byClass_[3]);
            json.Number("records", records_);
            json.Number("malformed", malformed_);
            json.Number("skipped", static_cast<int64_t>(skipped));
            if (reader != nullptr && reader->splitPackets() > 0) {
                json.Number("segmentedPackets", static_cast<int64_t>(reader->splitPackets()));
                json.Number("segmentedDatagrams", static_cast<int64_t>(reader->splitDatagrams()));
            }
            if (drops >= 0) {
                json.Number("droppedByKernel", drops);
            }
            json.EndObject();
            json.EndLine();
            fputs(json.str().c_str(), stderr);
        }
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
            if (r.kind != "malformed" && !r.noRecord) {
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
        return Fail("%s: %s", o.pcap.c_str(), error.c_str());
    }
    std::string expression;
    for (const std::string& word : o.expression) {
        expression += (expression.empty() ? "" : " ") + word;
    }
    if (!expression.empty() && !reader.SetFilter(expression, &error)) {
        return UsageError("filter '%s': %s", expression.c_str(), error.c_str());
    }
    // -w with a capture: the datagrams kept, into a new capture that replaces the old one only whole.
    PcapWriter capture;
    if (!o.write.empty() && !capture.Open(o.write, PcapWriter::Mode::kWhenComplete, &error)) {
        return Fail("%s: %s", o.write.c_str(), error.c_str());
    }
    UdpDatagram d;
    int64_t written = 0;
    while (!gStopRequested && (o.count == 0 || dumper.datagrams() + written < o.count) && reader.Next(&d)) {
        if (o.filterPort != 0 && d.destinationPort != o.filterPort) {
            continue;
        }
        if (capture.IsOpen()) {
            capture.Write(d, 64);
            ++written;
            continue;
        }
        Addressing where{d.time, d.source, d.destination, d.sourcePort, d.destinationPort};
        dumper.Handle(d.payload.data(), d.payload.size(), where, !d.complete);
    }
    fflush(stdout);
    if (!reader.error().empty()) {
        capture.Abandon();
        dumper.Summary(&reader, -1);
        return Fail("%s: %s", o.pcap.c_str(), reader.error().c_str());
    }
    if (capture.IsOpen()) {
        if (!capture.Close(&error)) {
            return Fail("%s: %s", o.write.c_str(), error.c_str());
        }
        if (!o.quiet) {
            Note("%" PRId64 " packets written", written);
            if (reader.splitPackets() > 0) {
                Note("%" PRIu64 " segmented packets written as their %" PRIu64 " datagrams",
                     reader.splitPackets(), reader.splitDatagrams());
            }
        }
        return kExitSuccess;
    }
    dumper.Summary(&reader, -1);
    return kExitSuccess;
}

// Live: decodes every datagram (and with --pcap-out also writes it), or with -w only writes it.
int FromGroup(const Options& o, Dumper& dumper) {
    std::string error;
    GroupReceiver receiver;
    if (!receiver.Open(o.group, static_cast<uint16_t>(o.port), o.interfaceAddress, o.bufferBytes, &error)) {
        return Fail("%s", error.c_str());
    }
    const bool captureOnly = !o.write.empty();
    const std::string& capturePath = captureOnly ? o.write : o.pcapOut;
    PcapWriter capture;
    capture.SetPacketBuffered(o.packetBuffered);
    if (!capturePath.empty() && !capture.Open(capturePath, PcapWriter::Mode::kDirect, &error)) {
        return Fail("%s: %s", capturePath.c_str(), error.c_str());
    }
    uint32_t group = 0;
    ParseIpv4(o.group, &group);
    if (!o.quiet) {
        Note("listening on %s:%d via %s, receive buffer %d bytes", o.group.c_str(), o.port,
             o.interfaceAddress.c_str(), receiver.GrantedBuffer());
    }

    const double start = MonotonicSeconds();
    double nextFlush = start + 1;
    int64_t captured = 0;
    int status = kExitSuccess;
    auto enough = [&] { return o.count != 0 && (captureOnly ? captured : dumper.datagrams()) >= o.count; };
    auto take = [&](int n) {
        for (int i = 0; i < n && !enough(); ++i) {
            const ReceivedDatagram& d = receiver[i];
            if (capture.IsOpen()) {
                capture.Write(d.time, d.source, d.sourcePort, group, static_cast<uint16_t>(o.port), d.data,
                              d.length, 64);
                ++captured;
            }
            if (!captureOnly) {
                Addressing where{d.time, d.source, group, d.sourcePort, static_cast<uint16_t>(o.port)};
                dumper.Handle(d.data, d.length, where, d.cut);
            }
        }
        if (!captureOnly && !o.json) {
            fflush(stdout);
        }
    };
    while (!gStopRequested && !enough()) {
        int waitMs = 200;
        const double now = MonotonicSeconds();
        if (o.duration > 0) {
            const double left = start + o.duration - now;
            if (left <= 0) {
                break;
            }
            waitMs = left < 0.2 ? static_cast<int>(left * 1000) + 1 : 200;
        }
        // Without -U the capture still reaches the disk at least once a second, in whole packets.
        if (now >= nextFlush) {
            capture.Flush();
            fflush(stdout);
            nextFlush = now + 1;
        }
        const int n = receiver.Receive(waitMs);
        if (n < 0) {
            status = Fail("receive: %s", strerror(errno));
            break;
        }
        if (n == 0) {
            capture.Flush();  // a quiet moment: let readers of the file catch up
            continue;
        }
        take(n);
    }
    // Stopped by a signal or the time limit: what the kernel already holds for us arrived in time,
    // so it is taken too (for a few seconds at most), rather than lost without a count.
    const double drainUntil = MonotonicSeconds() + 5;
    for (int n = 1; status == kExitSuccess && n > 0 && !enough() && MonotonicSeconds() < drainUntil;) {
        n = receiver.Receive(0);
        take(n > 0 ? n : 0);
    }
    const bool closed = capture.Close(&error);
    if (!closed) {
        status = Fail("%s: %s", capturePath.c_str(), error.c_str());
    }
    fflush(stdout);
    const auto drops = static_cast<int64_t>(receiver.Drops(true));
    if (!closed && !capturePath.empty()) {
        // Said even with --quiet: the file holds less than was captured.
        Note("%" PRId64 " packets captured, %" PRIu64 " of them written whole to %s before the write failed",
             captured, capture.packetsWritten(), capturePath.c_str());
    }
    if (captureOnly) {
        if (!o.quiet && closed) {
            Note("%" PRId64 " packets captured, %" PRId64 " packets dropped by kernel", captured, drops);
        } else if (!o.quiet) {
            Note("%" PRId64 " packets dropped by kernel", drops);
        }
        if (o.json && !o.quiet) {
            fprintf(stderr,
                    "{\"kind\":\"summary\",\"captured\":%" PRId64 ",\"written\":%" PRIu64
                    ",\"droppedByKernel\":%" PRId64 "}\n",
                    captured, capture.packetsWritten(), drops);
        }
    } else {
        dumper.Summary(nullptr, drops);
    }
    if (drops > 0) {
        // Lost data is a failure, even when everything that arrived was read.
        if (o.quiet) {
            Note("%" PRId64 " packets dropped by kernel", drops);
        }
        status = kExitFailure;
    }
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("bcst-dump");
    Options o;
    CLI::App app{
        "Decodes the exchange's compressed feed frames and the bridge's 512-byte old-format datagrams, live "
        "from a multicast group or from a pcap capture, or captures a group to a pcap file.",
        ProgramName()};
    CLI::Option* group = app.add_option("--group", o.group, "Multicast group to join");
    CLI::Option* port =
        app.add_option("--port", o.port, "UDP port (as on the wire)")->check(IntegerIn(1, 65535));
    CLI::Option* instance =
        app.add_option(
               "--instance", o.instance,
               "Take the group, wire port and interface of this instance's output from BCSTBRIDGE.INI")
            ->check(IntegerIn(1, 1000000))
            ->excludes(group)
            ->excludes(port);
    app.add_option("--config", o.config, "Where --instance reads its line")
        ->capture_default_str()
        ->needs(instance);
    CLI::Option* interface =
        app.add_option("--interface,-i", o.interfaceAddress, "Interface (name or address) to join on")
            ->capture_default_str();
    group->needs(port);
    port->needs(group);
    CLI::Option* pcap = app.add_option("--pcap,-r", o.pcap, "Read this capture instead (- for stdin)")
                            ->excludes(group)
                            ->excludes(port)
                            ->excludes(instance)
                            ->excludes(interface);
    app.add_option("--filter-port", o.filterPort, "Only datagrams to this destination port")
        ->check(IntegerIn(1, 65535))
        ->needs(pcap);
    app.add_option("expression", o.expression, "With --pcap: a libpcap filter, as tcpdump takes it")
        ->needs(pcap);
    app.add_option("--format", o.format, "Which side the datagrams come from")
        ->check(CLI::IsMember({"auto", "input", "output"}))
        ->capture_default_str();
    CLI::Option* verbose = app.add_flag("-v,--verbose", o.verbose, "Every field of every record");
    app.add_flag("--json", o.json, "One JSON object per record");
    app.add_option("--count,-c", o.count, "Stop after this many datagrams")->check(IntegerIn(1, INT64_MAX));
    app.add_option("--duration", o.duration, "Stop after this many seconds")
        ->check(PositiveNumber("number of seconds"));
    CLI::Option* write = app.add_option("-w,--write", o.write,
                                        "Capture only: write the datagrams to this pcap file (- for stdout)")
                             ->excludes(verbose);
    app.add_option("--pcap-out", o.pcapOut, "Also write every datagram received to this pcap file")
        ->excludes(pcap)
        ->excludes(write);
    app.add_flag("-U,--packet-buffered", o.packetBuffered, "Write each packet to the file as it arrives")
        ->excludes(pcap);
    app.add_option("-B,--buffer-size", o.bufferBytes, "Receive buffer to ask for, in bytes")
        ->check(IntegerIn(2048, 1 << 30))
        ->excludes(pcap);
    app.add_flag("--quiet", o.quiet, "No summary");
    if (const int status = ParseCommandLine(app, argc, argv); status >= 0) {
        return status;
    }
    if (!*group && !*pcap && !*instance) {
        return UsageError("say what to read: --group and --port, --instance, or --pcap (see --help)");
    }
    if (*instance) {
        InstanceOutput output;
        std::string error;
        if (!ReadInstanceOutput(o.config, o.instance, &output, &error)) {
            return UsageError("--instance: %s", error.c_str());
        }
        o.group = output.group;
        o.port = output.wirePort;
        if (!*interface && !output.interfaceAddress.empty()) {
            o.interfaceAddress = output.interfaceAddress;
        }
    }
    if (o.pcap.empty()) {
        std::string address, error;
        if (!ResolveInterface(o.interfaceAddress, &address, &error)) {
            // The other tools take -i for an instance: say how to name one here.
            const bool number = !o.interfaceAddress.empty() &&
                                o.interfaceAddress.find_first_not_of("0123456789") == std::string::npos;
            return UsageError(
                "--interface: %s%s", error.c_str(),
                number ? (" (an instance is --instance " + o.interfaceAddress + ")").c_str() : "");
        }
        o.interfaceAddress = address;
        uint32_t groupAddress = 0;
        if (!ParseIpv4(o.group, &groupAddress) || !IN_MULTICAST(ntohl(groupAddress))) {
            return UsageError("--group: not an IPv4 multicast group: %s", o.group.c_str());
        }
    }
    if (IsStandardStream(o.pcapOut)) {
        return UsageError(
            "--pcap-out: the standard output carries the decoded records; use -w - to capture only");
    }
    if (!o.write.empty() && !o.pcap.empty() && !IsStandardStream(o.write) && SameFile(o.write, o.pcap)) {
        return UsageError("-w: %s is the capture being read", o.write.c_str());
    }

    InstallStopSignals();
    Dumper dumper(o);
    return o.pcap.empty() ? FromGroup(o, dumper) : FromCapture(o, dumper);
}
