// Multicast receive and send. Every set-up step logs its own text; a failing step leaves its text
// pending for the entry point and closes the socket.
#include "net/multicast.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "app/statistics.h"
#include "config/config.h"

int gReceiveSocketFD = -1;
int gSenderSocketFD = -1;
struct sockaddr_in gsAddrSendTo;
SendCapture gSendCapture = nullptr;

namespace {

// Leaves `message` pending, closes `*fd` and reports failure: the one way out of a set-up step.
int FailSetup(int* fd, const char* message) {
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", message);
    if (*fd >= 0) {
        close(*fd);
        *fd = -1;
    }
    return 1;
}

bool SetIntOption(int fd, int level, int option, int value) {
    return setsockopt(fd, level, option, &value, sizeof value) == 0;
}

}  // namespace

int InitializeRecvSocket() {
    int& fd = gReceiveSocketFD;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return FailSetup(&fd, "Receiver: Socket Create Error");
    }
    LogFixedMessage("Receiver: Socket Create Success");

    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(gsBcastParam.RECV_MULTICAST_PORT));
    // No SO_REUSEADDR yet: a second instance on the same input port must fail here.
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
        return FailSetup(&fd, "Receiver: Socket Bind Error");
    }
    LogFixedMessage("Receiver: Socket Bind Success");

    if (!SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl)) {
        return FailSetup(&fd, "Reciever: Error in setting socket options for optval");
    }
    LogFixedMessage("Reciever: setsockopt for IP_MULTICAST_TTL successful ");

    struct ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(gsBcastParam.RECV_MULTICAST_ADDR);
    membership.imr_interface.s_addr = inet_addr(gsBcastParam.LOCAL_IP_TO_HOST);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return FailSetup(&fd, "Reciever: Error in setting socket options for  for IP_ADD_MEMBERSHIP");
    }
    // A socket bound to the wildcard address would otherwise also take every other group that any
    // program on the host joins on this port; exchanges reuse ports across channels.
    SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    LogFixedMessage("Reciever: setsockopt for IP_ADD_MEMBERSHIP successful");

    if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        return FailSetup(&fd, "Reciever: Error in setting socket options for  SO_REUSEADDR");
    }
    LogFixedMessage("Reciever: setsockopt for SO_REUSEADDR successful");

    if (!SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes)) {
        return FailSetup(&fd, "Reciever: Error in setting socket options for SO_RCVBUF");
    }
    LogFixedMessage("Reciever: setsockopt for SO_RCVBUF successful");
    return 0;
}

int InitializeSendSocket() {
    int& fd = gSenderSocketFD;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return FailSetup(&fd, "Sender: Socket Create Error");
    }
    LogFixedMessage("Sender: Socket Create Success");

    if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        return FailSetup(&fd, "Sender: Error in setting socket options for  SO_REUSEADDR");
    }
    LogFixedMessage("Sender: setsockopt for SO_REUSEADDR successful");

    // The send port goes into both addresses unconverted: receivers listen on the byte-exchanged
    // port (configured 34330 is port 6790 on the wire) and depend on it.
    const in_addr_t velt = inet_addr(gsBcastParam.LOCAL_IP_TO_VELT);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = velt;
    local.sin_port = static_cast<in_port_t>(gsBcastParam.SEND_MULTICAST_PORT);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
        return FailSetup(&fd, "Sender: Socket Bind Error");
    }
    LogFixedMessage("Sender: Socket Bind Success");

    struct in_addr outgoing = {};
    outgoing.s_addr = velt;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
        return FailSetup(&fd, "Sender: Error in IP_MULTICAST_IF socket");
    }
    LogFixedMessage("Sender: setsockopt for IP_MULTICAST_IF is successful");

    if (!SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl)) {
        return FailSetup(&fd, "Sender: Error in setting socket options for optval ");
    }
    LogFixedMessage("Sender: setsockopt for IP_MULTICAST_TTL successful ");

    memset(&gsAddrSendTo, 0, sizeof gsAddrSendTo);
    gsAddrSendTo.sin_family = AF_INET;
    gsAddrSendTo.sin_port = static_cast<in_port_t>(gsBcastParam.SEND_MULTICAST_PORT);
    gsAddrSendTo.sin_addr.s_addr = inet_addr(gsBcastParam.SEND_MULTICAST_ADDR);
    return 0;
}

int ReceiveMulticastData(char* buffer, int size) {
    if (buffer == nullptr) {
        LogFixedMessage("ReceiveMulticastData : Input parameter is NULL ");
        return -1;
    }
    const ssize_t received =
        recvfrom(gReceiveSocketFD, buffer, static_cast<size_t>(size), 0, nullptr, nullptr);
    if (received < 0) {
        LogFixedMessage("ReceiveMulticastData : Receive Error ");
        return -1;
    }
    return static_cast<int>(received);
}

int SendMulticastData(const char* data, int length) {
    const int sent = gSendCapture != nullptr
                         ? gSendCapture(data, length)
                         : static_cast<int>(sendto(gSenderSocketFD, data, static_cast<size_t>(length), 0,
                                                   reinterpret_cast<const struct sockaddr*>(&gsAddrSendTo),
                                                   sizeof gsAddrSendTo));
    if (sent > 0) {
        CountPacket(glSentPktCount);
    } else {
        LogFixedMessage("SendMulticastData : Send Error ");
    }
    return sent;
}
