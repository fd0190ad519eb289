// The output group and wire port of an instance, read from BCSTBRIDGE.INI by the bridge's own reader.
#include "tools/instance.h"

#include <algorithm>
#include <cstring>

#include "app/log.h"
#include "config/config.h"

namespace bcst {

bool ReadInstanceOutput(const std::string& path, int instance, InstanceOutput* output, std::string* error) {
    // The reader leaves a refusal in the log message, which is not this tool's: it is cleared again.
    BCAST_PARAM read = {};
    ConfigReading reading;
    reading.file = path;
    const bool refused = ReadConfigurationRecord(instance, &read, &reading) != 0;
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
    output->group = read.SEND_MULTICAST_ADDR;
    output->configuredPort = static_cast<uint16_t>(read.SEND_MULTICAST_PORT);
    output->wirePort = WireSendPort(read.SEND_MULTICAST_PORT);
    output->interfaceAddress = read.LOCAL_IP_TO_VELT;
    return true;
}

}  // namespace bcst
