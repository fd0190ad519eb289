// The output group and wire port of an instance, read from BCSTBRIDGE.INI by the bridge's own reader.
#include "tools/instance.h"

#include <algorithm>
#include <cstring>

#include "app/log.h"
#include "config/config.h"

namespace bcst {

bool ReadInstanceOutput(const std::string& path, int instance, InstanceOutput* output, std::string* error) {
    // The reader fills the process's configuration record and leaves a refusal in the log message;
    // neither is this tool's, so both are put back as they were.
    const BCAST_PARAM saved = gsBcastParam;
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    ConfigReading reading;
    reading.file = path;
    const bool refused = ReadConfigurationFromFile(instance, &reading) != 0;
    const BCAST_PARAM read = gsBcastParam;
    gsBcastParam = saved;
    memset(gcaLogMessage, 0, sizeof gcaLogMessage);

    const std::string where = path + " line " + std::to_string(static_cast<long long>(instance) + 1) +
                              " (instance " + std::to_string(instance) + ")";
    if (reading.openError != 0) {
        *error = path + ": " + strerror(reading.openError);
        return false;
    }
    if (!reading.lineFound) {
        *error = where + ": no such line";
        return false;
    }
    if (refused) {  // the only refusal of a line that was found: a value too long for its field
        *error = where + ": a value is longer than the bridge accepts";
        return false;
    }
    // Without a fifth field the bridge would start with no send group and port.
    if (reading.line.empty() || std::count(reading.line.begin(), reading.line.end(), ',') < 4) {
        *error = where + ": fewer than 5 fields, so no send group and port";
        return false;
    }
    // The bridge puts the configured port on the wire without conversion to network order, so
    // receivers see its two bytes exchanged.
    const auto configured = static_cast<uint16_t>(read.SEND_MULTICAST_PORT);
    output->group = read.SEND_MULTICAST_ADDR;
    output->configuredPort = configured;
    output->wirePort = static_cast<uint16_t>(configured >> 8 | (configured & 0xFF) << 8);
    output->interfaceAddress = read.LOCAL_IP_TO_VELT;
    return true;
}

}  // namespace bcst
