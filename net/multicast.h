// The instance's two IPv4 UDP sockets: the receiver joined to the input group and the sender
// multicasting to the output group.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdint>

extern int gReceiveSocketFD;
extern int gSenderSocketFD;
extern struct sockaddr_in gsAddrSendTo;  // the output group; its port is the configured number unconverted

constexpr int kMulticastTtl = 64;
constexpr int kReceiveBufferBytes = 1 << 20;  // absorbs bursts while a frame is being converted

// Socket set-up, each step logged. 0 when ready; 1 with the socket closed and the failure message
// pending in gcaLogMessage.
int InitializeRecvSocket();
int InitializeSendSocket();

// One datagram into `buffer` (at most `size` bytes): its length, or -1 after logging the error.
// Takes the socket's drop count from the datagram's control data into the counters.
int ReceiveMulticastData(char* buffer, int size);

// Control buffer of one received datagram: room for the socket's drop count (SO_RXQ_OVFL).
constexpr size_t kReceiveControlSize = CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(uint64_t));
// Publishes the drop count that a received message carries, if any (for every receive path).
void ReadSocketDrops(struct msghdr* message);

// One datagram of `length` bytes to the output group: the send call's result. Counts successes in
// glSentPktCount and logs failures.
int SendMulticastData(const char* data, int length);

// How a batch of output datagrams is handed to the kernel. The sending socket's set-up picks the
// best path the kernel offers; a path that a send then finds impossible (a device without checksum
// offload refuses segmentation, say) is left for good for the next one down.
enum class SendPath : uint8_t {
    kSegmented = 1,     // one sendmsg with UDP_SEGMENT: the kernel cuts n * length bytes into n datagrams
    kMultiMessage = 2,  // one sendmmsg carrying the n datagrams
    kPerDatagram = 3,   // one sendto per datagram
};
SendPath CurrentSendPath();
// Tests and benchmarks force a path; the bridge only ever moves down from the one set-up chose.
void SetSendPath(SendPath path);

// The most datagrams one system call carries, within what the kernel segments in one send.
constexpr int kMaxBatchDatagrams = 64;

// Sends `count` datagrams of `length` bytes lying back to back from `data`, in order, with as few
// system calls as the send path allows. The wire, the counters and the log are as if each had gone
// through SendMulticastData: every datagram that left is counted in glSentPktCount, every one that
// did not leave gets its own send-error entry, and none is sent twice. Returns how many left.
int SendMulticastBatch(const char* data, int count, int length);

// Receives what is queued, at least one datagram (blocking until it arrives) and at most `maxCount`,
// datagram i into `slots + i * slotSize`, cut to slotSize bytes; `lengths[i]` gets its length there.
// Returns how many arrived, or -1 after logging the receive error.
int ReceiveMulticastBatch(char* slots, int slotSize, int maxCount, int* lengths);

// Tests and fuzzers take the outgoing datagrams here instead of the socket; null in the bridge. The
// capture's result stands for the send call's.
using SendCapture = int (*)(const char* data, int length);
extern SendCapture gSendCapture;
