// Multicast sockets and run control shared by the tools, the tests and the load benchmarks.
#include "tools/udp.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>

namespace bcst {

volatile sig_atomic_t gStopRequested = 0;

namespace {

void RequestStop(int) {
    gStopRequested = 1;
}

std::string Failure(const char* what) {
    return std::string(what) + ": " + strerror(errno);
}

}  // namespace

void InstallStopSignals() {
    struct sigaction action = {};
    action.sa_handler = RequestStop;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool ParseIpv4(const std::string& text, uint32_t* address) {
    struct in_addr parsed = {};
    if (inet_pton(AF_INET, text.c_str(), &parsed) != 1) {
        return false;
    }
    *address = parsed.s_addr;
    return true;
}

std::string DottedIpv4(uint32_t address) {
    char text[INET_ADDRSTRLEN];
    struct in_addr in = {};
    in.s_addr = address;
    inet_ntop(AF_INET, &in, text, sizeof text);
    return text;
}

int OpenMulticastSender(const std::string& interfaceAddress, int ttl, std::string* error) {
    uint32_t local;
    if (!ParseIpv4(interfaceAddress, &local)) {
        *error = "not an IPv4 address: " + interfaceAddress;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        *error = Failure("socket");
        return -1;
    }
    struct sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = local;
    struct in_addr outgoing = {};
    outgoing.s_addr = local;
    const unsigned char hops = static_cast<unsigned char>(ttl);
    const unsigned char loop = 1;  // receivers on this host hear the group too
    const int sendBuffer = 4 << 20;
    if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) {
        *error = Failure(("bind to " + interfaceAddress).c_str());
    } else if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
        *error = Failure("IP_MULTICAST_IF");
    } else if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_TTL, &hops, sizeof hops) != 0) {
        *error = Failure("IP_MULTICAST_TTL");
    } else if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop) != 0) {
        *error = Failure("IP_MULTICAST_LOOP");
    } else {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sendBuffer, sizeof sendBuffer);  // a wish, not a need
        return fd;
    }
    close(fd);
    return -1;
}

int OpenMulticastReceiver(const std::string& group, uint16_t port, const std::string& interfaceAddress,
                          std::string* error, int queueBytes) {
    uint32_t groupAddress, local;
    if (!ParseIpv4(group, &groupAddress) || !IN_MULTICAST(ntohl(groupAddress))) {
        *error = "not an IPv4 multicast group: " + group;
        return -1;
    }
    if (!ParseIpv4(interfaceAddress, &local)) {
        *error = "not an IPv4 address: " + interfaceAddress;
        return -1;
    }
    const int fd = socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    if (fd < 0) {
        *error = Failure("socket");
        return -1;
    }
    const int one = 1;
    const int zero = 0;
    struct sockaddr_in bound = {};
    bound.sin_family = AF_INET;
    bound.sin_addr.s_addr = groupAddress;  // only this group's datagrams, not every group on the port
    bound.sin_port = htons(port);
    struct ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = groupAddress;
    membership.imr_interface.s_addr = local;
    // The bridge's sending socket may hold the same port on the same host: share it.
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0) {
        *error = Failure("SO_REUSEADDR");
    } else if (bind(fd, reinterpret_cast<sockaddr*>(&bound), sizeof bound) != 0) {
        *error = Failure(("bind to " + group + ":" + std::to_string(port)).c_str());
    } else if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        *error = Failure(("join " + group + " on " + interfaceAddress).c_str());
    } else {
        setsockopt(fd, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero);
        // Beyond the system limit only with privilege; otherwise as much as the limit allows.
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &queueBytes, sizeof queueBytes) != 0) {
            setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &queueBytes, sizeof queueBytes);
        }
        return fd;
    }
    close(fd);
    return -1;
}

bool SendTo(int socket, uint32_t group, uint16_t port, const uint8_t* data, size_t length) {
    struct sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = group;
    to.sin_port = htons(port);
    for (;;) {
        const ssize_t sent = sendto(socket, data, length, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        if (sent == static_cast<ssize_t>(length)) {
            return true;
        }
        if (sent < 0 && errno == EINTR && !gStopRequested) {
            continue;
        }
        return false;
    }
}

double MonotonicSeconds() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

struct timeval WallClock() {
    struct timeval now;
    gettimeofday(&now, nullptr);
    return now;
}

struct timeval AddSeconds(const struct timeval& base, double seconds) {
    const int64_t micros =
        static_cast<int64_t>(base.tv_sec) * 1000000 + base.tv_usec + std::llround(seconds * 1e6);
    struct timeval result;
    result.tv_sec = static_cast<time_t>(micros / 1000000);
    result.tv_usec = static_cast<suseconds_t>(micros % 1000000);
    return result;
}

void SleepUntil(double deadline) {
    while (!gStopRequested) {
        const double left = deadline - MonotonicSeconds();
        if (left <= 0) {
            return;
        }
        struct timespec wait;
        wait.tv_sec = static_cast<time_t>(left);
        wait.tv_nsec = static_cast<long>((left - static_cast<double>(wait.tv_sec)) * 1e9);
        nanosleep(&wait, nullptr);  // EINTR brings us back to look at the stop flag
    }
}

}  // namespace bcst
