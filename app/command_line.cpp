// bcstbridge --help, --version and --check: the configuration line read by the bridge's own reader in
// its quiet mode, then checked for what bites operators before a start.
#include "app/command_line.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/log.h"
#include "config/config.h"

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
void CheckOtherInstances(int instance, std::vector<std::string>* reasons) {
    const BCAST_PARAM mine = gsBcastParam;
    const long lines = CountLines();
    for (long other = 1; other + 1 <= lines; ++other) {
        if (other == instance) {
            continue;
        }
        ConfigReading reading;
        memset(&gsBcastParam, 0, sizeof gsBcastParam);
        if (ReadConfigurationFromFile(static_cast<int>(other), &reading) != 0 ||
            reading.line.find(',') == std::string::npos ||
            gsBcastParam.RECV_MULTICAST_PORT != mine.RECV_MULTICAST_PORT) {
            continue;
        }
        const bool sameGroup = strcmp(gsBcastParam.RECV_MULTICAST_ADDR, mine.RECV_MULTICAST_ADDR) == 0;
        reasons->push_back("instance " + std::to_string(other) + " (line " + std::to_string(other + 1) +
                           ") receives on the same " + (sameGroup ? "group and port" : "port") + ", " +
                           gsBcastParam.RECV_MULTICAST_ADDR + ":" +
                           std::to_string(static_cast<uint16_t>(mine.RECV_MULTICAST_PORT)) +
                           ": only the first of the two to start can bind it");
    }
    gsBcastParam = mine;
}

}  // namespace

void PrintBridgeUsage(FILE* stream) {
    fprintf(stream, "usage: bcstbridge <instance> | --check <instance> | --help | --version\n");
}

int CheckInstance(const char* argument, FILE* out, FILE* err) {
    bool inRange = false;
    const int instance = ParseDecimalInt(argument, &inRange);
    if (!inRange || instance <= 0) {
        PrintBridgeUsage(err);
        return 1;
    }
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    ConfigReading reading;
    const int result = ReadConfigurationFromFile(instance, &reading);
    fprintf(out, "instance %d: line %lld of %s\n", instance, static_cast<long long>(instance) + 1,
            kConfigFileName);
    for (const std::string& entry : reading.entries) {
        fprintf(out, "  %s\n", entry.c_str());
    }
    std::vector<std::string> reasons;
    if (result != 0) {
        reasons.push_back(gcaLogMessage);  // what the bridge would log before it exits
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    } else if (reading.line.empty() || reading.line.find(',') == std::string::npos) {
        reasons.push_back(std::string(reading.line.empty() ? "the line is empty" : "the line has no comma") +
                          ": the bridge would start with nothing configured and fail at its sockets");
    } else {
        const long fields = 1 + static_cast<long>(std::count(reading.line.begin(), reading.line.end(), ','));
        if (fields < kFieldCount) {
            reasons.push_back("the line has " + std::to_string(fields) + " of " +
                              std::to_string(kFieldCount) + " fields; the missing ones stay empty or zero");
        }
        if (reading.line.back() == '\r') {
            reasons.push_back(
                fields == kFieldCount
                    ? "the last field, NEW_MKT_DATA_FLAG, ends in a carriage return (a file saved with CRLF "
                      "line ends): it is not \"Y\", so the instance runs in pass-through mode"
                    : "the line ends in a carriage return (a file saved with CRLF line ends), which becomes "
                      "part "
                      "of its last field");
        }
        const auto wire =
            static_cast<uint16_t>(__builtin_bswap16(static_cast<uint16_t>(gsBcastParam.SEND_MULTICAST_PORT)));
        if (wire < 1024) {
            reasons.push_back("SEND_MULTICAST_PORT " + std::to_string(gsBcastParam.SEND_MULTICAST_PORT) +
                              " goes on the wire byte-exchanged as port " + std::to_string(wire) +
                              ", below 1024: binding it needs privilege, and receivers must listen there");
        }
        CheckGroup("RECV_MULTICAST_ADDR", gsBcastParam.RECV_MULTICAST_ADDR, &reasons);
        CheckGroup("SEND_MULTICAST_ADDR", gsBcastParam.SEND_MULTICAST_ADDR, &reasons);
        CheckLocal("LOCAL_IP_TO_HOST", gsBcastParam.LOCAL_IP_TO_HOST, &reasons);
        CheckLocal("LOCAL_IP_TO_VELT", gsBcastParam.LOCAL_IP_TO_VELT, &reasons);
        CheckOtherInstances(instance, &reasons);
    }
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
