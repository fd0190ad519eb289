// The conventions every operator tool follows, in one place: the program's name on every message,
// exit statuses, --version, "-" for the standard streams, interface names where an address is taken.
//
// A tool calls SetProgramName first, builds its CLI::App, and hands it to ParseCommandLine:
//
//     SetProgramName("bcst-stat");
//     CLI::App app{"What it does.", ProgramName()};
//     app.add_option("--port", port, "UDP port")->check(IntegerIn(1, 65535));
//     if (const int status = ParseCommandLine(app, argc, argv); status >= 0) return status;
//     ...
//     if (!opened) return Fail("%s: %s", path.c_str(), strerror(errno));   // exit status 1
//
// Exit statuses: 0 success, 1 a failure while running (a file, a socket, lost data), 2 a command line
// that cannot be run (every message of CLI11 and every later check of the options). Messages are
// one line on stderr: "<program>: <message>".
#pragma once

#include <CLI/CLI.hpp>
#include <string>

namespace bcst {

constexpr int kExitSuccess = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

void SetProgramName(const char* name);
const char* ProgramName();
// The package's version, as the build gives it.
const char* ProjectVersion();

// "<program>: <message>" on stderr; Fail returns kExitFailure and UsageError kExitUsage, so that
// `return Fail(...)` reads as what it does.
int Fail(const char* format, ...) __attribute__((format(printf, 1, 2)));
int UsageError(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Adds --version and parses. Returns -1 when the tool should run, otherwise the status to exit with
// (0 after --help or --version, 2 after a usage error, printed as one line).
int ParseCommandLine(CLI::App& app, int argc, char** argv);

// Validators whose messages name the bounds as written: "--port: 70000 is not in 1..65535".
CLI::Validator IntegerIn(long long low, long long high);
// "--duration: '-1' is not a positive number of seconds"; at most 1e9.
CLI::Validator PositiveNumber(const std::string& what);
CLI::Validator NonNegativeNumber(const std::string& what);

// "-" names the standard input or output where a file is taken.
inline bool IsStandardStream(const std::string& path) {
    return path == "-";
}

// The IPv4 address of `text`, which is a dotted address or the name of an interface holding one
// ("lo" gives 127.0.0.1). False with `*error` set otherwise.
bool ResolveInterface(const std::string& text, std::string* address, std::string* error);

// True when both paths name the same existing file (device and inode), links and "./" included.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace bcst
