// bcst-verify: proves what an instance sent. The input capture goes through the bridge's own code and
// the datagrams that gives are lined up, by their records, with the capture of the instance's output.
#include <sys/time.h>

#include <CLI/CLI.hpp>
#include <cinttypes>
#include <cstdio>
#include <ctime>
#include <string>
#include <vector>

#include "mbp/framing.h"
#include "tools/capture.h"
#include "tools/cli.h"
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

// The UDP payloads of a capture, segmented super-packets cut into their 512-byte datagrams; `sources`
// (when given) gets the runs of their source addresses.
bool ReadPayloads(const std::string& path, const std::string& filter, std::vector<DatagramBytes>* out,
                  std::string* error, std::vector<SourceRun>* sources = nullptr) {
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
void PrintSources(const std::vector<SourceRun>& runs) {
    if (runs.size() < 2) {
        return;
    }
    for (size_t k = 0; k < runs.size(); ++k) {
        const SourceRun& r = runs[k];
        printf("output from %s: captured datagrams %zu-%zu (%zu), %s to %s", DottedIpv4(r.source).c_str(),
               r.first, r.first + r.count - 1, r.count, ClockTime(r.firstTime).c_str(),
               ClockTime(r.lastTime).c_str());
        if (k > 0) {
            printf(", %.3f s after the previous sender's last",
                   Seconds(r.firstTime) - Seconds(runs[k - 1].lastTime));
        }
        printf("\n");
    }
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
    std::string error;
    if (!o.store.empty() && !SetStartingStore(o.store, &error)) {
        return Fail("%s", error.c_str());
    }
    if (!ReadPayloads(o.input, o.inFilter, &input, &error)) {
        return Fail("%s: %s", o.input.c_str(), error.c_str());
    }
    std::vector<SourceRun> sources;
    if (!ReadPayloads(o.output, o.outFilter, &output, &error, &sources)) {
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
    for (const std::string& line : c.report) {
        printf("%s\n", line.c_str());
    }
    if (c.unreported > 0 && !o.quiet) {
        printf("... %" PRId64 " more differences not shown (see --max-report)\n", c.unreported);
    }
    if (!o.quiet) {
        for (const Gap& g : c.gaps) {
            printf("gap: expected datagrams %" PRId64 "-%" PRId64 " missing (%" PRId64
                   ", from input datagrams %" PRId64 "-%" PRId64 ")\n",
                   g.firstExpected, g.firstExpected + g.count - 1, g.count, g.firstInput, g.lastInput);
        }
        PrintSources(sources);
    }
    printf("%s: %zu input datagrams, %zu expected, %zu captured: %" PRId64 " matched, %" PRId64
           " differing, %" PRId64 " missing, %" PRId64 " extra, %" PRId64
           " differing only for instruments not yet seen in the input, %" PRId64 " reordered, %" PRId64
           " duplicated, %" PRId64 " captured and %" PRId64 " expected before the capture; %s\n",
           ProgramName(), input.size(), run.datagrams.size(), output.size(), c.matched, c.differing,
           c.missing, c.extra, c.unseen, c.reordered, c.duplicates, c.capturedBefore, c.expectedBefore,
           c.Identical()    ? "identical"
           : c.OnlyUnseen() ? "identical but for instruments not yet seen"
                            : "DIFFERENT");
    fflush(stdout);
    if (c.Identical()) {
        return kExitSuccess;
    }
    return c.OnlyUnseen() ? kExitOnlyUnseen : kExitFailure;
}
