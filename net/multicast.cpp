// Multicast receive and send. Every set-up step logs its own text; a failing step leaves its text
// pending for the entry point and closes the socket.
#include "net/multicast.h"

#include <arpa/inet.h>
#include <netinet/udp.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "app/log.h"
#include "app/log_texts.h"
#include "config/config.h"

int gReceiveSocketFD = -1;
int gSenderSocketFD = -1;
struct sockaddr_in gsAddrSendTo;

#ifndef UDP_SEGMENT
#define UDP_SEGMENT 103  // Linux 4.18; older C libraries lack the name
#endif

namespace {

SendPath gSendPath = SendPath::kPerDatagram;
int gReceiveFlags = 0;  // MSG_DONTWAIT while busy polling

// Per-message headers of a batch, filled afresh for every send so nothing lingers between batches.
struct iovec gBatchVectors[kMaxBatchDatagrams];
struct mmsghdr gBatchMessages[kMaxBatchDatagrams];
alignas(struct cmsghdr) char gBatchControl[kMaxBatchDatagrams][kReceiveControlSize];

// The kernel can segment UDP sends when it accepts the option; the option is only probed here, and
// each batch asks for segmentation in its own control message, so single datagrams and the other
// paths are sent exactly as before.
SendPath BestSendPath(int fd) {
    int segment = 512;  // any size will do: only whether the option is known matters
    if (setsockopt(fd, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment) != 0) {
        return SendPath::kMultiMessage;
    }
    segment = 0;
    setsockopt(fd, SOL_UDP, UDP_SEGMENT, &segment, sizeof segment);
    return SendPath::kSegmented;
}

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

// The run of failed receives: when it began (0: the latest receive did not fail) and the pause after
// the next failure.
int64_t gReceiveFailingSinceNs = 0;
long gReceivePauseNs = 0;

int64_t MonotonicNs() {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// A failed receive: logged, then the pause, so that a socket that keeps failing cannot make
// the loop spin. The pause is a sleep of the relay thread: a statistics request cuts it short.
int ReceiveFailed() {
    LogFixedMessage(kLogReceiveError);
    if (gReceiveFailingSinceNs == 0) {
        gReceiveFailingSinceNs = MonotonicNs();
        gReceivePauseNs = 1000000L;
    }
    const struct timespec pause = {0, gReceivePauseNs};
    nanosleep(&pause, nullptr);
    gReceivePauseNs = std::min(2 * gReceivePauseNs, kReceiveBackoffMaxMs * 1000000L);
    return -1;
}

// A receive that did not fail (a datagram, or a time-out) ends a run of failures.
inline void ReceiveWorked() {
    gReceiveFailingSinceNs = 0;
}

// The result of a receive call that returned less than 0.
int ReceiveError() {
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
        ReceiveWorked();  // the time-out: the socket is fine, nothing came
        return kReceiveNothing;
    }
    return errno == EINTR ? kReceiveNothing : ReceiveFailed();
}

}  // namespace

int InitializeRecvSocket() {
    int& fd = gReceiveSocketFD;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return FailSetup(&fd, kLogRecvCreateError);
    }
    LogFixedMessage(kLogRecvCreated);

    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(gsBcastParam.RECV_MULTICAST_PORT));
    // No SO_REUSEADDR yet: a second instance on the same input port must fail here.
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
        return FailSetup(&fd, kLogRecvBindError);
    }
    LogFixedMessage(kLogRecvBound);

    if (!SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl)) {
        return FailSetup(&fd, kLogRecvTtlError);
    }
    LogFixedMessage(kLogRecvTtlSet);

    struct ip_mreq membership = {};
    membership.imr_multiaddr.s_addr = inet_addr(gsBcastParam.RECV_MULTICAST_ADDR);
    membership.imr_interface.s_addr = inet_addr(gsBcastParam.LOCAL_IP_TO_HOST);
    if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &membership, sizeof membership) != 0) {
        return FailSetup(&fd, kLogRecvJoinError);
    }
    // A socket bound to the wildcard address would otherwise also take every other group that any
    // program on the host joins on this port; exchanges reuse ports across channels.
    SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0);
    // Datagrams then carry the socket's drop count, published as the kernel drops counter.
    SetIntOption(fd, SOL_SOCKET, SO_RXQ_OVFL, 1);
    // ...and the time the kernel took each one in, for the wire latency; silently, like the drop count.
    SetIntOption(fd, SOL_SOCKET, SO_TIMESTAMPNS, 1);
    LogFixedMessage(kLogRecvJoined);

    if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        return FailSetup(&fd, kLogRecvReuseError);
    }
    LogFixedMessage(kLogRecvReuseSet);

    if (!SetIntOption(fd, SOL_SOCKET, SO_RCVBUF, kReceiveBufferBytes)) {
        return FailSetup(&fd, kLogRecvBufferError);
    }
    LogFixedMessage(kLogRecvBufferSet);
    // The bounded wait, silently: the start-up log stays as operators know it. An option that every
    // socket takes; were it refused, the receive would block as it used to and the tick wait for data.
    const struct timeval wait = {0, kReceiveWaitMs * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    return 0;
}

int InitializeSendSocket() {
    int& fd = gSenderSocketFD;
    fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (fd < 0) {
        return FailSetup(&fd, kLogSendCreateError);
    }
    LogFixedMessage(kLogSendCreated);

    if (!SetIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
        return FailSetup(&fd, kLogSendReuseError);
    }
    LogFixedMessage(kLogSendReuseSet);

    // The send port goes into both addresses unconverted: receivers listen on the byte-exchanged
    // port (configured 34330 is port 6790 on the wire) and depend on it.
    const in_addr_t velt = inet_addr(gsBcastParam.LOCAL_IP_TO_VELT);
    struct sockaddr_in local = {};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = velt;
    local.sin_port = static_cast<in_port_t>(gsBcastParam.SEND_MULTICAST_PORT);
    if (bind(fd, reinterpret_cast<struct sockaddr*>(&local), sizeof local) != 0) {
        return FailSetup(&fd, kLogSendBindError);
    }
    LogFixedMessage(kLogSendBound);

    struct in_addr outgoing = {};
    outgoing.s_addr = velt;
    if (setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &outgoing, sizeof outgoing) != 0) {
        return FailSetup(&fd, kLogSendInterfaceError);
    }
    LogFixedMessage(kLogSendInterfaceSet);

    if (!SetIntOption(fd, IPPROTO_IP, IP_MULTICAST_TTL, kMulticastTtl)) {
        return FailSetup(&fd, kLogSendTtlError);
    }
    LogFixedMessage(kLogSendTtlSet);

    memset(&gsAddrSendTo, 0, sizeof gsAddrSendTo);
    gsAddrSendTo.sin_family = AF_INET;
    gsAddrSendTo.sin_port = static_cast<in_port_t>(gsBcastParam.SEND_MULTICAST_PORT);
    gsAddrSendTo.sin_addr.s_addr = inet_addr(gsBcastParam.SEND_MULTICAST_ADDR);
    SetSendPath(BestSendPath(fd));  // silently: the start-up log stays as operators know it
    return 0;
}

int ReceiveMulticastData(char* buffer, int size, ReceiveNotes* notes) {
    if (buffer == nullptr) {
        LogFixedMessage(kLogReceiveNull);
        return -1;
    }
    struct iovec data = {buffer, static_cast<size_t>(size)};
    alignas(struct cmsghdr) char control[kReceiveControlSize];
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    const ssize_t received = recvmsg(gReceiveSocketFD, &message, gReceiveFlags);
    if (received < 0) {
        return ReceiveError();
    }
    ReceiveWorked();
    ReadReceiveNotes(&message, notes);
    return static_cast<int>(received);
}

int64_t ReceiveFailingSinceNs() {
    return gReceiveFailingSinceNs;
}

void SetReceivePolling(bool polling) {
    gReceiveFlags = polling ? MSG_DONTWAIT : 0;
}

void ReadReceiveNotes(struct msghdr* message, ReceiveNotes* notes) {
    if (notes == nullptr) {
        return;
    }
    for (struct cmsghdr* c = CMSG_FIRSTHDR(message); c != nullptr; c = CMSG_NXTHDR(message, c)) {
        if (c->cmsg_level != SOL_SOCKET) {
            continue;
        }
        if (c->cmsg_type == SO_RXQ_OVFL && c->cmsg_len >= CMSG_LEN(sizeof(uint32_t))) {
            memcpy(&notes->socketDrops, CMSG_DATA(c), sizeof notes->socketDrops);
            notes->dropsReported = true;
        } else if (c->cmsg_type == SCM_TIMESTAMPNS && c->cmsg_len >= CMSG_LEN(sizeof(struct timespec))) {
            struct timespec arrival;
            memcpy(&arrival, CMSG_DATA(c), sizeof arrival);
            notes->arrivalRealtimeNs = static_cast<int64_t>(arrival.tv_sec) * 1000000000 + arrival.tv_nsec;
            notes->arrivalReported = true;
        }
    }
}

namespace {

int SendToGroup(const char* data, int length) {
    return static_cast<int>(sendto(gSenderSocketFD, data, static_cast<size_t>(length), 0,
                                   reinterpret_cast<const struct sockaddr*>(&gsAddrSendTo),
                                   sizeof gsAddrSendTo));
}

}  // namespace

int SendMulticastData(const char* data, int length) {
    const int sent = SendToGroup(data, length);
    if (sent <= 0) {
        LogFixedMessage(kLogSendError);
    }
    return sent;
}

int SendEachDatagram(DatagramSend send, const char* data, int count, int length) {
    int left = 0;
    for (int i = 0; i < count; ++i) {
        if (send(data + static_cast<std::ptrdiff_t>(i) * length, length) > 0) {
            ++left;
        } else {
            LogFixedMessage(kLogSendError);
        }
    }
    return left;
}

SendPath CurrentSendPath() {
    return gSendPath;
}

void SetSendPath(SendPath path) {
    gSendPath = path;
}

namespace {

// Errors with which a segmented send says it cannot be done on this route at all (no checksum
// offload on the device, no segmentation support); nothing of the batch has left then.
bool SegmentationImpossible(int error) {
    return error == EIO || error == EINVAL || error == EOPNOTSUPP || error == ENOPROTOOPT;
}

// Points message i of the batch at the i-th of `count` consecutive areas of `size` bytes from `base`,
// addressed to `to` (null when receiving), every other header field clear.
void LayOutBatch(char* base, int count, int size, struct sockaddr_in* to) {
    for (int i = 0; i < count; ++i) {
        gBatchVectors[i] = {base + static_cast<std::ptrdiff_t>(i) * size, static_cast<size_t>(size)};
        struct msghdr& header = gBatchMessages[i].msg_hdr;
        header = {};
        header.msg_name = to;
        header.msg_namelen = to != nullptr ? sizeof *to : 0;
        header.msg_iov = &gBatchVectors[i];
        header.msg_iovlen = 1;
        gBatchMessages[i].msg_len = 0;
    }
}

// Logs one send error for each datagram that did not leave; returns how many left.
int Account(int left, int failed) {
    for (int i = 0; i < failed; ++i) {
        LogFixedMessage(kLogSendError);
    }
    return left;
}

int SendOneByOne(const char* data, int count, int length) {
    return SendEachDatagram(SendToGroup, data, count, length);
}

// One send of the whole batch, cut into datagrams by the kernel: all of it leaves or none of it.
// -1 when segmentation is impossible here, so the caller sends the batch the next way.
int SendSegmented(const char* data, int count, int length) {
    alignas(struct cmsghdr) char control[CMSG_SPACE(sizeof(uint16_t))] = {};
    struct iovec whole = {const_cast<char*>(data), static_cast<size_t>(count) * static_cast<size_t>(length)};
    struct msghdr message = {};
    message.msg_name = &gsAddrSendTo;
    message.msg_namelen = sizeof gsAddrSendTo;
    message.msg_iov = &whole;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    struct cmsghdr* segment = CMSG_FIRSTHDR(&message);
    segment->cmsg_level = SOL_UDP;
    segment->cmsg_type = UDP_SEGMENT;
    segment->cmsg_len = CMSG_LEN(sizeof(uint16_t));
    const uint16_t segmentSize = static_cast<uint16_t>(length);
    memcpy(CMSG_DATA(segment), &segmentSize, sizeof segmentSize);

    ssize_t sent = sendmsg(gSenderSocketFD, &message, 0);
    while (sent < 0 && errno == EINTR) {  // interrupted before anything was queued
        sent = sendmsg(gSenderSocketFD, &message, 0);
    }
    if (sent < 0 && SegmentationImpossible(errno)) {
        SetSendPath(SendPath::kMultiMessage);
        return -1;
    }
    // Never retried: a failed or short segmented send may have put part of the batch on the wire.
    const int left = sent > 0 ? static_cast<int>(std::min<ssize_t>(sent / length, count)) : 0;
    return Account(left, count - left);
}

// The batch as separate messages of one call. The kernel reports how many left; the first that did
// not is logged and skipped, exactly as one failed sendto would be, and the walk goes on after it.
// -1 when the call does not exist here, before anything has been sent.
int SendMultiMessage(const char* data, int count, int length) {
    LayOutBatch(const_cast<char*>(data), count, length, &gsAddrSendTo);
    int left = 0;
    int failed = 0;
    for (int next = 0; next < count;) {
        const int sent =
            sendmmsg(gSenderSocketFD, gBatchMessages + next, static_cast<unsigned>(count - next), 0);
        if (sent > 0) {
            left += sent;
            next += sent;
        } else if (sent < 0 && errno == EINTR) {
            continue;
        } else if (sent < 0 && errno == ENOSYS && next == 0) {
            SetSendPath(SendPath::kPerDatagram);
            return -1;
        } else {
            ++failed;
            ++next;
        }
    }
    return Account(left, failed);
}

int SendChunk(const char* data, int count, int length) {
    // Each refused path moves the bridge down for good, so this turns at most three times.
    for (;;) {
        int left = -1;
        switch (gSendPath) {
            case SendPath::kSegmented:
                left = SendSegmented(data, count, length);
                break;
            case SendPath::kMultiMessage:
                left = SendMultiMessage(data, count, length);
                break;
            case SendPath::kPerDatagram:
                return SendOneByOne(data, count, length);
        }
        if (left >= 0) {
            return left;
        }
    }
}

}  // namespace

int SendMulticastBatch(const char* data, int count, int length) {
    // A lone datagram goes exactly the single-datagram way.
    if (count == 1) {
        return SendOneByOne(data, count, length);
    }
    int left = 0;
    for (int at = 0; at < count; at += kMaxBatchDatagrams) {
        const int chunk = std::min(count - at, kMaxBatchDatagrams);
        left += SendChunk(data + static_cast<std::ptrdiff_t>(at) * length, chunk, length);
    }
    return left;
}

int ReceiveMulticastBatch(char* slots, int slotSize, int maxCount, int* lengths, ReceiveNotes* notes) {
    if (slots == nullptr || lengths == nullptr) {
        LogFixedMessage(kLogReceiveNull);
        return -1;
    }
    const int capacity = std::min(maxCount, kMaxBatchDatagrams);
    LayOutBatch(slots, capacity, slotSize, nullptr);
    for (int i = 0; i < capacity; ++i) {
        gBatchMessages[i].msg_hdr.msg_control = gBatchControl[i];
        gBatchMessages[i].msg_hdr.msg_controllen = sizeof gBatchControl[i];
    }
    // Waits for the first datagram only: a lone datagram is forwarded at once, a queue in one call.
    const int received = recvmmsg(gReceiveSocketFD, gBatchMessages, static_cast<unsigned>(capacity),
                                  MSG_WAITFORONE | gReceiveFlags, nullptr);
    if (received < 0) {
        return ReceiveError();  // a statistics request never shows as a receive error
    }
    ReceiveWorked();
    ReadReceiveNotes(&gBatchMessages[received - 1].msg_hdr, notes);  // the latest count comes with the last
    if (received > 1 && notes != nullptr) {  // the batch waited since its first datagram arrived
        ReceiveNotes first;
        ReadReceiveNotes(&gBatchMessages[0].msg_hdr, &first);
        notes->arrivalReported = first.arrivalReported;
        notes->arrivalRealtimeNs = first.arrivalRealtimeNs;
    }
    for (int i = 0; i < received; ++i) {
        lengths[i] =
            static_cast<int>(std::min<unsigned>(gBatchMessages[i].msg_len, static_cast<unsigned>(slotSize)));
    }
    return received;
}
