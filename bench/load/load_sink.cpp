// load_sink: the downstream side of the load benchmark. Counts the relay's output datagrams on the
// loopback group and, around the run, reads the relay process's CPU time and the kernel's drop
// counters: the drops column of the relay's receive socket in /proc/net/udp and RcvbufErrors in
// /proc/net/snmp.
//
//   load_sink --group 239.40.x.y --port P --relay-pid PID --relay-port RP --ready-file F --done-file D
//             [--quiet-ms 300] [--max-seconds 30] [--stride N --stamps FILE [--kernel-stamps]]
//
// Writes the ready file once it has joined and taken its first readings. Stops when the done file
// exists (the generator has finished) and no datagram has come for the quiet time, or at the latest
// after max-seconds. Prints key=value pairs. With --stamps (the generator's send times) and --stride
// (output datagrams per input datagram: 21 for a 42-record frame, 1 in pass-through), it also prints
// the latency from each input's send to the arrival of its last output datagram, as percentiles;
// only when nothing was lost, since a loss breaks the pairing of inputs and outputs. The arrival is
// then read on the sink's monotonic clock after it wakes up.
//
// --kernel-stamps (with load_gen --probe) takes instead the kernel's receive stamp of every output
// datagram (SO_TIMESTAMPNS, CLOCK_REALTIME, the clock of the probe's send stamps) and pairs outputs
// with inputs by the tag they carry (probe_match.h), so that a loss breaks nothing: the latency of
// an input is the stamp of its last output datagram minus its send stamp, over the inputs with all
// their outputs, and inputs_lost counts the others.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "feed/byte_order.h"
#include "mbp/framing.h"
#include "probe_match.h"
#include "tools/udp.h"

namespace {

struct Options {
    std::string group;
    int port = 0;
    int relayPid = 0;
    int relayPort = 0;
    std::string readyFile;
    std::string doneFile;
    int quietMs = 300;
    double maxSeconds = 30;
    int stride = 0;
    std::string stamps;
    bool kernelStamps = false;
};

// Where the bridge puts the first record's trade time, the probe tag, in an output datagram.
constexpr size_t kTagOffset = sizeof(BCAST_FRAME_HEAD) + offsetof(MS_BCAST_ONLY_MBP_CM, records) +
                              offsetof(OLD_MBP_RECORD_CM, lastTradeTime);

bool Parse(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--kernel-stamps") {
            o->kernelStamps = true;
            --i;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char* value = argv[i + 1];
        if (arg == "--group") {
            o->group = value;
        } else if (arg == "--port") {
            o->port = atoi(value);
        } else if (arg == "--relay-pid") {
            o->relayPid = atoi(value);
        } else if (arg == "--relay-port") {
            o->relayPort = atoi(value);
        } else if (arg == "--ready-file") {
            o->readyFile = value;
        } else if (arg == "--done-file") {
            o->doneFile = value;
        } else if (arg == "--quiet-ms") {
            o->quietMs = atoi(value);
        } else if (arg == "--max-seconds") {
            o->maxSeconds = atof(value);
        } else if (arg == "--stride") {
            o->stride = atoi(value);
        } else if (arg == "--stamps") {
            o->stamps = value;
        } else {
            return false;
        }
    }
    return o->group.rfind("239.", 0) == 0 && (!o->kernelStamps || (o->stride > 0 && !o->stamps.empty())) &&
           o->port > 0 && o->relayPid > 0 && o->relayPort > 0 && !o->readyFile.empty() &&
           !o->doneFile.empty() && o->maxSeconds <= 120;
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

bool Exists(const std::string& path) {
    return access(path.c_str(), F_OK) == 0;
}

// utime and stime of a process from /proc/<pid>/stat, in nanoseconds (clock-tick resolution).
bool UserAndSystemNs(int pid, long long* user, long long* system) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');  // the command name may hold blanks
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 2));
    std::string field;
    const long long tick = 1000000000LL / sysconf(_SC_CLK_TCK);
    for (int n = 3; fields >> field; ++n) {  // field 3 is the state
        if (n == 14) {
            *user = atoll(field.c_str()) * tick;
        } else if (n == 15) {
            *system = atoll(field.c_str()) * tick;
            return true;
        }
    }
    return false;
}

// CPU time of a whole process in nanoseconds: its process CPU clock, or utime + stime where that
// clock cannot be read.
long long ProcessCpuNs(int pid) {
    clockid_t clock;
    timespec ts;
    if (clock_getcpuclockid(pid, &clock) == 0 && clock_gettime(clock, &ts) == 0) {
        return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    }
    long long user = 0;
    long long system = 0;
    return UserAndSystemNs(pid, &user, &system) ? user + system : -1;
}

// The drops column of the UDP socket bound to local `port` (summed, should there be several).
long long SocketDrops(int port) {
    std::ifstream in("/proc/net/udp");
    std::string line;
    std::getline(in, line);  // header
    long long drops = 0;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || strtol(local.c_str() + colon + 1, nullptr, 16) != port) {
            continue;
        }
        std::string last;
        for (std::string field; fields >> field;) {
            last = field;
        }
        drops += atoll(last.c_str());
    }
    return drops;
}

// A counter of the "Udp:" rows in /proc/net/snmp, by name.
long long UdpCounter(const std::string& name) {
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names)) {
        if (names.rfind("Udp:", 0) == 0 && std::getline(in, values)) {
            std::istringstream n(names), v(values);
            std::string key, value;
            while (n >> key && v >> value) {
                if (key == name) {
                    return atoll(value.c_str());
                }
            }
        }
    }
    return -1;
}

// One datagram without waiting, and the kernel's receive stamp of it in seconds (0 when it gave none).
ssize_t ReceiveStamped(int fd, char* buffer, size_t size, double* stamp) {
    iovec data = {buffer, size};
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
    msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t n = recvmsg(fd, &message, MSG_DONTWAIT);
    *stamp = 0;
    for (cmsghdr* c = CMSG_FIRSTHDR(&message); n >= 0 && c != nullptr; c = CMSG_NXTHDR(&message, c)) {
        if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
            timespec ts;
            memcpy(&ts, CMSG_DATA(c), sizeof ts);
            *stamp = static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
        }
    }
    return n;
}

// p50, p99 and p99.9 of the latencies in microseconds (sorted here), or nan for none.
void PrintPercentiles(std::vector<double> latency) {
    if (latency.empty()) {
        printf("lat_p50_us=nan lat_p99_us=nan lat_p999_us=nan\n");
        return;
    }
    std::sort(latency.begin(), latency.end());
    auto at = [&](double q) {
        return latency[std::min(latency.size() - 1,
                                static_cast<size_t>(q * static_cast<double>(latency.size())))];
    };
    printf("lat_p50_us=%.1f lat_p99_us=%.1f lat_p999_us=%.1f\n", at(0.5), at(0.99), at(0.999));
}

struct Readings {
    long long cpuNs;
    long long userNs;
    long long systemNs;
    long long relayDrops;
    long long sinkDrops;
    long long rcvbufErrors;
};

Readings Read(const Options& o) {
    Readings r = {ProcessCpuNs(o.relayPid),  0, 0, SocketDrops(o.relayPort), SocketDrops(o.port),
                  UdpCounter("RcvbufErrors")};
    UserAndSystemNs(o.relayPid, &r.userNs, &r.systemNs);
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, &options)) {
        fprintf(
            stderr,
            "usage: %s --group 239.x.y.z --port P --relay-pid PID --relay-port RP --ready-file F "
            "--done-file D [--quiet-ms MS] [--max-seconds S] [--stride N --stamps FILE [--kernel-stamps]]\n",
            argv[0]);
        return 2;
    }
    // A deep queue so that the sink is not where datagrams are lost (forced when run as root).
    std::string error;
    const int fd = bcst::OpenMulticastReceiver(options.group, static_cast<uint16_t>(options.port),
                                               "127.0.0.1", &error, 32 << 20);
    if (fd < 0) {
        fprintf(stderr, "load_sink: %s\n", error.c_str());
        return 1;
    }
    const int on = 1;
    if (options.kernelStamps && setsockopt(fd, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) != 0) {
        perror("load_sink: SO_TIMESTAMPNS");
        return 1;
    }

    const Readings before = Read(options);
    if (FILE* ready = fopen(options.readyFile.c_str(), "w")) {
        fclose(ready);
    }

    long long datagrams = 0;
    long long wrongSize = 0;
    std::vector<double> arrivals;  // of every stride-th datagram: an input's last output
    arrivals.reserve(1 << 20);
    bcst::ProbeMatch match(bcst::kProbeCycle);
    long long untagged = 0;  // --kernel-stamps: outputs without a stamp or a tag in range
    char datagram[65536];
    const double deadline = Now() + options.maxSeconds;
    double lastArrival = Now();
    for (;;) {
        const double now = Now();
        if (now >= deadline) {
            break;
        }
        if ((now - lastArrival) * 1000 >= options.quietMs && Exists(options.doneFile)) {
            break;
        }
        pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 50) != 1) {
            continue;
        }
        // Drain whatever is queued before looking at the clock again.
        for (;;) {
            double stamp = 0;
            const ssize_t n = options.kernelStamps ? ReceiveStamped(fd, datagram, sizeof datagram, &stamp)
                                                   : recv(fd, datagram, sizeof datagram, MSG_DONTWAIT);
            if (n < 0) {
                break;
            }
            ++datagrams;
            wrongSize += n == kOutputFrameSize ? 0 : 1;
            if (options.kernelStamps) {
                const bool tagged = stamp > 0 && static_cast<size_t>(n) >= kTagOffset + sizeof(uint32_t) &&
                                    match.Add(bcst::LoadBigEndian<uint32_t>(datagram + kTagOffset), stamp);
                untagged += tagged ? 0 : 1;
            } else if (options.stride > 0 && datagrams % options.stride == 0) {
                arrivals.push_back(Now());
            }
        }
        lastArrival = Now();
    }
    const Readings after = Read(options);
    printf(
        "datagrams_out=%lld wrong_size=%lld relay_cpu_ns=%lld relay_user_ns=%lld relay_system_ns=%lld "
        "relay_rx_drops=%lld sink_drops=%lld rcvbuf_errors=%lld\n",
        datagrams, wrongSize, after.cpuNs - before.cpuNs, after.userNs - before.userNs,
        after.systemNs - before.systemNs, after.relayDrops - before.relayDrops,
        after.sinkDrops - before.sinkDrops, after.rcvbufErrors - before.rcvbufErrors);
    // Latency per input, from the generator's send times, when every output arrived.
    std::vector<double> sends;
    if (!options.stamps.empty()) {
        if (FILE* in = fopen(options.stamps.c_str(), "rb")) {
            double t;
            while (fread(&t, sizeof t, 1, in) == 1) {
                sends.push_back(t);
            }
            fclose(in);
        }
    }
    std::vector<double> latency;
    if (options.kernelStamps) {
        long long lost = 0;
        for (size_t i = 0; i < sends.size(); ++i) {
            if (match.Outputs(i) == options.stride) {
                latency.push_back((match.LastArrival(i) - sends[i]) * 1e6);
            } else {
                ++lost;
            }
        }
        printf("inputs_lost=%lld untagged=%lld ", lost, untagged);
    } else if (!sends.empty() && sends.size() == arrivals.size() &&
               datagrams == static_cast<long long>(sends.size()) * options.stride) {
        for (size_t i = 0; i < sends.size(); ++i) {
            latency.push_back((arrivals[i] - sends[i]) * 1e6);
        }
    }
    PrintPercentiles(latency);
    close(fd);
    return 0;
}
