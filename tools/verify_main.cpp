// bcst-verify: proves what an instance sent. The input capture goes through the bridge's own code and
// the datagrams that gives are lined up, by their records, with the capture of the instance's output.
#include <sys/time.h>

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "mbp/framing.h"
#include "tools/capture.h"
#include "tools/cli.h"
#include "tools/json.h"
#include "tools/udp.h"
#include "tools/verify.h"

using namespace bcst;

namespace {

struct Options {
    std::string input, output;
    std::string segment;
    std::string mode = "relay";
    std::string inFilter, outFilter;
    std::string store;  // a store file to start from, or empty
    int64_t maxReport = 50;
    bool quiet = false;
    bool latency = false;
    bool json = false;
};

// Exit status when the only differences lie in values whose source (an open/high/low or ticker record)
// the input capture had not yet shown (a capture that starts mid-stream); 0 means identical, 1
// anything else that differs.
constexpr int kExitOnlyUnseen = 3;

// Consecutive captured datagrams from one source address.
struct SourceRun {
    uint32_t source;
    size_t first, count;
    struct timeval firstTime, lastTime;
};

int64_t Micros(const struct timeval& t) {
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

// The UDP payloads of a capture, segmented super-packets cut into their 512-byte datagrams, and each
// one's capture time in microseconds (`times`); `sources` (when given) gets the runs of their source
// addresses.
bool ReadPayloads(const std::string& path, const std::string& filter, std::vector<DatagramBytes>* out,
                  std::vector<int64_t>* times, std::string* error,
                  std::vector<SourceRun>* sources = nullptr) {
    PcapReader reader;
    if (!reader.Open(path, error) || (!filter.empty() && !reader.SetFilter(filter, error))) {
        return false;
    }
    UdpDatagram d;
    uint64_t cut = 0;
    while (reader.Next(&d)) {
        if (!d.complete) {
            ++cut;
            continue;
        }
        if (sources != nullptr) {
            if (sources->empty() || sources->back().source != d.source) {
                sources->push_back({d.source, out->size(), 0, d.time, d.time});
            }
            ++sources->back().count;
            sources->back().lastTime = d.time;
        }
        out->push_back(std::move(d.payload));
        times->push_back(Micros(d.time));
    }
    if (!reader.error().empty()) {
        *error = reader.error();
        return false;
    }
    if (reader.splitPackets() > 0) {
        Note("%s: %" PRIu64 " segmented packets split into %" PRIu64 " datagrams of %d bytes", path.c_str(),
             reader.splitPackets(), reader.splitDatagrams(), kOutputFrameSize);
    }
    if (cut > 0) {
        Note("%s: %" PRIu64 " datagrams cut short by the snapshot length left out", path.c_str(), cut);
    }
    const UnreassembledFragments left = reader.unreassembled();
    if (left.fragments > 0) {
        Note("warning: %s: %" PRIu64
             " IP fragments could not be reassembled, their datagrams left out "
             "(first fragments without the rest: %" PRIu64 ", later fragments without their first: %" PRIu64
             "); a capture filter by port keeps only first fragments: filter by host",
             path.c_str(), left.fragments, left.firstWithoutRest, left.laterWithoutFirst);
    }
    return true;
}

std::string ClockTime(const struct timeval& t) {
    struct tm local;
    const time_t seconds = t.tv_sec;
    localtime_r(&seconds, &local);
    char text[32];
    snprintf(text, sizeof text, "%02d:%02d:%02d.%06ld", local.tm_hour, local.tm_min, local.tm_sec,
             static_cast<long>(t.tv_usec));
    return text;
}

double Seconds(const struct timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

// The output's senders, when more than one host sent it (a failover between a pair of bridges): each
// run of datagrams from one address, and the silence before each change.
void PrintSources(FILE* text, const std::vector<SourceRun>& runs) {
    if (runs.size() < 2) {
        return;
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        const SourceRun& r = runs[k];
        fprintf(text, "output from %s: captured datagrams %zu-%zu (%zu), %s to %s",
                DottedIpv4(r.source).c_str(), r.first, r.first + r.count - 1, r.count,
                ClockTime(r.firstTime).c_str(), ClockTime(r.lastTime).c_str());
        if (k > 0) {
            fprintf(text, ", %.3f s after the previous sender's last",
                    Seconds(r.firstTime) - Seconds(runs[k - 1].lastTime));
        }
        fprintf(text, "\n");
    }
}

std::string ClockTime(int64_t micros) {
    const struct timeval t = {static_cast<time_t>(micros / 1000000),
                              static_cast<suseconds_t>(micros % 1000000)};
    return ClockTime(t);
}

// Each matched datagram's capture time minus that of its input datagram. Two captures taken on
// different hosts (or by different capture processes) share a clock only as far as those hosts'
// clocks agree; time stamps that do not even overlap say they do not, and a warning says so.
LatencySummary Latency(const Options& o, const Comparison& c, const BridgeRun& run,
                       const std::vector<int64_t>& inTimes, const std::vector<int64_t>& outTimes) {
    std::vector<LatencySample> samples;
    samples.reserve(c.pairs.size());
    for (const MatchedPair& p : c.pairs) {
        const int64_t input = run.datagrams[static_cast<size_t>(p.expected)].input;
        samples.push_back({outTimes[static_cast<size_t>(p.captured)] - inTimes[static_cast<size_t>(input)],
                           input, p.captured});
    }
    const LatencySummary s = SummarizeLatency(std::move(samples));
    std::error_code ignored;
    const bool oneFile = !IsStandardStream(o.input) && !IsStandardStream(o.output) &&
                         std::filesystem::equivalent(o.input, o.output, ignored);
    if (!oneFile && !inTimes.empty() && !outTimes.empty()) {
        const auto [inFirst, inLast] = std::minmax_element(inTimes.begin(), inTimes.end());
        const auto [outFirst, outLast] = std::minmax_element(outTimes.begin(), outTimes.end());
        if (*inLast < *outFirst || *outLast < *inFirst) {
            Note(
                "warning: the time stamps of %s (%s to %s) and %s (%s to %s) do not overlap: the two "
                "captures may not share a clock, latencies are differences between two clocks (%" PRId64
                " of %" PRId64 " negative)",
                o.input.c_str(), ClockTime(*inFirst).c_str(), ClockTime(*inLast).c_str(), o.output.c_str(),
                ClockTime(*outFirst).c_str(), ClockTime(*outLast).c_str(), s.negative, s.count);
        }
    }
    return s;
}

void PrintLatency(FILE* text, const LatencySummary& s) {
    fprintf(text,
            "latency: %" PRId64 " matched datagrams, capture time minus their input's: p50 %" PRId64
            " us, p90 %" PRId64 " us, p99 %" PRId64 " us, p99.9 %" PRId64 " us, max %" PRId64 " us, %" PRId64
            " negative\n",
            s.count, s.p50, s.p90, s.p99, s.p999, s.max, s.negative);
    for (const LatencySample& l : s.worst) {
        fprintf(text,
                "latency worst: %" PRId64 " us, captured datagram %" PRId64 " from input datagram %" PRId64
                "\n",
                l.micros, l.captured, l.input);
    }
}

void LatencyJson(JsonWriter* json, const LatencySummary& s) {
    json->BeginObject();
    json->Text("kind", "latency");
    json->Number("matched", s.count);
    json->Number("negative", s.negative);
    json->Number("p50Micros", s.p50);
    json->Number("p90Micros", s.p90);
    json->Number("p99Micros", s.p99);
    json->Number("p999Micros", s.p999);
    json->Number("maxMicros", s.max);
    json->BeginArray("worst");
    for (const LatencySample& l : s.worst) {
        json->BeginObject();
        json->Number("micros", l.micros);
        json->Number("captured", l.captured);
        json->Number("input", l.input);
        json->EndObject();
    }
    json->EndArray();
    json->EndObject();
    json->EndLine();
}

}  // namespace

int main(int argc, char** argv) {
    SetProgramName("bcst-verify");
    Options o;
    CLI::App app{
        "Runs a capture of an instance's input through the bridge's own code and compares the result, "
        "datagram by datagram, lined up by their records, with a capture of the instance's output.",
        ProgramName()};
    app.add_option("IN", o.input, "Capture of the instance's input (- for stdin)")->required();
    app.add_option("OUT", o.output, "Capture of the instance's output (- for stdin)")->required();
    CLI::Option* segment =
        app.add_option("--segment", o.segment, "The instance's MARKET_SEGMENT: CM, FO, CD or CO")
            ->check(CLI::IsMember({"CM", "FO", "CD", "CO"}));
    app.add_option("--mode", o.mode, "How the instance runs: relay converts, pass-through forwards")
        ->check(CLI::IsMember({"relay", "pass-through"}))
        ->capture_default_str();
    app.add_option("--in-filter", o.inFilter, "Only the input packets this libpcap filter takes");
    app.add_option("--out-filter", o.outFilter, "Only the output packets this libpcap filter takes");
    app.add_option("--max-report", o.maxReport, "Print at most this many differences")
        ->check(IntegerIn(0, INT64_MAX))
        ->capture_default_str();
    app.add_option("--store", o.store,
                   "Start from the instrument store this store file holds (BcstBridge<N>.store of the "
                   "instance, saved when the input capture began), as an instance restarted that day does");
    app.add_flag("--quiet", o.quiet, "Only the summary line");
    app.add_flag(
        "--latency", o.latency,
        "Each matched datagram's capture time minus its input datagram's: percentiles and the worst");
    app.add_flag("--json", o.json,
                 "JSON Lines on stdout (the latency, then the summary); the report goes to stderr");
    if (const int status = ParseCommandLine(app, argc, argv); status >= 0) {
        return status;
    }
    const VerifyMode mode = o.mode == "relay" ? VerifyMode::kRelay : VerifyMode::kPassThrough;
    if (mode == VerifyMode::kRelay && !*segment) {
        return UsageError("--segment: a relay instance's segment is needed (see --help)");
    }
    if (IsStandardStream(o.input) && IsStandardStream(o.output)) {
        return UsageError("IN and OUT cannot both be the standard input");
    }

    std::vector<DatagramBytes> input, output;
    std::vector<int64_t> inTimes, outTimes;
    std::string error;
    if (!o.store.empty() && !SetStartingStore(o.store, &error)) {
        return Fail("%s", error.c_str());
    }
    if (!ReadPayloads(o.input, o.inFilter, &input, &inTimes, &error)) {
        return Fail("%s: %s", o.input.c_str(), error.c_str());
    }
    std::vector<SourceRun> sources;
    if (!ReadPayloads(o.output, o.outFilter, &output, &outTimes, &error, &sources)) {
        return Fail("%s: %s", o.output.c_str(), error.c_str());
    }
    BridgeRun run;
    if (!RunThroughBridge(input, o.segment, mode, &run, &error)) {
        return Fail("%s", error.c_str());
    }
    for (const std::string& entry : run.logEntries) {
        Note("the bridge would log: %s", entry.c_str());
    }

    const Comparison c = CompareDatagrams(run.datagrams, output, o.quiet ? 0 : o.maxReport);
    // With --json, stdout holds JSON Lines only.
    FILE* const text = o.json ? stderr : stdout;
    for (const std::string& line : c.report) {
        fprintf(text, "%s\n", line.c_str());
    }
    if (c.unreported > 0 && !o.quiet) {
        fprintf(text, "... %" PRId64 " more differences not shown (see --max-report)\n", c.unreported);
    }
    if (!o.quiet) {
        for (const Gap& g : c.gaps) {
            fprintf(text,
                    "gap: expected datagrams %" PRId64 "-%" PRId64 " missing (%" PRId64
                    ", from input datagrams %" PRId64 "-%" PRId64 ")\n",
                    g.firstExpected, g.firstExpected + g.count - 1, g.count, g.firstInput, g.lastInput);
        }
        PrintSources(text, sources);
    }
    JsonWriter json;
    if (o.latency) {
        const LatencySummary latency = Latency(o, c, run, inTimes, outTimes);
        if (o.json) {
            LatencyJson(&json, latency);
        } else {
            PrintLatency(text, latency);
        }
    }
    const char* const verdict = c.Identical()    ? "identical"
                                : c.OnlyUnseen() ? "identical but for instruments not yet seen"
                                                 : "DIFFERENT";
    if (o.json) {
        json.BeginObject();
        json.Text("kind", "summary");
        json.Number("input", static_cast<int64_t>(input.size()));
        json.Number("expected", static_cast<int64_t>(run.datagrams.size()));
        json.Number("captured", static_cast<int64_t>(output.size()));
        json.Number("matched", c.matched);
        json.Number("differing", c.differing);
        json.Number("missing", c.missing);
        json.Number("extra", c.extra);
        json.Number("unseen", c.unseen);
        json.Number("reordered", c.reordered);
        json.Number("duplicated", c.duplicates);
        json.Number("capturedBefore", c.capturedBefore);
        json.Number("expectedBefore", c.expectedBefore);
        json.Text("verdict", verdict);
        json.EndObject();
        json.EndLine();
        fputs(json.str().c_str(), stdout);
    }
    fprintf(text,
            "%s: %zu input datagrams, %zu expected, %zu captured: %" PRId64 " matched, %" PRId64
            " differing, %" PRId64 " missing, %" PRId64 " extra, %" PRId64
            " differing only for instruments not yet seen in the input, %" PRId64 " reordered, %" PRId64
            " duplicated, %" PRId64 " captured and %" PRId64 " expected before the capture; %s\n",
            ProgramName(), input.size(), run.datagrams.size(), output.size(), c.matched, c.differing,
            c.missing, c.extra, c.unseen, c.reordered, c.duplicates, c.capturedBefore, c.expectedBefore,
            verdict);
    fflush(stdout);
    if (c.Identical()) {
        return kExitSuccess;
    }
    return c.OnlyUnseen() ? kExitOnlyUnseen : kExitFailure;
}
