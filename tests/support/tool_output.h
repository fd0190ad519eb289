// Running bcst-feed and bcst-dump to their end, and reading their JSON Lines.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace bcsttest {

// A tool started with its stdout and stderr in files of its working directory.
using ToolProcess = ChildProcess;

struct ToolResult {
    int status = -1;
    std::string out, err;
};

// Runs a tool to its end (at most `timeout`; then it is killed and the status is -1).
ToolResult RunTool(const std::string& workDir, const std::vector<std::string>& argv,
                   std::chrono::milliseconds timeout = std::chrono::seconds(60));

// One JSON value of a tool's output, as parsed by nlohmann-json. The tools write only integers, and
// strings whose bytes outside printable ASCII go out as \u00XX: they come back here as those bytes.
struct Json {
    enum Type { kNull, kBool, kNumber, kString, kArray, kObject } type = kNull;
    bool boolean = false;
    int64_t number = 0;
    std::string text;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool Has(const std::string& key) const { return type == kObject && members.count(key) != 0; }
    const Json& operator[](const std::string& key) const;  // throws for a missing member
    int64_t Int(const std::string& key) const { return (*this)[key].number; }
    std::string Str(const std::string& key) const { return (*this)[key].text; }
};

// How many output datagrams a relay bridge sends for a session that bcst-feed --records-out wrote:
// each market-by-price frame's records two to a datagram.
size_t OutputDatagramsFor(const std::vector<Json>& session);

// One object per non-empty line; throws on a line that is not JSON or holds a non-integer number.
std::vector<Json> ParseJsonLines(const std::string& text);

}  // namespace bcsttest
