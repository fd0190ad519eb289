// baseline_relay: the floor the bridge is measured against. It receives exactly as the bridge does
// and, for every market-by-price frame, sends one 512-byte datagram per pair of records (21 for a
// 42-record frame) from sockets set up like the bridge's, but decodes and converts nothing.
//
//   baseline_relay --recv-group 239.40.x.y --recv-port P --send-group 239.40.x.z --send-port Q
//
// --send-port is the port on the wire. Prints "ready" once both sockets are set up, then runs until
// it is killed.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr int kReceiveBufferSize = 2500;
constexpr int kOutputFrameSize = 512;
constexpr int16_t kMessageTypeMbp = 10500;

char gReceiveBuffer[kReceiveBufferSize];
char gFrame[kOutputFrameSize];
volatile long gSent = 0;

int Fail(const char* what) {
    perror(what);
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string recvGroup, sendGroup;
    int recvPort = 0;
    int sendPort = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--recv-group") {
            recvGroup = argv[i + 1];
        } else if (arg == "--recv-port") {
            recvPort = atoi(argv[i + 1]);
        } else if (arg == "--send-group") {
            sendGroup = argv[i + 1];
        } else if (arg == "--send-port") {
            sendPort = atoi(argv[i + 1]);
        }
    }
    if (recvGroup.rfind("239.", 0) != 0 || sendGroup.rfind("239.", 0) != 0 || recvPort <= 0 ||
        sendPort <= 0) {
        fprintf(stderr,
                "usage: %s --recv-group 239.x.y.z --recv-port P --send-group 239.x.y.z --send-port Q\n",
                argv[0]);
        return 2;
    }

    // The bridge's receiving socket: bound to the port, joined on 127.0.0.1, 1 MiB of queue.
    const int in = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(recvPort));
    if (bind(in, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        return Fail("baseline_relay: bind receiver");
    }
    ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(recvGroup.c_str());
    membership.imr_interface.s_addr = inet_addr("127.0.0.1");
    const int zero = 0;
    const int one = 1;
    const int queue = 1 << 20;
    if (setsockopt(in, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0 ||
        setsockopt(in, IPPROTO_IP, IP_MULTICAST_ALL, &zero, sizeof zero) != 0 ||
        setsockopt(in, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        setsockopt(in, SOL_SOCKET, SO_RCVBUF, &queue, sizeof queue) != 0) {
        return Fail("baseline_relay: receiver options");
    }

    // The bridge's sending socket: bound to 127.0.0.1 and the send port, multicast out of 127.0.0.1.
    const int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    sockaddr_in from = {};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = inet_addr("127.0.0.1");
    from.sin_port = htons(static_cast<uint16_t>(sendPort));
    in_addr interface = {};
    interface.s_addr = inet_addr("127.0.0.1");
    const int ttl = 64;
    if (setsockopt(out, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
        bind(out, reinterpret_cast<sockaddr*>(&from), sizeof from) != 0 ||
        setsockopt(out, IPPROTO_IP, IP_MULTICAST_IF, &interface, sizeof interface) != 0 ||
        setsockopt(out, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl) != 0) {
        return Fail("baseline_relay: sender set-up");
    }
    sockaddr_in to = {};
    to.sin_family = AF_INET;
    to.sin_port = htons(static_cast<uint16_t>(sendPort));
    to.sin_addr.s_addr = inet_addr(sendGroup.c_str());
    printf("ready\n");
    fflush(stdout);

    for (;;) {
        const ssize_t received = recvfrom(in, gReceiveBuffer, sizeof gReceiveBuffer, 0, nullptr, nullptr);
        if (received < 6) {
            continue;
        }
        int16_t type;
        int16_t count;
        memcpy(&type, gReceiveBuffer, sizeof type);
        memcpy(&count, gReceiveBuffer + 4, sizeof count);
        if (type != kMessageTypeMbp) {
            continue;
        }
        for (int i = 0; i < count; i += 2) {
            if (sendto(out, gFrame, kOutputFrameSize, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to) >
                0) {
                gSent = gSent + 1;
            }
        }
    }
}
