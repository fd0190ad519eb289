// BCSTBRIDGE.INI: one comma-separated line per instance, the first line skipped, no trimming.
#include "config/config.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>

#include "app/log.h"

BCAST_PARAM gsBcastParam;

int ParseDecimalInt(const char* text, bool* inRange) {
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    const long long limit =
        negative ? -static_cast<long long>(std::numeric_limits<int>::min()) : std::numeric_limits<int>::max();
    long long magnitude = 0;
    bool fits = true;
    for (; *p >= '0' && *p <= '9'; ++p) {
        if (fits) {
            magnitude = magnitude * 10 + (*p - '0');
            if (magnitude > limit) {
                fits = false;
                magnitude = limit;
            }
        }
    }
    if (inRange != nullptr) {
        *inRange = fits;
    }
    return static_cast<int>(negative ? -magnitude : magnitude);
}

namespace {

// Copies a text field with its terminator; refuses a value that would not fit.
bool StoreText(char* field, size_t capacity, const std::string& value) {
    if (value.size() >= capacity) {
        return false;
    }
    memcpy(field, value.c_str(), value.size() + 1);
    return true;
}

bool StorePort(int16_t* port, const char* label, const std::string& value) {
    if (value.size() > kNumberFieldMax) {
        return false;
    }
    // The low 16 bits of the number, as the host stores a 16-bit port.
    *port = static_cast<int16_t>(static_cast<uint16_t>(ParseDecimalInt(value.c_str(), nullptr)));
    LogFormattedMessage("%s - %d", label, *port);
    return true;
}

bool StoreTextAndLog(char* field, size_t capacity, const char* label, const std::string& value) {
    if (!StoreText(field, capacity, value)) {
        return false;
    }
    // Logged as data: a percent sign in the value is written as it is.
    LogFormattedMessage("%s - %s", label, field);
    return true;
}

}  // namespace

int CopyConfigParamToGlobalStruct(std::string value, unsigned int position) {
    BCAST_PARAM& p = gsBcastParam;
    bool stored = true;
    switch (position) {
        case 1:
            stored = StoreTextAndLog(p.MARKET_SEGMENT, sizeof p.MARKET_SEGMENT, "MARKET_SEGMENT", value);
            break;
        case 2:
            stored = StoreTextAndLog(p.RECV_MULTICAST_ADDR, sizeof p.RECV_MULTICAST_ADDR,
                                     "RECV_MULTICAST_ADDR", value);
            break;
        case 3:
            stored = StorePort(&p.RECV_MULTICAST_PORT, "RECV_MULTICAST_PORT", value);
            break;
        case 4:
            stored = StoreTextAndLog(p.SEND_MULTICAST_ADDR, sizeof p.SEND_MULTICAST_ADDR,
                                     "SEND_MULTICAST_ADDR", value);
            break;
        case 5:
            stored = StorePort(&p.SEND_MULTICAST_PORT, "SEND_MULTICAST_PORT", value);
            break;
        case 6:
            stored =
                StoreTextAndLog(p.LOCAL_IP_TO_HOST, sizeof p.LOCAL_IP_TO_HOST, "LOCAL_IP_TO_HOST", value);
            break;
        case 7:
            stored =
                StoreTextAndLog(p.LOCAL_IP_TO_VELT, sizeof p.LOCAL_IP_TO_VELT, "LOCAL_IP_TO_VELT", value);
            break;
        case 8:
            if (value.size() > kNumberFieldMax) {
                return 1;
            }
            p.NEW_MKT_DATA_FLAG = value == "Y" ? 1 : 0;
            LogFormattedMessage("NEW_MKT_DATA_FLAG - %d", p.NEW_MKT_DATA_FLAG);
            break;
        default:
            LogFixedMessage("CopyConfigParamToGlobalStruct - Improper Field position");
            break;
    }
    return stored ? 0 : 1;
}

namespace {

// Splits one record line at its commas and stores the fields in order. 0, or 1 with the message
// pending when a field cannot be stored.
int StoreRecordLine(const std::string& line) {
    unsigned int position = 0;
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        if (CopyConfigParamToGlobalStruct(line.substr(start, comma - start), ++position) != 0) {
            snprintf(gcaLogMessage, sizeof gcaLogMessage,
                     "Error during copying config parameters into Global Structure");
            return 1;
        }
        start = comma + 1;
    }
    if (start < line.size() && CopyConfigParamToGlobalStruct(line.substr(start), ++position) != 0) {
        snprintf(gcaLogMessage, sizeof gcaLogMessage,
                 "Error during copying last config parameters into Global Structure");
        return 1;
    }
    return 0;
}

}  // namespace

int ReadConfigurationFromFile(int instance) {
    std::ifstream file(kConfigFileName);
    if (!file.is_open()) {
        snprintf(gcaLogMessage, sizeof gcaLogMessage, "Error while opening BCSTBRIDGE.INI config file");
        return 1;
    }
    LogFixedMessage("BCSTBRIDGE.INI config file open successfully");

    const long long recordLine = static_cast<long long>(instance) + 1;
    std::string line;
    for (long long number = 1; std::getline(file, line); ++number) {
        if (number == 1 || number != recordLine) {  // line 1 is a header, never a record
            continue;
        }
        if (line.empty()) {
            LogFormattedMessage("Blank line present in config file .. Line No. - %lld", recordLine);
            return 0;
        }
        if (line.find(',') == std::string::npos) {
            LogFormattedMessage("Delimiter not found in config file for record - %lld", recordLine);
            return 0;
        }
        return StoreRecordLine(line);
    }
    snprintf(gcaLogMessage, sizeof gcaLogMessage,
             "Input instance %d not available in BCSTBRIDGE.INI config file", instance);
    return 1;
}
