// Multicast sockets of the operator tools (and of the tests and load benchmarks), and their shared handling
// of SIGINT/SIGTERM and time.
#pragma once

#include <sys/time.h>

#include <csignal>
#include <cstdint>
#include <string>

namespace bcst {

// Set by SIGINT or SIGTERM once InstallStopSignals ran; the tools finish cleanly when they see it.
extern volatile sig_atomic_t gStopRequested;
// Handlers without SA_RESTART, so a blocking wait returns at once with EINTR.
void InstallStopSignals();

// A socket that sends to multicast groups through the interface with address `interfaceAddress`,
// bound to that address; -1 with `*error` set on failure.
int OpenMulticastSender(const std::string& interfaceAddress, int ttl, std::string* error);

// A socket bound to `group`:`port` and joined to the group on `interfaceAddress`, so that it takes
// that group's datagrams only, with a receive queue of `queueBytes` (beyond the system's limit only
// with privilege); -1 with `*error` set on failure.
constexpr int kReceiveQueueBytes = 8 << 20;  // rides out bursts while a tool prints
int OpenMulticastReceiver(const std::string& group, uint16_t port, const std::string& interfaceAddress,
                          std::string* error, int queueBytes = kReceiveQueueBytes);

// Sends one datagram to `group`:`port`; false when the send failed.
bool SendTo(int socket, uint32_t group, uint16_t port, const uint8_t* data, size_t length);

// Parses a dotted IPv4 address into network byte order; false when it is not one.
bool ParseIpv4(const std::string& text, uint32_t* address);
// An address in network byte order as dotted text.
std::string DottedIpv4(uint32_t address);

// Seconds on the monotonic clock, and the wall clock as a timeval.
double MonotonicSeconds();
struct timeval WallClock();
struct timeval AddSeconds(const struct timeval& base, double seconds);

// Sleeps until the monotonic clock reads `deadline`; returns early when a stop is requested.
void SleepUntil(double deadline);

}  // namespace bcst
