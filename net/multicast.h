// The instance's two IPv4 UDP sockets: the receiver joined to the input group and the sender
// multicasting to the output group.
#pragma once

#include <netinet/in.h>

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
int ReceiveMulticastData(char* buffer, int size);

// One datagram of `length` bytes to the output group: the send call's result. Counts successes in
// glSentPktCount and logs failures.
int SendMulticastData(const char* data, int length);

// Tests and fuzzers take the outgoing datagrams here instead of the socket; null in the bridge. The
// capture's result stands for the send call's.
using SendCapture = int (*)(const char* data, int length);
extern SendCapture gSendCapture;

// Host-order 16-bit port as it travels on the wire when placed into a socket address unconverted.
inline uint16_t WirePortOfConfigured(int16_t configured) {
    return ntohs(static_cast<uint16_t>(configured));
}
