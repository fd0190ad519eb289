// Batched multicast reception with kernel time stamps and the socket's drop counter.
#include "tools/receiver.h"

#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tools/udp.h"

namespace bcst {

namespace {

constexpr size_t kBatch = 64;
constexpr size_t kSlot = 65536;  // the largest UDP payload fits: nothing is cut
constexpr size_t kControl = CMSG_SPACE(sizeof(struct timeval)) + CMSG_SPACE(sizeof(uint32_t));

// The drops column of this socket's line in /proc/net/udp, found by the socket's inode; counts the
// datagrams dropped after the last one received, which no control message reports.
bool ProcDrops(int fd, uint64_t* drops) {
    struct stat self;
    if (fstat(fd, &self) != 0) {
        return false;
    }
    std::ifstream table("/proc/self/net/udp");
    std::string line;
    std::getline(table, line);  // the column names
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string field[13];
        for (std::string& f : field) {
            fields >> f;
        }
        if (field[9] == std::to_string(self.st_ino)) {
            *drops = std::stoull(field[12]);
            return true;
        }
    }
    return false;
}

}  // namespace

GroupReceiver::~GroupReceiver() {
    if (fd_ >= 0) {
        close(fd_);
    }
}

bool GroupReceiver::Open(const std::string& group, uint16_t port, const std::string& interfaceAddress,
                         int bufferBytes, std::string* error) {
    fd_ = OpenMulticastReceiver(group, port, interfaceAddress, error);
    if (fd_ < 0) {
        return false;
    }
    if (bufferBytes > 0 &&
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUFFORCE, &bufferBytes, sizeof bufferBytes) != 0) {
        setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &bufferBytes, sizeof bufferBytes);
    }
    const int one = 1;
    if (setsockopt(fd_, SOL_SOCKET, SO_RXQ_OVFL, &one, sizeof one) != 0 ||
        setsockopt(fd_, SOL_SOCKET, SO_TIMESTAMP, &one, sizeof one) != 0) {
        *error = std::string("SO_RXQ_OVFL/SO_TIMESTAMP: ") + strerror(errno);
        return false;
    }
    slots_.resize(kBatch * kSlot);
    headers_.resize(kBatch);
    vectors_.resize(kBatch);
    senders_.resize(kBatch);
    controls_.resize(kBatch * kControl);
    batch_.resize(kBatch);
    return true;
}

int GroupReceiver::Receive(int waitMs) {
    struct pollfd p = {fd_, POLLIN, 0};
    const int ready = poll(&p, 1, waitMs);
    if (ready <= 0) {
        return ready < 0 && errno != EINTR ? -1 : 0;
    }
    for (size_t i = 0; i < kBatch; ++i) {
        vectors_[i] = {slots_.data() + i * kSlot, kSlot};
        struct msghdr& m = headers_[i].msg_hdr;
        m = {};
        m.msg_name = &senders_[i];
        m.msg_namelen = sizeof senders_[i];
        m.msg_iov = &vectors_[i];
        m.msg_iovlen = 1;
        m.msg_control = controls_.data() + i * kControl;
        m.msg_controllen = kControl;
        headers_[i].msg_len = 0;
    }
    const int n = recvmmsg(fd_, headers_.data(), kBatch, MSG_DONTWAIT, nullptr);
    if (n < 0) {
        return errno == EINTR || errno == EAGAIN ? 0 : -1;
    }
    for (int i = 0; i < n; ++i) {
        const struct msghdr& m = headers_[static_cast<size_t>(i)].msg_hdr;
        ReceivedDatagram& d = batch_[static_cast<size_t>(i)];
        d.data = slots_.data() + static_cast<size_t>(i) * kSlot;
        d.length = std::min<size_t>(headers_[static_cast<size_t>(i)].msg_len, kSlot);
        d.cut = (m.msg_flags & MSG_TRUNC) != 0;
        d.source = senders_[static_cast<size_t>(i)].sin_addr.s_addr;
        d.sourcePort = ntohs(senders_[static_cast<size_t>(i)].sin_port);
        d.time = {};
        for (struct cmsghdr* c = CMSG_FIRSTHDR(&m); c != nullptr;
             c = CMSG_NXTHDR(const_cast<struct msghdr*>(&m), c)) {
            if (c->cmsg_level != SOL_SOCKET) {
                continue;
            }
            if (c->cmsg_type == SO_TIMESTAMP) {
                memcpy(&d.time, CMSG_DATA(c), sizeof d.time);
            } else if (c->cmsg_type == SO_RXQ_OVFL) {
                uint32_t dropped;
                memcpy(&dropped, CMSG_DATA(c), sizeof dropped);
                drops_ = std::max<uint64_t>(drops_, dropped);
            }
        }
        if (d.time.tv_sec == 0) {
            d.time = WallClock();
        }
    }
    return n;
}

uint64_t GroupReceiver::Drops(bool final) {
    uint64_t counted = 0;
    if (final && fd_ >= 0 && ProcDrops(fd_, &counted)) {
        drops_ = std::max(drops_, counted);
    }
    return drops_;
}

int GroupReceiver::GrantedBuffer() const {
    int size = 0;
    socklen_t length = sizeof size;
    getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &size, &length);
    return size;
}

}  // namespace bcst
