// BCSTBRIDGE.INI: one comma-separated line per instance, the first line skipped, no trimming.
#include "config/config.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <limits>

#include "app/log.h"
#include "app/log_texts.h"

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

// The eight fields of a line, by position: text fields are copied with their terminator and refused
// when they do not fit; ports keep the low 16 bits of the number; the flag is 1 for "Y" alone.
enum class FieldKind { kText, kPort, kFlag };

struct ConfigField {
    const char* label;  // as logged: "<label> - <value>"
    FieldKind kind;
    size_t offset;    // of the field in BCAST_PARAM
    size_t capacity;  // bytes of a text field, terminator included
};

constexpr ConfigField kConfigFields[] = {
    {"MARKET_SEGMENT", FieldKind::kText, offsetof(BCAST_PARAM, MARKET_SEGMENT),
     sizeof(BCAST_PARAM::MARKET_SEGMENT)},
    {"RECV_MULTICAST_ADDR", FieldKind::kText, offsetof(BCAST_PARAM, RECV_MULTICAST_ADDR),
     sizeof(BCAST_PARAM::RECV_MULTICAST_ADDR)},
    {"RECV_MULTICAST_PORT", FieldKind::kPort, offsetof(BCAST_PARAM, RECV_MULTICAST_PORT), 0},
    {"SEND_MULTICAST_ADDR", FieldKind::kText, offsetof(BCAST_PARAM, SEND_MULTICAST_ADDR),
     sizeof(BCAST_PARAM::SEND_MULTICAST_ADDR)},
    {"SEND_MULTICAST_PORT", FieldKind::kPort, offsetof(BCAST_PARAM, SEND_MULTICAST_PORT), 0},
    {"LOCAL_IP_TO_HOST", FieldKind::kText, offsetof(BCAST_PARAM, LOCAL_IP_TO_HOST),
     sizeof(BCAST_PARAM::LOCAL_IP_TO_HOST)},
    {"LOCAL_IP_TO_VELT", FieldKind::kText, offsetof(BCAST_PARAM, LOCAL_IP_TO_VELT),
     sizeof(BCAST_PARAM::LOCAL_IP_TO_VELT)},
    {"NEW_MKT_DATA_FLAG", FieldKind::kFlag, offsetof(BCAST_PARAM, NEW_MKT_DATA_FLAG), 0},
};

// Set while ReadConfigurationRecord runs in quiet mode.
ConfigReading* gQuiet = nullptr;
// The record ReadConfigurationRecord fills while it runs.
BCAST_PARAM* gRecord = &gsBcastParam;

// One entry of the reader: to the log, or kept in quiet mode. The text is the same either way.
void Report(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Report(const char* format, ...) {
    va_list args;
    va_start(args, format);
    if (gQuiet != nullptr) {
        char text[kLogMessageSize];
        vsnprintf(text, sizeof text, format, args);
        gQuiet->entries.push_back(text);
    } else {
        vsnprintf(gcaLogMessage, sizeof gcaLogMessage, format, args);
        LogMessage(gcaLogMessage);
    }
    va_end(args);
}

}  // namespace

const char* ConfigFieldLabel(unsigned int position) {
    return position >= 1 && position <= std::size(kConfigFields) ? kConfigFields[position - 1].label
                                                                 : nullptr;
}

size_t ConfigFieldMaxLength(unsigned int position) {
    if (position < 1 || position > std::size(kConfigFields)) {
        return 0;
    }
    const ConfigField& f = kConfigFields[position - 1];
    return f.kind == FieldKind::kText ? f.capacity - 1 : kNumberFieldMax;
}

int CopyConfigParamToGlobalStruct(std::string value, unsigned int position) {
    if (gQuiet != nullptr) {
        gQuiet->fields.push_back(value);
    }
    if (position < 1 || position > std::size(kConfigFields)) {
        Report("%s", kLogConfigImproperPosition);
        return 0;
    }
    const ConfigField& f = kConfigFields[position - 1];
    char* field = reinterpret_cast<char*>(gRecord) + f.offset;
    if (f.kind == FieldKind::kText) {
        if (value.size() >= f.capacity) {
            return 1;
        }
        memcpy(field, value.c_str(), value.size() + 1);
        // Logged as data: a percent sign in the value is written as it is.
        Report(kLogConfigTextField, f.label, field);
        return 0;
    }
    if (value.size() > kNumberFieldMax) {
        return 1;
    }
    // A port keeps the low 16 bits of the number, as the host stores a 16-bit port.
    const int16_t number =
        f.kind == FieldKind::kFlag
            ? static_cast<int16_t>(value == "Y" ? 1 : 0)
            : static_cast<int16_t>(static_cast<uint16_t>(ParseDecimalInt(value.c_str(), nullptr)));
    memcpy(field, &number, sizeof number);
    Report(kLogConfigNumberField, f.label, number);
    return 0;
}

namespace {

// Splits one record line at its commas and stores the fields in order. 0, or 1 with the message
// pending when a field cannot be stored.
int StoreRecordLine(const std::string& line) {
    unsigned int position = 0;
    size_t start = 0;
    for (size_t comma = line.find(','); comma != std::string::npos; comma = line.find(',', start)) {
        if (CopyConfigParamToGlobalStruct(line.substr(start, comma - start), ++position) != 0) {
            snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", kLogConfigCopyError);
            return 1;
        }
        start = comma + 1;
    }
    if (start < line.size() && CopyConfigParamToGlobalStruct(line.substr(start), ++position) != 0) {
        snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", kLogConfigCopyLastError);
        return 1;
    }
    return 0;
}

}  // namespace

namespace {

int ReadRecord(int instance) {
    std::ifstream file(gQuiet != nullptr ? gQuiet->file.c_str() : kConfigFileName);
    if (!file.is_open()) {
        if (gQuiet != nullptr) {
            gQuiet->openError = errno;
        }
        snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", kLogConfigOpenError);
        return 1;
    }
    Report("%s", kLogConfigOpened);

    const long long recordLine = static_cast<long long>(instance) + 1;
    std::string line;
    for (long long number = 1; std::getline(file, line); ++number) {
        if (number == 1 || number != recordLine) {  // line 1 is a header, never a record
            continue;
        }
        if (gQuiet != nullptr) {
            gQuiet->lineFound = true;
            gQuiet->line = line;
        }
        if (line.empty()) {
            Report(kLogConfigBlankLine, recordLine);
            return 0;
        }
        if (line.find(',') == std::string::npos) {
            Report(kLogConfigNoDelimiter, recordLine);
            return 0;
        }
        return StoreRecordLine(line);
    }
    snprintf(gcaLogMessage, sizeof gcaLogMessage, kLogConfigNoInstance, instance);
    return 1;
}

}  // namespace

int ReadConfigurationRecord(int instance, BCAST_PARAM* record, ConfigReading* quiet) {
    gQuiet = quiet;
    gRecord = record;
    const int result = ReadRecord(instance);
    gQuiet = nullptr;
    gRecord = &gsBcastParam;
    return result;
}

int ReadConfigurationFromFile(int instance, ConfigReading* quiet) {
    return ReadConfigurationRecord(instance, &gsBcastParam, quiet);
}

uint16_t WireSendPort(int16_t configured) {
    // The address keeps the host-order bytes; the wire reads them in network order.
    const auto port = static_cast<in_port_t>(configured);
    return ntohs(port);
}
