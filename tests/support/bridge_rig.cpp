// The end-to-end rig around a real bcstbridge on loopback multicast.
#include "support/bridge_rig.h"

#include <csignal>
#include <utility>

namespace bcsttest {

namespace {

const char kReadyLine[] = "Sender Socket Initialized Successfully";

}  // namespace

InstanceConfig BridgeRig::Config(const std::string& segment, const std::string& flag,
                                 const std::string& recvGroup, const std::string& sendGroup,
                                 uint16_t wirePort) {
    InstanceConfig c;
    c.segment = segment;
    c.flag = flag;
    c.recvGroup = recvGroup;
    c.recvPort = FreeUdpPort();
    c.sendGroup = sendGroup;
    c.sendPort = ConfiguredSendPortFor(wirePort);
    return c;
}

BridgeRig::BridgeRig(const std::string& segment, const std::string& flag, const std::string& recvGroup,
                     const std::string& sendGroup, std::vector<std::string> options)
    : config(Config(segment, flag, recvGroup, sendGroup, FreeUdpPort())),
      wirePort(ConfiguredSendPortFor(config.sendPort)),
      out(config.sendGroup, wirePort),
      bridge(config, 1, std::move(options)),
      in(config.recvGroup, config.recvPort) {}

bool BridgeRig::WaitReady(std::chrono::milliseconds timeout) {
    const std::string counters = CountersFile();
    return bridge.WaitReady(timeout) && WaitUntil([&] { return FileExists(counters); }, timeout);
}

std::vector<std::string> BridgeRig::LogAfterStartup() const {
    const std::vector<std::string> all = bridge.LogEntries();
    for (size_t i = 0; i < all.size(); ++i) {
        if (all[i] == kReadyLine) {
            return std::vector<std::string>(all.begin() + static_cast<long>(i) + 1, all.end());
        }
    }
    return {};
}

bool BridgeRig::SettleWithRefusedFrame(std::chrono::milliseconds timeout) {
    const size_t before = LogAfterStartup().size();
    // A market-by-price frame claiming a compressed length of 0: the length's line and the size's.
    if (!Send(MakeFrameWithLength(10500, 0, 1, Bytes(8, 0)))) {
        return false;
    }
    return WaitUntil([&] { return LogAfterStartup().size() >= before + 2; }, timeout);
}

std::vector<std::string> BridgeRig::StatisticsLines() const {
    std::vector<std::string> lines;
    const std::string text = bridge.Statistics();
    for (size_t at = 0; at < text.size();) {
        const size_t end = text.find('\n', at);
        lines.push_back(text.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
        at = end == std::string::npos ? text.size() : end + 1;
    }
    return lines;
}

std::string BridgeRig::RequestStatistics() {
    const size_t before = StatisticsLines().size();
    if (!bridge.process().Signal(SIGUSR1) ||
        !WaitUntil([&] { return StatisticsLines().size() > before; }, std::chrono::seconds(5))) {
        return "";
    }
    return StatisticsLines().back();
}

std::string StatisticsLine(int64_t received, int64_t sent) {
    const std::string r = std::to_string(received);
    const std::string s = std::to_string(sent);
    return "Host1," + std::string(15 - r.size(), ' ') + r + "," + std::string(15 - s.size(), ' ') + s +
           ", Running\n";
}

}  // namespace bcsttest
