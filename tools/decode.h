// Decoding of both sides of the bridge: the exchange feed's compressed frames and the bridge's 512-byte
// old-format datagrams, into records of named fields, and their printing as text or JSON Lines.
#pragma once

#include <sys/time.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bcst {

enum class DatagramFormat { kAuto, kInput, kOutput };

struct Field {
    std::string name;
    bool isText = false;
    int64_t number = 0;
    std::string text;
};
using Fields = std::vector<Field>;

// One decoded record, its fields in layout order. Kinds: "mbp_in", "ohl", "ticker", "mbp_out" and
// "malformed" (with a reason instead of fields).
struct Record {
    std::string kind;
    Fields fields;
    std::vector<Fields> levels;
    std::string reason;
    // Feed records: how many of the record's bytes lie past the frame's decoded bytes, which the bridge
    // reads as zeros (an open/high/low or ticker frame announcing more records than it carries).
    int zeroFilledBytes = 0;
    // Stands for a datagram the bridge takes but that carries no record: an output datagram of segment
    // code 0, or an open/high/low or ticker frame with a negative record count (field `recordCount`).
    bool noRecord = false;
    // The named number field, or `otherwise` when the record has none.
    int64_t Number(const char* name, int64_t otherwise = 0) const;
    std::string Text(const char* name) const;
};

enum class DatagramClass { kMarketByPrice, kOpenHighLow, kTicker, kOutput, kMalformed };

struct DecodedDatagram {
    DatagramClass cls = DatagramClass::kMalformed;
    std::string segment;  // output datagrams: "CM", "FO", "CD", "CO" or "unknown"
    std::vector<Record> records;
    bool malformed = false;  // some part of it could not be decoded (a "malformed" record says why)
};

// The output frame's signature: 512 bytes, segment code 0/2/4/6/8, then 0x00 and message count 1.
bool LooksLikeOutput(const uint8_t* data, size_t length);

// Decodes one datagram of `length` bytes; never reads outside them.
DecodedDatagram DecodeDatagram(const uint8_t* data, size_t length, DatagramFormat format);

// Where a datagram came from, for the printed lines.
struct DatagramContext {
    int64_t index = 0;  // 0-based position in the stream or capture
    size_t length = 0;
    bool haveTime = false;
    struct timeval time = {};
};

// printf into a std::string (up to 255 characters), for the decoded fields and the printed lines.
std::string Printf(const char* format, ...) __attribute__((format(printf, 1, 2)));

std::string FormatJson(const Record& record, const DatagramContext& context);
std::string FormatLine(const Record& record, const DatagramContext& context);
std::string FormatVerbose(const Record& record, const DatagramContext& context);

}  // namespace bcst
