// Tool runs and their JSON Lines (nlohmann-json underneath).
#include "support/tool_output.h"

#include <nlohmann/json.hpp>

#include <stdexcept>

namespace bcsttest {

namespace {

// UTF-8 back to the single bytes the tools escaped as code points below 0x100.
std::string Bytes8(const std::string& utf8) {
    std::string out;
    for (size_t i = 0; i < utf8.size(); ++i) {
        const auto c = static_cast<unsigned char>(utf8[i]);
        if ((c == 0xC2 || c == 0xC3) && i + 1 < utf8.size()) {
            out += static_cast<char>(((c & 0x03) << 6) | (static_cast<unsigned char>(utf8[++i]) & 0x3F));
        } else if (c >= 0x80) {
            throw std::runtime_error("JSON: code point beyond one byte in: " + utf8);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

Json From(const nlohmann::json& value) {
    Json v;
    if (value.is_object()) {
        v.type = Json::kObject;
        for (const auto& [key, member] : value.items()) {
            v.members[key] = From(member);
        }
    } else if (value.is_array()) {
        v.type = Json::kArray;
        for (const nlohmann::json& item : value) {
            v.items.push_back(From(item));
        }
    } else if (value.is_string()) {
        v.type = Json::kString;
        v.text = Bytes8(value.get<std::string>());
    } else if (value.is_boolean()) {
        v.type = Json::kBool;
        v.boolean = value.get<bool>();
    } else if (value.is_number_integer()) {
        v.type = Json::kNumber;
        v.number = value.get<int64_t>();
    } else if (!value.is_null()) {
        throw std::runtime_error("JSON: only integers are expected, got " + value.dump());
    }
    return v;
}

}  // namespace

ToolResult RunTool(const std::string& workDir, const std::vector<std::string>& argv,
                   std::chrono::milliseconds timeout) {
    static int serial = 0;
    ToolProcess process(workDir, argv, "run" + std::to_string(serial++));
    ToolResult r;
    r.status = process.Wait(timeout);
    r.out = process.Out();
    r.err = process.Err();
    return r;
}

const Json& Json::operator[](const std::string& key) const {
    const auto found = members.find(key);
    if (type != kObject || found == members.end()) {
        throw std::runtime_error("no member " + key);
    }
    return found->second;
}

std::vector<Json> ParseJsonLines(const std::string& text) {
    std::vector<Json> all;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        const std::string line = text.substr(start, end - start);
        if (!line.empty()) {
            all.push_back(From(nlohmann::json::parse(line)));
        }
        start = end + 1;
    }
    return all;
}

size_t OutputDatagramsFor(const std::vector<Json>& session) {
    std::map<int64_t, size_t> records;
    for (const Json& r : session) {
        if (r.Str("kind") == "mbp_in") {
            ++records[r.Int("datagram")];
        }
    }
    size_t datagrams = 0;
    for (const auto& frame : records) {
        datagrams += (frame.second + 1) / 2;
    }
    return datagrams;
}

}  // namespace bcsttest
