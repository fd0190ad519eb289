// What a bridge instance sends, read from its line of BCSTBRIDGE.INI by the bridge's own rules, so
// that an operator names the instance instead of working out the byte-exchanged send port.
#pragma once

#include <cstdint>
#include <string>

namespace bcst {

struct InstanceOutput {
    std::string group;             // SEND_MULTICAST_ADDR
    uint16_t configuredPort = 0;   // SEND_MULTICAST_PORT as written (its low 16 bits)
    uint16_t wirePort = 0;         // the port the datagrams carry: the configured one byte-exchanged
    std::string interfaceAddress;  // LOCAL_IP_TO_VELT, where the output leaves
};

// Reads line `instance` + 1 of `path` (the first line is a header) with the bridge's own reader.
// False with `*error` set when the file cannot be read, has no such line, holds a line the bridge
// would refuse, or the line gives no send group and port.
bool ReadInstanceOutput(const std::string& path, int instance, InstanceOutput* output, std::string* error);

}  // namespace bcst
