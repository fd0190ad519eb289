// The end-to-end rig: a real bcstbridge on loopback multicast with its input sender and a receiver on
// its output group, and the waits every end-to-end test needs around it.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace bcsttest {

// Instance 1 in its own directory, reading <recvGroup> and writing <sendGroup> on free ports; `out`
// listens on the port the datagrams carry on the wire (the configured send port byte-exchanged).
class BridgeRig {
  public:
    // `flag` is the configuration's NEW_MKT_DATA_FLAG: "Y" relays, anything else passes through.
    // `options` go on the bridge's command line before the instance number.
    BridgeRig(const std::string& segment, const std::string& flag, const std::string& recvGroup,
              const std::string& sendGroup, std::vector<std::string> options = {});

    // Start-up finished: the log ends with the sending socket's line and the counters file is there.
    bool WaitReady(std::chrono::milliseconds timeout = std::chrono::seconds(10));
    bool Send(const Bytes& datagram) { return in.Send(datagram); }

    // Log entries after the start-up ones (nothing before start-up has finished).
    std::vector<std::string> LogAfterStartup() const;
    // Sends a frame that the intake refuses with two log lines and waits for them: every frame sent
    // before it has then been handled completely, its sends counted included. Relay mode only.
    bool SettleWithRefusedFrame(std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // The statistics file as lines, each with its newline.
    std::vector<std::string> StatisticsLines() const;
    // Sends one SIGUSR1 and returns the line it appended ("" when none came within 5 s).
    std::string RequestStatistics();
    std::string CountersFile() const { return bridge.dir().File("BcstBridge1.counters"); }

    InstanceConfig config;
    uint16_t wirePort;
    MulticastReceiver out;
    BridgeUnderTest bridge;
    MulticastSender in;

  private:
    static InstanceConfig Config(const std::string& segment, const std::string& flag,
                                 const std::string& recvGroup, const std::string& sendGroup,
                                 uint16_t wirePort);
};

// The line one SIGUSR1 appends for instance 1, written out here: "Host1," and both counts right-aligned
// in 15 characters.
std::string StatisticsLine(int64_t received, int64_t sent);

}  // namespace bcsttest
