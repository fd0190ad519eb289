// The output group and wire port of an instance, from BCSTBRIDGE.INI.
#include "tools/instance.h"

#include <cerrno>
#include <cstring>
#include <fstream>
#include <vector>

#include "config/config.h"

namespace bcst {

bool ReadInstanceOutput(const std::string& path, int instance, InstanceOutput* output, std::string* error) {
    std::ifstream file(path);
    if (!file.is_open()) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    const long long wanted = static_cast<long long>(instance) + 1;
    std::string line;
    long long number = 0;
    while (number < wanted && std::getline(file, line)) {
        ++number;
    }
    const std::string where =
        path + " line " + std::to_string(wanted) + " (instance " + std::to_string(instance) + ")";
    if (number < wanted || wanted < 2) {
        *error = where + ": no such line";
        return false;
    }
    // The bridge's rules: fields split at every comma, nothing trimmed, no quoting.
    std::vector<std::string> fields;
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        fields.push_back(line.substr(start, comma - start));
        start = comma + 1;
    }
    fields.push_back(line.substr(start));
    if (fields.size() < 5) {
        *error = where + ": fewer than 5 fields, so no send group and port";
        return false;
    }
    const std::string& group = fields[3];
    const std::string& port = fields[4];
    if (group.size() >= sizeof(BCAST_PARAM{}.SEND_MULTICAST_ADDR) || port.size() > kNumberFieldMax) {
        *error = where + ": a value is longer than the bridge accepts";
        return false;
    }
    // The low 16 bits, as the bridge stores them; it then puts them on the wire without conversion
    // to network order, so receivers see the two bytes exchanged.
    const auto configured = static_cast<uint16_t>(ParseDecimalInt(port.c_str(), nullptr));
    output->group = group;
    output->configuredPort = configured;
    output->wirePort = static_cast<uint16_t>(configured >> 8 | (configured & 0xFF) << 8);
    output->interfaceAddress = fields.size() > 6 ? fields[6] : "";
    return true;
}

}  // namespace bcst
