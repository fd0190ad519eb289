// Live reception for bcst-dump: datagrams of one multicast group taken in batches with recvmmsg,
// each with the kernel's receive time and its sender, and the kernel's count of the datagrams it
// dropped for this socket because its receive buffer was full (what tcpdump reports as "packets
// dropped by kernel").
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <cstdint>
#include <string>
#include <vector>

namespace bcst {

struct ReceivedDatagram {
    const uint8_t* data = nullptr;
    size_t length = 0;  // bytes held at `data`
    bool cut = false;   // longer than the receive slot: `length` bytes kept
    struct timeval time = {};
    uint32_t source = 0;  // network byte order
    uint16_t sourcePort = 0;
};

class GroupReceiver {
  public:
    GroupReceiver() = default;
    ~GroupReceiver();
    GroupReceiver(const GroupReceiver&) = delete;
    GroupReceiver& operator=(const GroupReceiver&) = delete;

    // Joins `group` on `interfaceAddress` and binds `port`; asks for `bufferBytes` of receive buffer
    // (0: the tool's default). False with `*error` set on failure.
    bool Open(const std::string& group, uint16_t port, const std::string& interfaceAddress, int bufferBytes,
              std::string* error);
    // Waits at most `waitMs` for datagrams and takes what is queued, up to one batch. The datagrams
    // stay valid until the next call. -1 on a receive error (errno set), 0 on a time-out or a signal.
    int Receive(int waitMs);
    const ReceivedDatagram& operator[](int i) const { return batch_[static_cast<size_t>(i)]; }

    // Datagrams the kernel dropped for this socket since it was opened: the latest count that came
    // with a datagram, or the socket's own counter once Drops(true) has read it.
    uint64_t Drops(bool final = false);
    // The receive buffer the kernel granted, as it reports it (twice the request).
    int GrantedBuffer() const;

  private:
    int fd_ = -1;
    std::vector<uint8_t> slots_;
    std::vector<struct mmsghdr> headers_;
    std::vector<struct iovec> vectors_;
    std::vector<struct sockaddr_in> senders_;
    std::vector<uint8_t> controls_;
    std::vector<ReceivedDatagram> batch_;
    uint64_t drops_ = 0;
};

}  // namespace bcst
