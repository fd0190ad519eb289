// bcstbridge --help, --version and --check: the configuration line read by the bridge's own reader in
// its quiet mode, then checked for what bites operators before a start.
#include "app/command_line.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/log_texts.h"
#include "config/config.h"
#include "mbp/framing.h"

#ifndef BCST_VERSION
#error "BCST_VERSION must be defined by the build"
#endif

namespace {

constexpr int kFieldCount = 8;

// Whether `address` (network order) is held by one of this host's interfaces.
bool OnThisHost(in_addr_t address) {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        return false;
    }
    bool found = false;
    for (const struct ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
            found = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr == address;
        }
    }
    freeifaddrs(list);
    return found;
}

// The address as the bridge takes it (inet_addr), or false when it is none.
bool ParseAddress(const char* text, in_addr_t* address) {
    *address = inet_addr(text);
    return *address != INADDR_NONE || strcmp(text, "255.255.255.255") == 0;
}

void CheckGroup(const char* label, const char* text, std::vector<std::string>* reasons) {
    in_addr_t address;
    if (!ParseAddress(text, &address)) {
        reasons->push_back(std::string(label) + " '" + text + "' is not an IPv4 address");
    } else if (!IN_MULTICAST(ntohl(address))) {
        reasons->push_back(std::string(label) + " " + text + " is not a multicast address (224.0.0.0/4)");
    }
}

void CheckLocal(const char* label, const char* text, std::vector<std::string>* reasons) {
    in_addr_t address;
    if (!ParseAddress(text, &address)) {
        reasons->push_back(std::string(label) + " '" + text + "' is not an IPv4 address");
    } else if (!OnThisHost(address)) {
        reasons->push_back(std::string(label) + " " + text + " is on none of this host's interfaces");
    }
}

// A value between quotes, with control characters written as escapes so that a carriage return shows.
std::string Quoted(const std::string& text) {
    std::string quoted = "'";
    for (const char c : text) {
        if (c == '\r') {
            quoted += "\\r";
        } else if (c == '\t') {
            quoted += "\\t";
        } else if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            char escape[8];
            snprintf(escape, sizeof escape, "\\x%02X", static_cast<unsigned char>(c));
            quoted += escape;
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

// The value the reader took for the field logged as `label`, or nullptr when the line has none.
const std::string* FieldValue(const ConfigReading& reading, const char* label) {
    for (size_t i = 0; i < reading.fields.size(); ++i) {
        const char* key = ConfigFieldLabel(static_cast<unsigned int>(i + 1));
        if (key != nullptr && strcmp(key, label) == 0) {
            return &reading.fields[i];
        }
    }
    return nullptr;
}

// Whether a port text says the port the bridge takes from it: digits alone, for that very number.
// Anything else is read otherwise than it reads (digits up to the first other character, 0 without
// any, the low 16 bits of the number).
bool SaysPort(const std::string& text, uint16_t port) {
    if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
        return false;
    }
    bool inRange = false;
    const int number = ParseDecimalInt(text.c_str(), &inRange);
    return inRange && number == port;
}

// A port text that is not a whole number from 1 to 65535, with the port the bridge takes from it.
// A plain 0 is told with what port 0 does.
void CheckPortText(const ConfigReading& reading, const char* label, uint16_t port, const std::string& wire,
                   std::vector<std::string>* reasons) {
    const std::string* text = FieldValue(reading, label);
    if (text != nullptr && !SaysPort(*text, port)) {
        reasons->push_back(std::string(label) + " " + Quoted(*text) +
                           " is not a whole number from 1 to 65535: the bridge reads it as " +
                           std::to_string(port) + wire);
    }
}

// The flag's value is read as "Y" or not; "N" is the plain way to say pass-through.
void CheckFlag(const ConfigReading& reading, std::vector<std::string>* reasons) {
    const std::string* text = FieldValue(reading, "NEW_MKT_DATA_FLAG");
    if (text != nullptr && *text != "Y" && *text != "N") {
        reasons->push_back("NEW_MKT_DATA_FLAG " + Quoted(*text) +
                           " is not exactly Y (nor N): the instance runs in pass-through mode");
    }
}

// The segment selects the message layout and the frame's segment code, exactly and case-sensitively.
void CheckSegment(const BCAST_PARAM& record, std::vector<std::string>* reasons) {
    const SegmentChoice choice = ChooseSegment(record.MARKET_SEGMENT);
    if (choice.code != kSegmentUnknown) {
        return;
    }
    const std::string bytes = choice.messageBytes == 0
                                  ? "no message bytes"
                                  : std::to_string(choice.messageBytes) + " message bytes";
    reasons->push_back("MARKET_SEGMENT " + Quoted(record.MARKET_SEGMENT) +
                       " is not exactly CM, FO, CD or CO: in relay mode the instance converts with the "
                       "derivatives layout and sends datagrams with segment code " +
                       std::to_string(choice.code) + " and " + bytes);
}

// The bridge refuses a value longer than its field and stops; the refused value is the last one read.
std::string RefusedValue(const ConfigReading& reading) {
    if (reading.fields.empty()) {
        return gcaLogMessage;
    }
    const auto position = static_cast<unsigned int>(reading.fields.size());
    const std::string& value = reading.fields.back();
    const char* label = ConfigFieldLabel(position);
    if (label == nullptr || value.size() <= ConfigFieldMaxLength(position)) {
        return gcaLogMessage;
    }
    return std::string(label) + " " + Quoted(value) + " has " + std::to_string(value.size()) +
           " characters, more than its limit of " + std::to_string(ConfigFieldMaxLength(position)) +
           ": the bridge stops at start-up with \"" + gcaLogMessage + "\"";
}

// Lines in BCSTBRIDGE.INI, the header included.
long CountLines() {
    std::ifstream file(kConfigFileName);
    long lines = 0;
    for (std::string line; std::getline(file, line);) {
        ++lines;
    }
    return lines;
}

// Every other instance of the file that receives on the same port: its receiving socket and this
// one's cannot both be bound (the same group or not, as both bind the port on every address).
void CheckOtherInstances(int instance, const BCAST_PARAM& mine, std::vector<std::string>* reasons) {
    const long lines = CountLines();
    for (long other = 1; other + 1 <= lines; ++other) {
        if (other == instance) {
            continue;
        }
        ConfigReading reading;
        BCAST_PARAM theirs = {};
        if (ReadConfigurationRecord(static_cast<int>(other), &theirs, &reading) != 0 ||
            reading.line.find(',') == std::string::npos ||
            theirs.RECV_MULTICAST_PORT != mine.RECV_MULTICAST_PORT) {
            memset(gcaLogMessage, 0, sizeof gcaLogMessage);  // a refusal of that line is not this one's
            continue;
        }
        const bool sameGroup = strcmp(theirs.RECV_MULTICAST_ADDR, mine.RECV_MULTICAST_ADDR) == 0;
        reasons->push_back("instance " + std::to_string(other) + " (line " + std::to_string(other + 1) +
                           ") receives on the same " + (sameGroup ? "group and port" : "port") + ", " +
                           theirs.RECV_MULTICAST_ADDR + ":" +
                           std::to_string(static_cast<uint16_t>(mine.RECV_MULTICAST_PORT)) +
                           ": only the first of the two to start can bind it");
    }
}

}  // namespace

bool TakeBusyPollOption(int* argc, char** argv) {
    for (int i = 1; i < *argc; ++i) {
        if (strcmp(argv[i], "--busy-poll") == 0) {
            for (int j = i; j < *argc; ++j) {
                argv[j] = argv[j + 1];  // argv[argc] is the null pointer
            }
            --*argc;
            return true;
        }
    }
    return false;
}

void PrintBridgeUsage(FILE* stream) {
    fprintf(stream,
            "usage: bcstbridge [--busy-poll] <instance> | --check <instance> [--busy-poll] | --help | "
            "--version\n");
}

int CheckInstance(const char* argument, FILE* out, FILE* err) {
    bool inRange = false;
    const int instance = ParseDecimalInt(argument, &inRange);
    if (!inRange || instance <= 0) {
        PrintBridgeUsage(err);
        return 1;
    }
    BCAST_PARAM record = {};
    ConfigReading reading;
    const int result = ReadConfigurationRecord(instance, &record, &reading);
    fprintf(out, "instance %d: line %lld of %s\n", instance, static_cast<long long>(instance) + 1,
            kConfigFileName);
    for (const std::string& entry : reading.entries) {
        fprintf(out, "  %s\n", entry.c_str());
    }
    std::vector<std::string> reasons;
    if (result != 0) {
        reasons.push_back(RefusedValue(reading));  // what the bridge would log before it exits
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    } else if (reading.line.empty() || reading.line.find(',') == std::string::npos) {
        reasons.push_back(std::string(reading.line.empty() ? "the line is empty" : "the line has no comma") +
                          ": the bridge would start with nothing configured and fail at its sockets");
    } else {
        const auto fields = static_cast<long>(reading.fields.size());
        if (fields < kFieldCount) {
            reasons.push_back("the line has " + std::to_string(fields) + " of " +
                              std::to_string(kFieldCount) + " fields; the missing ones stay empty or zero");
        }
        for (long extra = kFieldCount; extra < fields; ++extra) {
            reasons.push_back("field " + std::to_string(extra + 1) + " " +
                              Quoted(reading.fields[static_cast<size_t>(extra)]) + " is beyond the " +
                              std::to_string(kFieldCount) +
                              " fields of a line: the bridge ignores it and logs \"" +
                              kLogConfigImproperPosition + "\"");
        }
        const bool crlf = reading.line.back() == '\r';
        if (crlf) {
            reasons.push_back(
                fields == kFieldCount
                    ? "the last field, NEW_MKT_DATA_FLAG, ends in a carriage return (a file saved with CRLF "
                      "line ends): it is not \"Y\", so the instance runs in pass-through mode"
                    : "the line ends in a carriage return (a file saved with CRLF line ends), which becomes "
                      "part "
                      "of its last field");
        }
        CheckSegment(record, &reasons);
        const auto recv = static_cast<uint16_t>(record.RECV_MULTICAST_PORT);
        CheckPortText(reading, "RECV_MULTICAST_PORT", recv, "", &reasons);
        if (recv == 0) {
            reasons.push_back(
                "RECV_MULTICAST_PORT 0: the receiving socket binds a random port, where the feed never "
                "arrives");
        }
        const auto send = static_cast<uint16_t>(record.SEND_MULTICAST_PORT);
        const uint16_t wire = WireSendPort(record.SEND_MULTICAST_PORT);
        CheckPortText(reading, "SEND_MULTICAST_PORT", send,
                      send == 0 ? "" : " (port " + std::to_string(wire) + " on the wire, byte-exchanged)",
                      &reasons);
        if (send == 0) {
            reasons.push_back(
                "SEND_MULTICAST_PORT 0: the sending socket binds a random local port, and every send fails "
                "as no datagram can go to port 0");
        } else if (wire < 1024) {
            reasons.push_back("SEND_MULTICAST_PORT " + std::to_string(send) +
                              " goes on the wire byte-exchanged as port " + std::to_string(wire) +
                              ", below 1024: binding it needs privilege, and receivers must listen there");
        }
        if (!(crlf && fields == kFieldCount)) {  // a flag with a carriage return is told above
            CheckFlag(reading, &reasons);
        }
        CheckGroup("RECV_MULTICAST_ADDR", record.RECV_MULTICAST_ADDR, &reasons);
        CheckGroup("SEND_MULTICAST_ADDR", record.SEND_MULTICAST_ADDR, &reasons);
        CheckLocal("LOCAL_IP_TO_HOST", record.LOCAL_IP_TO_HOST, &reasons);
        CheckLocal("LOCAL_IP_TO_VELT", record.LOCAL_IP_TO_VELT, &reasons);
        if (recv != 0) {  // port 0 binds a random port of its own: no other instance can take it
            CheckOtherInstances(instance, record, &reasons);
        }
    }
    // The header and the fields before the warnings, also when both streams go to one pipe.
    fflush(out);
    for (const std::string& reason : reasons) {
        fprintf(err, "bcstbridge: instance %d: %s\n", instance, reason.c_str());
    }
    if (reasons.empty()) {
        fprintf(out, "instance %d: nothing to warn about\n", instance);
    }
    return reasons.empty() ? 0 : 1;
}

int RunBridgeOption(int argc, char** argv) {
    const std::string option = argv[1];
    if (option == "--help" && argc == 2) {
        PrintBridgeUsage(stdout);
        printf(
            "\n"
            "Runs one instance of the market-data broadcast bridge with the line <instance> + 1 of\n"
            "BCSTBRIDGE.INI in the working directory; it logs to BcstBridge<instance>_<d>_<m>_<y>.log there\n"
            "and runs until killed (SIGUSR1 appends a statistics line to UDP_STATISTICS.txt).\n"
            "\n"
            "  --check <instance>  read the instance's line as the bridge would, print each field and warn\n"
            "                      about what would go wrong; writes no log, opens no socket; exit 0 when\n"
            "                      there is nothing to warn about, 1 otherwise\n"
            "  --busy-poll         (beside <instance>, or --check <instance>) poll the receiving socket\n"
            "                      without ever sleeping, for the lowest latency: it keeps one core busy at\n"
            "                      100 %% all the time, by design; give the instance a core of its own\n"
            "  --help              print this text\n"
            "  --version           print the version\n");
        return 0;
    }
    if (option == "--version" && argc == 2) {
        printf("bcstbridge %s\n", BCST_VERSION);
        return 0;
    }
    if (option == "--check" && argc == 3) {
        return CheckInstance(argv[2], stdout, stderr);
    }
    PrintBridgeUsage(stderr);
    return 1;
}
