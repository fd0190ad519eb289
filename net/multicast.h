// The instance's two IPv4 UDP sockets: the receiver joined to the input group and the sender
// multicasting to the output group.
#pragma once

#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>

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

// Busy polling: every receive returns at once (MSG_DONTWAIT), kReceiveNothing when nothing is queued,
// so the loop never sleeps in the kernel and keeps its core busy. Off (the bounded wait below) unless
// the command line asks for it.
void SetReceivePolling(bool polling);

// How long a receive waits for a datagram. InitializeRecvSocket sets it on the socket (SO_RCVTIMEO,
// without a log entry), so an idle loop still gets to its tick, and a datagram costs the one receive
// call it always did. Such a wait is not restarted after a signal handler (SA_RESTART does not apply
// to a socket with a time-out): a statistics request ends it early, like a time-out.
constexpr int kReceiveWaitMs = 100;
// What a receive returns when nothing arrived within kReceiveWaitMs, or a signal cut the wait short:
// not an error, so it is neither counted nor logged, and the loop goes on.
constexpr int kReceiveNothing = -2;
// After a receive that fails (any other error) the receive pauses before it returns -1: 1 ms after the
// first failure in a row, twice as long after each further one, at most kReceiveBackoffMaxMs. The next
// receive that does not fail (a datagram, or a time-out) ends the run of failures and the pause starts
// at 1 ms again. A socket that keeps failing thus costs a few calls a second, not a core.
constexpr int kReceiveBackoffMaxMs = 100;

// What a receive found beside the datagrams: the socket's drop count (SO_RXQ_OVFL), the total since
// the socket was opened, which the kernel adds only once the socket has dropped something; and when the
// kernel took the (first) datagram in (SO_TIMESTAMPNS, CLOCK_REALTIME), where it stamps it.
struct ReceiveNotes {
    bool dropsReported = false;
    bool arrivalReported = false;
    uint32_t socketDrops = 0;
    int64_t arrivalRealtimeNs = 0;
};

// One datagram into `buffer` (at most `size` bytes), waiting at most kReceiveWaitMs: its length;
// kReceiveNothing; or -1 for a failure, which is logged (under the log's repeat limit) and paused
// after, as above; the caller counts it. `notes` (when given) gets the drop count the datagram carried.
int ReceiveMulticastData(char* buffer, int size, ReceiveNotes* notes = nullptr);

// CLOCK_MONOTONIC of the first failure of the current run of failed receives; 0 when the latest
// receive did not fail. The loop's watchdog reads it to tell a working loop from one that cannot
// receive any more.
int64_t ReceiveFailingSinceNs();

// Control buffer of one received datagram: room for the socket's drop count (SO_RXQ_OVFL) and the
// kernel's arrival stamp (SO_TIMESTAMPNS).
constexpr size_t kReceiveControlSize =
    CMSG_SPACE(sizeof(uint32_t)) + CMSG_SPACE(sizeof(struct timespec)) + CMSG_SPACE(sizeof(uint64_t));
// Takes the drop count and the arrival stamp that a received message carries, each if present, into
// `notes` (every receive path).
void ReadReceiveNotes(struct msghdr* message, ReceiveNotes* notes);

// One datagram of `length` bytes to the output group: the send call's result. Logs a failure (0 or
// less); the caller counts what left.
int SendMulticastData(const char* data, int length);

// The per-datagram walk of a batch through `send` (a send call's stand-in: its result is the bytes
// that left, 0 or less for a failure): every datagram is handed over once, in order, and every one
// that did not leave gets its own send-error entry. Returns how many left.
using DatagramSend = int (*)(const char* data, int length);
int SendEachDatagram(DatagramSend send, const char* data, int count, int length);

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
// system calls as the send path allows. The wire and the log are as if each had gone through
// SendMulticastData: every datagram that did not leave gets its own send-error entry, and none is
// sent twice. Returns how many left; the others failed.
int SendMulticastBatch(const char* data, int count, int length);

// Receives what is queued, at least one datagram (waiting at most kReceiveWaitMs for the first) and at
// most `maxCount`, datagram i into `slots + i * slotSize`, cut to slotSize bytes; `lengths[i]` gets
// its length there. Returns how many arrived; kReceiveNothing; or -1 for a failure, logged and paused
// after exactly as ReceiveMulticastData's. `notes` gets the drop count the last datagram carried and
// the arrival stamp of the first (the one that waited longest).
int ReceiveMulticastBatch(char* slots, int slotSize, int maxCount, int* lengths,
                          ReceiveNotes* notes = nullptr);
