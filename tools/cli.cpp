// Conventions shared by the operator tools: messages, exit statuses, --version, interface names.
#include "tools/cli.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef BCST_VERSION
#error "BCST_VERSION must be defined by the build"
#endif

namespace bcst {

namespace {

const char* gProgramName = "bcst";

void Say(const char* format, va_list arguments) {
    // One write per message, so that lines of two tools sharing a terminal do not interleave.
    char line[1024];
    int used = snprintf(line, sizeof line, "%s: ", gProgramName);
    vsnprintf(line + used, sizeof line - static_cast<size_t>(used), format, arguments);
    for (char* c = line; *c != '\0'; ++c) {
        if (*c == '\n') {
            *c = ' ';  // one line, whatever the message held
        }
    }
    fprintf(stderr, "%s\n", line);
}

bool ParseWhole(const std::string& text, long long* value) {
    if (text.empty()) {
        return false;
    }
    char* end = nullptr;
    errno = 0;
    *value = strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0';
}

}  // namespace

void SetProgramName(const char* name) {
    gProgramName = name;
}

const char* ProgramName() {
    return gProgramName;
}

const char* ProjectVersion() {
    return BCST_VERSION;
}

int Fail(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
    return kExitFailure;
}

int UsageError(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
    return kExitUsage;
}

void Note(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    Say(format, arguments);
    va_end(arguments);
}

int ParseCommandLine(CLI::App& app, int argc, char** argv) {
    app.set_version_flag("--version", std::string(gProgramName) + " (bcstbridge) " + BCST_VERSION,
                         "Print the version and exit");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        if (e.get_exit_code() == 0) {
            return app.exit(e);  // --help or --version, on stdout
        }
        UsageError("%s (see --help)", e.what());
        return kExitUsage;
    }
    return -1;
}

CLI::Validator IntegerIn(long long low, long long high) {
    const std::string range = std::to_string(low) + ".." + std::to_string(high);
    return CLI::Validator(
        [low, high, range](std::string& text) -> std::string {
            long long value = 0;
            if (!ParseWhole(text, &value)) {
                return "'" + text + "' is not a whole number";
            }
            if (value < low || value > high) {
                return text + " is not in " + range;
            }
            return "";
        },
        "INT in " + range);
}

CLI::Validator RealAtLeast(double low, bool orEqual, const std::string& what) {
    return CLI::Validator(
        [low, orEqual, what](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = strtod(text.c_str(), &end);
            // At most a billion: more is a typo, and keeps every later sum of times finite.
            if (text.empty() || *end != '\0' || !(orEqual ? value >= low : value > low) || !(value <= 1e9)) {
                return "'" + text + "' is not " + what;
            }
            return "";
        },
        "NUMBER");
}

CLI::Validator PositiveNumber(const std::string& what) {
    return RealAtLeast(0, false, "a positive " + what);
}

CLI::Validator NonNegativeNumber(const std::string& what) {
    return RealAtLeast(0, true, "zero or a positive " + what);
}

bool ResolveInterface(const std::string& text, std::string* address, std::string* error) {
    struct in_addr parsed = {};
    if (inet_pton(AF_INET, text.c_str(), &parsed) == 1) {
        *address = text;
        return true;
    }
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0) {
        *error = std::string("cannot list the interfaces: ") + strerror(errno);
        return false;
    }
    bool found = false;
    bool named = false;
    for (const struct ifaddrs* i = list; i != nullptr && !found; i = i->ifa_next) {
        if (i->ifa_name == nullptr || text != i->ifa_name) {
            continue;
        }
        named = true;
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET) {
            char dotted[INET_ADDRSTRLEN];
            const auto* in = reinterpret_cast<const struct sockaddr_in*>(i->ifa_addr);
            inet_ntop(AF_INET, &in->sin_addr, dotted, sizeof dotted);
            *address = dotted;
            found = true;
        }
    }
    freeifaddrs(list);
    if (!found) {
        *error = named ? "interface " + text + " has no IPv4 address"
                       : "'" + text + "' is neither an IPv4 address nor an interface";
    }
    return found;
}

bool SameFile(const std::string& a, const std::string& b) {
    struct stat first, second;
    return stat(a.c_str(), &first) == 0 && stat(b.c_str(), &second) == 0 && first.st_dev == second.st_dev &&
           first.st_ino == second.st_ino;
}

}  // namespace bcst
