// The instance's configuration record, read from its line of BCSTBRIDGE.INI.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct BCAST_PARAM {
    char MARKET_SEGMENT[5];
    char RECV_MULTICAST_ADDR[20];
    int16_t RECV_MULTICAST_PORT;  // as configured; used in network order
    char SEND_MULTICAST_ADDR[20];
    int16_t SEND_MULTICAST_PORT;  // as configured; goes on the wire byte-exchanged
    char LOCAL_IP_TO_HOST[20];
    char LOCAL_IP_TO_VELT[20];
    int16_t NEW_MKT_DATA_FLAG;  // 1 relay mode, 0 pass-through
};

extern BCAST_PARAM gsBcastParam;

constexpr char kConfigFileName[] = "BCSTBRIDGE.INI";

// Longest text a port or flag field may hold.
constexpr size_t kNumberFieldMax = 9;

// The reader's quiet mode (bcstbridge --check, the tools' --instance): every entry it would log is
// kept here instead, and nothing is written to the log.
struct ConfigReading {
    std::string file = kConfigFileName;  // the file read; the bridge itself always reads kConfigFileName
    std::vector<std::string> entries;    // what the bridge would log, in order
    int openError = 0;                   // errno when the file could not be opened
    bool lineFound = false;              // the file has line instance + 1
    std::string line;                    // that line as read (a carriage return included)
    std::vector<std::string> fields;     // each value handed to the store, in order: beyond the eighth
                                         // too, and last the one refused when a value is too long
};

// Reads line instance + 1 of BCSTBRIDGE.INI into `*record`, logging each field, or, given `quiet`,
// reading quiet->file and keeping those entries there. 0 on success; on failure 1 with the message
// left pending in gcaLogMessage (not logged in either mode). Fields the line does not have keep what
// `*record` held.
int ReadConfigurationRecord(int instance, BCAST_PARAM* record, ConfigReading* quiet = nullptr);

// The bridge's own reading: ReadConfigurationRecord into gsBcastParam.
int ReadConfigurationFromFile(int instance, ConfigReading* quiet = nullptr);

// The port a configured SEND_MULTICAST_PORT has on the wire. The bridge puts the configured number
// into its socket addresses without conversion to network order, so on the little-endian hosts it
// runs on, receivers see its two bytes exchanged: 34330 (0x861A) goes out as 6790 (0x1A86).
uint16_t WireSendPort(int16_t configured);

// Stores one field by its 1-based position into the record being read (gsBcastParam outside a read)
// and logs it. 1 when the value is longer than its field
// (nothing stored, nothing logged); 0 otherwise, improper positions included.
int CopyConfigParamToGlobalStruct(std::string value, unsigned int position);

// The key a field is logged under and the most characters its value may have, by 1-based position
// in the line; nullptr and 0 for a position beyond the eighth, which is never stored.
const char* ConfigFieldLabel(unsigned int position);
size_t ConfigFieldMaxLength(unsigned int position);

// Decimal text by the rules of atoi (leading white space, optional sign, digits up to the first other
// character, 0 without digits), without its undefined behaviour: `inRange` tells whether the number
// fits an int; when it does not, the result is clamped.
int ParseDecimalInt(const char* text, bool* inRange);
