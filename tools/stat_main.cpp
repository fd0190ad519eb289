// bcst-stat: shows the live counters of running bridge instances from their BcstBridge<N>.counters
// files, as a table refreshed every second, one table, JSON Lines or Prometheus text.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "app/counters_reader.h"
#include "app/process_identity.h"
#include "tools/cli.h"
#include "tools/json.h"
#include "tools/percentiles.h"
#include "tools/udp.h"

namespace {

constexpr char kServiceDirectory[] = "/var/lib/bcstbridge";

struct Options {
    std::string directory;
    int instance = 0;  // 0: every instance in the directory
    bool once = false;
    bool json = false;
    bool prometheus = false;
    bool check = false;
    double interval = 1;
    int count = 0;  // refreshes of the live view; 0: until interrupted
};

// One counters file as read at one moment.
struct Sample {
    std::string path;
    int instance = 0;  // from the file name, for ordering and for files that cannot be read
    bool valid = false;
    std::string error;
    const char* reason = "unreadable";  // in a word, for the reason label of a down instance
    CountersSnapshot counters = {};
    bool running = false;
    bool stalled = false;     // running, but its loop has not ticked for kCountersStalledAfterNs
    int64_t monotonicNs = 0;  // when it was read
    int64_t realtimeNs = 0;
};

int64_t ClockNs(clockid_t clock) {
    struct timespec now;
    clock_gettime(clock, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Sleeps for the interval of the options; a stop signal cuts it short.
void Pause(const Options& o) {
    bcst::SleepUntil(bcst::MonotonicSeconds() + o.interval);
}

// The instance number of a file name "BcstBridge<N>.counters", or false for any other name.
bool InstanceOfName(const std::string& name, int* instance) {
    static const std::string prefix = "BcstBridge", suffix = ".counters";
    if (name.size() <= prefix.size() + suffix.size() || name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const std::string number = name.substr(prefix.size(), name.size() - prefix.size() - suffix.size());
    char* end = nullptr;
    const long value = strtol(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || value < -32768 || value > 32767) {
        return false;
    }
    *instance = static_cast<int>(value);
    return true;
}

// One instance seen through two names (a symbolic or a hard link to its counters file) is shown once:
// under the file's own name, or the lowest instance number when the names are alike.
void DropSecondNames(std::vector<Sample>* files) {
    struct Identity {
        dev_t device;
        ino_t inode;
        bool link;
    };
    std::vector<Identity> identities;
    for (const Sample& s : *files) {
        struct stat target = {}, name = {};
        const bool found = stat(s.path.c_str(), &target) == 0;
        lstat(s.path.c_str(), &name);
        // A name that cannot be followed keeps its own identity: it is shown (as down) on its own.
        identities.push_back(
            {found ? target.st_dev : 0, found ? target.st_ino : 0, !found || S_ISLNK(name.st_mode)});
    }
    std::vector<bool> drop(files->size(), false);
    for (size_t i = 0; i < files->size(); ++i) {
        for (size_t j = 0; j < files->size() && !drop[i]; ++j) {
            const bool same = j != i && !drop[j] && identities[i].inode != 0 &&
                              identities[i].device == identities[j].device &&
                              identities[i].inode == identities[j].inode;
            // A link goes before the file's own name; of two alike (links, or hard links), the later one
            // in instance order.
            drop[i] =
                same && (identities[i].link ? !identities[j].link || j < i : !identities[j].link && j < i);
        }
    }
    std::vector<Sample> kept;
    for (size_t i = 0; i < files->size(); ++i) {
        if (!drop[i]) {
            kept.push_back((*files)[i]);
        }
    }
    files->swap(kept);
}

// The counters files to show, ordered by instance; false with a message when there are none.
bool FindFiles(const Options& o, std::vector<Sample>* files, std::string* error) {
    if (o.instance != 0) {
        Sample s;
        s.instance = o.instance;
        s.path = o.directory + "/" + CountersFileName(o.instance);
        files->push_back(s);
        return true;
    }
    DIR* dir = opendir(o.directory.c_str());
    if (dir == nullptr) {
        *error = o.directory + ": " + strerror(errno);
        return false;
    }
    while (const struct dirent* entry = readdir(dir)) {
        Sample s;
        if (InstanceOfName(entry->d_name, &s.instance)) {
            s.path = o.directory + "/" + entry->d_name;
            files->push_back(s);
        }
    }
    closedir(dir);
    std::sort(files->begin(), files->end(),
              [](const Sample& a, const Sample& b) { return a.instance < b.instance; });
    DropSecondNames(files);
    if (files->empty()) {
        *error = "no BcstBridge*.counters file in " + o.directory;
        return false;
    }
    return true;
}

// Whether `directory` holds the counters file of `instance`, or any counters file for instance 0.
bool HasCountersFiles(const std::string& directory, int instance) {
    if (instance != 0) {
        return access((directory + "/" + CountersFileName(instance)).c_str(), F_OK) == 0;
    }
    DIR* dir = opendir(directory.c_str());
    bool found = false;
    int ignored;
    while (dir != nullptr && !found) {
        const struct dirent* entry = readdir(dir);
        if (entry == nullptr) {
            break;
        }
        found = InstanceOfName(entry->d_name, &ignored);
    }
    if (dir != nullptr) {
        closedir(dir);
    }
    return found;
}

int64_t Value(const Sample& s, CounterId id) {
    return SnapshotValue(s.counters, id);
}

// Since the loop's latest tick (since the start, before the first one).
int64_t HeartbeatAgeNs(const Sample& s) {
    const int64_t beat = Value(s, kCounterHeartbeatNs);
    return s.monotonicNs - (beat != 0 ? beat : s.counters.header.startMonotonicNs);
}

void Read(Sample* s) {
    s->monotonicNs = ClockNs(CLOCK_MONOTONIC);
    s->realtimeNs = ClockNs(CLOCK_REALTIME);
    s->valid = ReadCountersFile(s->path, &s->counters, &s->error, &s->reason) == 0;
    s->running = s->valid && ProcessRunning(s->counters.header.pid, s->counters.header.startTicks);
    s->stalled = s->running && HeartbeatAgeNs(*s) > kCountersStalledAfterNs;
}

// "running" (an idle feed included), "stalled" (the process is there, its loop is not) or "not running".
const char* State(const Sample& s) {
    return !s.running ? "not running" : s.stalled ? "stalled" : "running";
}

// A bridge without the standby role (an older one) always sends: absent counts as active.
bool Standby(const Sample& s) {
    return Value(s, kCounterStandby) != 0;
}
const char* Role(const Sample& s) {
    return Standby(s) ? "standby" : "active";
}
// Sending now: running and not standby. A pair whose instance is active on both hosts publishes twice.
bool Active(const Sample& s) {
    return s.running && !Standby(s);
}

int64_t Refused(const Sample& s) {
    int64_t total = 0;
    for (int id = kCounterRefusedUnknownType; id <= kCounterRefusedWrongRecordSize; ++id) {
        total += SnapshotValue(s.counters, id);
    }
    return total;
}

// The earlier sample of the same file written by the same process, or null.
const Sample* Earlier(const Sample& s, const std::vector<Sample>& previous) {
    for (const Sample& p : previous) {
        if (p.path == s.path && p.valid && p.counters.header.pid == s.counters.header.pid &&
            p.counters.header.startTicks == s.counters.header.startTicks) {
            return &p;
        }
    }
    return nullptr;
}

// Service times (or, with `wire`, wire latencies: from the kernel's arrival stamp to the output's
// send) over the interval since `before`: p50, p99, p99.9 and the longest, in ns; -1 each when the
// interval is unknown or nothing was counted in it.
struct Latency {
    int64_t p50 = -1, p99 = -1, p999 = -1, max = -1;
};
Latency IntervalLatency(const Sample& s, const Sample* before, bool wire = false) {
    Latency l;
    if (before == nullptr) {
        return l;
    }
    const int64_t longest = Value(s, wire ? kCounterMaxWireNs : kCounterMaxServiceNs);
    const auto percentile = wire ? WirePercentileNs : ServicePercentileNs;
    l.p50 = percentile(s.counters, &before->counters, 0.5, longest);
    l.p99 = percentile(s.counters, &before->counters, 0.99, longest);
    l.p999 = percentile(s.counters, &before->counters, 0.999, longest);
    l.max = (wire ? WireMaxNs : ServiceMaxNs)(s.counters, &before->counters, longest);
    return l;
}

// What the wire-latency histogram holds: "measured"; "no stamps" when output left but the kernel gave
// no arrival stamp for any of it; "nothing sent" yet; "absent" from an older bridge's file.
const char* WireState(const Sample& s) {
    if (!s.counters.wireHistogram) {
        return "absent";
    }
    if (s.counters.wireCount != 0) {
        return "measured";
    }
    return Value(s, kCounterSent) != 0 ? "no stamps" : "nothing sent";
}

// "850us", "1.2ms", "2.50s", or "-" for none.
std::string Duration(int64_t ns) {
    char text[32];
    if (ns < 0) {
        return "-";
    }
    if (ns < 1000000) {
        snprintf(text, sizeof text, "%" PRId64 "us", (ns + 999) / 1000);
    } else if (ns < 1000000000) {
        snprintf(text, sizeof text, "%.1fms", static_cast<double>(ns) / 1e6);
    } else {
        snprintf(text, sizeof text, "%.2fs", static_cast<double>(ns) / 1e9);
    }
    return text;
}

std::string Segment(const Sample& s) {
    std::string text(s.counters.header.segment,
                     strnlen(s.counters.header.segment, sizeof s.counters.header.segment));
    for (char& c : text) {
        if (static_cast<unsigned char>(c) < 0x20 || static_cast<unsigned char>(c) >= 0x7F) {
            c = '?';
        }
    }
    return text;
}

// Wall-clock seconds of a monotonic reading in the bridge, through the pair stored at its start.
double WallSeconds(const Sample& s, int64_t monotonicNs) {
    const BCST_COUNTERS_HEADER& h = s.counters.header;
    return static_cast<double>(h.startRealtimeNs + (monotonicNs - h.startMonotonicNs)) / 1e9;
}

std::string LastFrameAge(const Sample& s) {
    const int64_t last = Value(s, kCounterLastAcceptedNs);
    if (last == 0) {
        return "never";
    }
    const double age = static_cast<double>(s.monotonicNs - last) / 1e9;
    char text[32];
    if (age < 60) {
        snprintf(text, sizeof text, "%.1fs ago", age < 0 ? 0.0 : age);
    } else if (age < 3600) {
        snprintf(text, sizeof text, "%.0fm ago", age / 60);
    } else {
        snprintf(text, sizeof text, "%.1fh ago", age / 3600);
    }
    return text;
}

std::string Rate(const Sample& now, const Sample* before, CounterId id) {
    if (before == nullptr || !before->valid || now.monotonicNs <= before->monotonicNs) {
        return "-";
    }
    const double seconds = static_cast<double>(now.monotonicNs - before->monotonicNs) / 1e9;
    char text[32];
    snprintf(text, sizeof text, "%.0f", static_cast<double>(Value(now, id) - Value(*before, id)) / seconds);
    return text;
}

// One table; `previous` (same files, read a refresh earlier) gives the rates.
std::string Table(const Options& o, const std::vector<Sample>& samples, const std::vector<Sample>& previous) {
    std::string out;
    char line[512];
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    snprintf(line, sizeof line, "bcst-stat  %s  %s\n", o.directory.c_str(), stamp);
    out += line;
    snprintf(line, sizeof line,
             "%5s %-4s %-12s %-7s %-11s %7s %8s %8s %12s %12s %8s %8s %8s %8s %11s %9s %7s %7s %7s %7s\n",
             "INST", "SEG", "MODE", "ROLE", "STATE", "PID", "RECV/s", "SENT/s", "RECEIVED", "SENT", "DROPS",
             "REFUSED", "SENDERR", "STORE", "LAST FRAME", "MAX SVC", "P50", "P99", "P99.9", "MAX");
    out += line;
    std::string details;
    for (const Sample& s : samples) {
        if (!s.valid) {
            snprintf(line, sizeof line, "%5d %s: %s\n", s.instance, s.path.c_str(), s.error.c_str());
            out += line;
            continue;
        }
        const Sample* before = Earlier(s, previous);
        const Latency latency = IntervalLatency(s, before);
        const BCST_COUNTERS_HEADER& h = s.counters.header;
        char service[32];
        snprintf(service, sizeof service, "%.3fms",
                 static_cast<double>(Value(s, kCounterMaxServiceNs)) / 1e6);
        snprintf(line, sizeof line,
                 "%5d %-4s %-12s %-7s %-11s %7d %8s %8s %12" PRId64 " %12" PRId64 " %8" PRId64 " %8" PRId64
                 " %8" PRId64 " %8" PRId64 " %11s %9s %7s %7s %7s %7s\n",
                 h.instance, Segment(s).c_str(), CountersModeName(h.mode), Role(s), State(s), h.pid,
                 s.running ? Rate(s, before, kCounterReceived).c_str() : "-",
                 s.running ? Rate(s, before, kCounterSent).c_str() : "-", Value(s, kCounterReceived),
                 Value(s, kCounterSent), Value(s, kCounterKernelDrops), Refused(s),
                 Value(s, kCounterSendErrors), Value(s, kCounterStoreEntries), LastFrameAge(s).c_str(),
                 service, Duration(latency.p50).c_str(), Duration(latency.p99).c_str(),
                 Duration(latency.p999).c_str(), Duration(latency.max).c_str());
        out += line;
        // Counters of a newer bridge than this bcst-stat, by what their metadata says.
        for (int id = kCounterCount; id < s.counters.counterCount; ++id) {
            const BCST_COUNTER_METADATA& m = s.counters.metadata[id];
            snprintf(line, sizeof line, "      instance %d %s: %" PRId64 " (%s)\n", h.instance, m.key,
                     s.counters.values[id], m.label);
            details += line;
        }
        const std::string wire = WireState(s);
        if (wire == "measured") {
            const Latency w = IntervalLatency(s, before, true);
            snprintf(line, sizeof line, "      instance %d wire latency: p50 %s, p99 %s, p99.9 %s, max %s\n",
                     h.instance, Duration(w.p50).c_str(), Duration(w.p99).c_str(), Duration(w.p999).c_str(),
                     Duration(w.max).c_str());
            details += line;
        } else if (wire == "no stamps") {
            snprintf(line, sizeof line,
                     "      instance %d wire latency: none, the kernel gives this socket no arrival stamps\n",
                     h.instance);
            details += line;
        }
        if (Refused(s) != 0) {
            snprintf(line, sizeof line,
                     "      instance %d refused: %" PRId64 " unknown type, %" PRId64 " zero count, %" PRId64
                     " bad length, %" PRId64 " decode failure, %" PRId64 " wrong record size\n",
                     h.instance, Value(s, kCounterRefusedUnknownType), Value(s, kCounterRefusedZeroCount),
                     Value(s, kCounterRefusedBadLength), Value(s, kCounterRefusedDecodeFailure),
                     Value(s, kCounterRefusedWrongRecordSize));
            details += line;
        }
    }
    return out + details;
}

// `previous`, read an interval earlier, gives the service-time percentiles over that interval.
std::string JsonLines(const std::vector<Sample>& samples, const std::vector<Sample>& previous) {
    bcst::JsonWriter json;
    for (const Sample& s : samples) {
        if (!s.valid) {
            continue;
        }
        const Sample* before = Earlier(s, previous);
        const BCST_COUNTERS_HEADER& h = s.counters.header;
        json.BeginObject();
        json.Number("time_ms", s.realtimeNs / 1000000);
        json.Text("file", s.path);
        json.Number("instance", h.instance);
        json.Text("segment", Segment(s));
        json.Text("mode", CountersModeName(h.mode));
        json.Text("send_path", CountersSendPathName(h.sendPath));
        json.Number("pid", h.pid);
        json.Text("state", State(s));
        json.Text("role", Role(s));
        json.Number("start_time_ms", h.startRealtimeNs / 1000000);
        // Every counter of the file by its own key, those of a newer bridge included; time stamps as ages.
        for (int id = 0; id < s.counters.counterCount; ++id) {
            if (s.counters.metadata[id].typeId != kCounterTypeTimestampNs) {
                json.Number(s.counters.metadata[id].key, s.counters.values[id]);
            }
        }
        const int64_t last = Value(s, kCounterLastAcceptedNs);
        json.Number("last_frame_age_ms", last == 0 ? -1 : (s.monotonicNs - last) / 1000000);
        json.Number("heartbeat_age_ms", HeartbeatAgeNs(s) / 1000000);
        // As in the Prometheus output: the start time until the first change.
        const int64_t changed = Value(s, kCounterRoleChangedNs);
        json.Number("role_changed_time_ms", changed == 0
                                                ? h.startRealtimeNs / 1000000
                                                : static_cast<int64_t>(WallSeconds(s, changed) * 1000));
        const Latency latency = IntervalLatency(s, before);
        json.Number("interval_ms", before == nullptr ? -1 : (s.monotonicNs - before->monotonicNs) / 1000000);
        json.Number("service_p50_ns", latency.p50);
        json.Number("service_p99_ns", latency.p99);
        json.Number("service_p999_ns", latency.p999);
        json.Number("service_max_ns", latency.max);
        const Latency wire = IntervalLatency(s, before, true);
        json.Text("wire_latency", WireState(s));
        json.Number("wire_p50_ns", wire.p50);
        json.Number("wire_p99_ns", wire.p99);
        json.Number("wire_p999_ns", wire.p999);
        json.Number("wire_max_ns", wire.max);
        json.EndObject();
        json.EndLine();
    }
    return json.str();
}

// The label set of an instance: instance and segment, then `extra` pairs.
std::string Labels(const Sample& s, const std::string& extra) {
    std::string text = "{instance=\"" + std::to_string(s.counters.header.instance) + "\",segment=\"";
    for (const char c : Segment(s)) {
        text += c == '"' || c == '\\' ? std::string("\\") + c : std::string(1, c);
    }
    text += '"';
    if (!extra.empty()) {
        text += "," + extra;
    }
    return text + "}";
}

// Prometheus text exposition: each family once, with its HELP and TYPE lines, one sample per instance.
// The counters' families come from each file's metadata, so a newer bridge's counters are published
// too. An instance whose file cannot be read is published as down, with the reason.
std::string Prometheus(const std::vector<Sample>& samples) {
    std::vector<const Sample*> valid;
    for (const Sample& s : samples) {
        if (s.valid) {
            valid.push_back(&s);
        }
    }
    std::string out;
    char line[512];
    auto family = [&](const char* name, const char* type, const char* help) {
        snprintf(line, sizeof line, "# HELP bcstbridge_%s %s\n# TYPE bcstbridge_%s %s\n", name, help, name,
                 type);
        out += line;
    };
    auto sample = [&](const std::string& name, const Sample& s, const std::string& extra, const char* value) {
        out += "bcstbridge_" + name + Labels(s, extra) + " " + value + "\n";
    };
    char value[64];

    family(
        "up", "gauge",
        "1 while the instance's process runs; 0 when its counters file outlived it (reason=\"not_running\") "
        "or cannot be read (reason says why).");
    for (const Sample& s : samples) {
        if (!s.valid) {
            out += "bcstbridge_up{instance=\"" + std::to_string(s.instance) + "\",reason=\"" + s.reason +
                   "\"} 0\n";
        } else {
            sample("up", s, s.running ? "" : "reason=\"not_running\"", s.running ? "1" : "0");
        }
    }
    family(
        "stalled", "gauge",
        "1 while the instance's process runs but its loop has not ticked for over 2 s (stopped or wedged).");
    for (const Sample* s : valid) {
        sample("stalled", *s, "", s->stalled ? "1" : "0");
    }
    family("active", "gauge",
           "1 while the instance runs and sends (not standby); summed over a pair, above 1 means both "
           "hosts publish.");
    for (const Sample* s : valid) {
        sample("active", *s, "", Active(*s) ? "1" : "0");
    }
    family("info", "gauge", "Mode and send path of the instance; always 1.");
    for (const Sample* s : valid) {
        const std::string extra = std::string("mode=\"") + CountersModeName(s->counters.header.mode) +
                                  "\",send_path=\"" + CountersSendPathName(s->counters.header.sendPath) +
                                  "\"";
        sample("info", *s, extra, "1");
    }
    // Families in the order the files first name them; each family's members, instance by instance.
    std::vector<std::string> done;
    for (const Sample* first : valid) {
        for (int id = 0; id < first->counters.counterCount; ++id) {
            const BCST_COUNTER_METADATA& d = first->counters.metadata[id];
            if (d.family[0] == '\0' || std::find(done.begin(), done.end(), d.family) != done.end()) {
                continue;
            }
            done.push_back(d.family);
            family(d.family, d.typeId == kCounterTypeTotal ? "counter" : "gauge", d.label);
            for (const Sample* s : valid) {
                for (int member = 0; member < s->counters.counterCount; ++member) {
                    const BCST_COUNTER_METADATA& m = s->counters.metadata[member];
                    if (strcmp(m.family, d.family) == 0) {
                        snprintf(value, sizeof value, "%" PRId64, s->counters.values[member]);
                        sample(d.family, *s, m.labels, value);
                    }
                }
            }
        }
    }
    family("start_time_seconds", "gauge", "When the instance started, in seconds since the epoch.");
    for (const Sample* s : valid) {
        snprintf(value, sizeof value, "%.3f", static_cast<double>(s->counters.header.startRealtimeNs) / 1e9);
        sample("start_time_seconds", *s, "", value);
    }
    // A time stamp counter in seconds since the epoch; the start time while it is still 0 (never).
    auto timestamp = [&](const char* name, CounterId id) {
        for (const Sample* s : valid) {
            const int64_t at = Value(*s, id);
            snprintf(value, sizeof value, "%.3f",
                     at == 0 ? static_cast<double>(s->counters.header.startRealtimeNs) / 1e9
                             : WallSeconds(*s, at));
            sample(name, *s, "", value);
        }
    };
    family("role_changed_timestamp_seconds", "gauge",
           "When the instance last changed between active and standby, in seconds since the epoch (the start "
           "time before the first change).");
    timestamp("role_changed_timestamp_seconds", kCounterRoleChangedNs);
    family(
        "last_frame_timestamp_seconds", "gauge",
        "When the last datagram was accepted, in seconds since the epoch (the start time before the first).");
    timestamp("last_frame_timestamp_seconds", kCounterLastAcceptedNs);
    family("max_frame_service_seconds", "gauge", "Longest handling of one datagram since the start.");
    for (const Sample* s : valid) {
        snprintf(value, sizeof value, "%.9f", static_cast<double>(Value(*s, kCounterMaxServiceNs)) / 1e9);
        sample("max_frame_service_seconds", *s, "", value);
    }
    // A histogram on the file's bounds: cumulative buckets, the sum and the count.
    auto histogram = [&](const std::string& name, const Sample& s, const int64_t* buckets, int64_t sumNs) {
        const CountersSnapshot& c = s.counters;
        int64_t cumulative = 0;
        for (int i = 0; i < c.histogramBuckets; ++i) {
            cumulative += buckets[i];
            char le[48];
            if (c.boundsNs[i] == INT64_MAX) {
                snprintf(le, sizeof le, "le=\"+Inf\"");
            } else {
                snprintf(le, sizeof le, "le=\"%g\"", static_cast<double>(c.boundsNs[i]) / 1e9);
            }
            snprintf(value, sizeof value, "%" PRId64, cumulative);
            sample(name + "_bucket", s, le, value);
        }
        if (c.histogramBuckets == 0) {
            sample(name + "_bucket", s, "le=\"+Inf\"", "0");
        }
        snprintf(value, sizeof value, "%.9f", static_cast<double>(sumNs) / 1e9);
        sample(name + "_sum", s, "", value);
        // The buckets' total rather than the count cell, so that +Inf and _count always agree.
        snprintf(value, sizeof value, "%" PRId64, cumulative);
        sample(name + "_count", s, "", value);
    };
    family(
        "service_seconds", "histogram",
        "Handling of one datagram (a batch in pass-through), from its receipt to the end of its handling.");
    for (const Sample* s : valid) {
        histogram("service_seconds", *s, s->counters.buckets, s->counters.histogramSumNs);
    }
    // An older bridge's file has no wire histogram: no samples for it. One that has it but got no
    // arrival stamps from the kernel stays at 0.
    family("wire_latency_seconds", "histogram",
           "From the kernel's arrival stamp of a datagram (the first of a batch in pass-through) to the "
           "return of the send that carried its last output.");
    for (const Sample* s : valid) {
        if (s->counters.wireHistogram) {
            histogram("wire_latency_seconds", *s, s->counters.wireBuckets, s->counters.wireSumNs);
        }
    }
    return out;
}

// Reads every file once; reports the unreadable ones on stderr. 1 when any could not be read.
int ReadAll(std::vector<Sample>* samples, bool report) {
    int status = 0;
    for (Sample& s : *samples) {
        Read(&s);
        if (!s.valid) {
            status = 1;
            if (report) {
                bcst::Note("%s: %s", s.path.c_str(), s.error.c_str());
            }
        }
    }
    return status;
}

// Health for keepalived's track_script and other checks: quiet and 0 when every instance runs and its
// loop ticks; otherwise 1 and one line for each one that does not.
int Check(std::vector<Sample>* samples) {
    int status = bcst::kExitSuccess;
    for (Sample& s : *samples) {
        Read(&s);
        if (!s.valid) {
            bcst::Note("instance %d: %s: %s", s.instance, s.path.c_str(), s.error.c_str());
        } else if (!s.running) {
            bcst::Note("instance %d: not running", s.counters.header.instance);
        } else if (s.stalled) {
            bcst::Note("instance %d: stalled (loop last ticked %.1f s ago)", s.counters.header.instance,
                       static_cast<double>(HeartbeatAgeNs(s)) / 1e9);
        } else {
            continue;
        }
        status = bcst::kExitFailure;
    }
    return status;
}

// The directory is listed again for every refresh, so instances started meanwhile appear.
int LiveView(const Options& o) {
    bcst::InstallStopSignals();
    const bool screen = isatty(STDOUT_FILENO);
    std::vector<Sample> previous;
    for (int shown = 0; !bcst::gStopRequested && (o.count == 0 || shown < o.count); ++shown) {
        if (shown > 0) {
            Pause(o);
            if (bcst::gStopRequested) {
                break;
            }
        }
        std::vector<Sample> samples;
        std::string error;
        std::string table;
        if (FindFiles(o, &samples, &error)) {
            ReadAll(&samples, false);
            table = Table(o, samples, previous);
        } else {
            table = std::string(bcst::ProgramName()) + ": " + error + "\n";
        }
        printf("%s%s%s", screen ? "\033[H\033[J" : "", table.c_str(), screen ? "" : "\n");
        if (screen && o.count == 0) {
            printf("(every %gs; Ctrl-C quits)\n", o.interval);
        }
        fflush(stdout);
        previous = samples;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    bcst::SetProgramName("bcst-stat");
    Options o;
    CLI::App app{
        "Shows the live counters of bcstbridge instances from their BcstBridge<N>.counters files: a table "
        "refreshed every second, or one table, JSON Lines or Prometheus text.",
        bcst::ProgramName()};
    app.add_option("directory", o.directory,
                   "Where the counters files are (default: the working directory if it has any, else " +
                       std::string(kServiceDirectory) + ")");
    app.add_option("-i,--instance", o.instance, "Only this instance")->check(bcst::IntegerIn(-32768, 32767));
    app.add_flag("--once", o.once, "Print one table and exit");
    CLI::Option* json = app.add_flag(
        "--json", o.json,
        "Print one JSON object per instance and exit, after one interval: the service-time percentiles "
        "are those of that interval");
    app.add_flag("--prometheus", o.prometheus, "Print the Prometheus text exposition format and exit")
        ->excludes(json);
    app.add_flag("--check", o.check,
                 "Print nothing and exit 0 when every instance runs and its loop ticks; otherwise exit 1 "
                 "with a line for each one that does not (a health check, e.g. keepalived's track_script)")
        ->excludes(json)
        ->excludes("--prometheus");
    app.add_option("--interval", o.interval, "Seconds between refreshes of the live view")
        ->check(CLI::Validator(
            [](std::string& text) -> std::string {
                char* end = nullptr;
                const double seconds = strtod(text.c_str(), &end);
                return !text.empty() && *end == '\0' && seconds >= 0.1 && seconds <= 3600
                           ? ""
                           : "'" + text + "' is not a number of seconds from 0.1 to 3600";
            },
            "SECONDS"))
        ->capture_default_str();
    app.add_option("-n,--count", o.count, "Refreshes of the live view before exiting (default: until Ctrl-C)")
        ->check(bcst::IntegerIn(1, 1000000000));
    if (const int status = bcst::ParseCommandLine(app, argc, argv); status >= 0) {
        return status;
    }
    if (o.instance == 0 && app.count("--instance") != 0) {
        return bcst::UsageError("--instance: instance 0 does not exist (see --help)");
    }

    if (o.directory.empty()) {
        o.directory = HasCountersFiles(".", o.instance) ? "." : kServiceDirectory;
    }
    std::vector<Sample> samples;
    std::string error;
    if (!FindFiles(o, &samples, &error)) {
        return bcst::Fail("%s", error.c_str());
    }
    if (o.check) {
        return Check(&samples);
    }
    if (o.prometheus) {
        const int status = ReadAll(&samples, true);
        const std::string text = Prometheus(samples);
        fwrite(text.data(), 1, text.size(), stdout);
        return status;
    }
    if (o.json) {
        std::vector<Sample> first = samples;
        ReadAll(&first, false);
        Pause(o);
        const int status = ReadAll(&samples, true);
        const std::string text = JsonLines(samples, first);
        fwrite(text.data(), 1, text.size(), stdout);
        return status;
    }
    if (o.once) {
        const int status = ReadAll(&samples, true);
        const std::string table = Table(o, samples, {});
        fwrite(table.data(), 1, table.size(), stdout);
        return status;
    }
    return LiveView(o);
}
