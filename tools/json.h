// A minimal JSON Lines writer: objects of numbers, strings and arrays of objects, appended to a string.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

namespace bcst {

class JsonWriter {
  public:
    void BeginObject() {
        Separate();
        out_ += '{';
        first_ = true;
    }
    void EndObject() {
        out_ += '}';
        first_ = false;
    }
    void BeginArray(const char* key) {
        Key(key);
        out_ += '[';
        first_ = true;
    }
    void EndArray() {
        out_ += ']';
        first_ = false;
    }
    void Number(const char* key, int64_t value) {
        Key(key);
        out_ += std::to_string(value);
    }
    void Text(const char* key, const std::string& value) {
        Key(key);
        out_ += '"';
        for (const char c : value) {
            const auto byte = static_cast<unsigned char>(c);
            if (c == '"' || c == '\\') {
                out_ += '\\';
                out_ += c;
            } else if (byte < 0x20 || byte >= 0x7F) {
                // Bytes outside printable ASCII go out as code points, so every line stays valid UTF-8.
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04x", byte);
                out_ += escaped;
            } else {
                out_ += c;
            }
        }
        out_ += '"';
    }
    void EndLine() {
        out_ += '\n';
        first_ = true;
    }
    const std::string& str() const { return out_; }
    void Clear() {
        out_.clear();
        first_ = true;
    }

  private:
    void Separate() {
        if (!first_) {
            out_ += ',';
        }
    }
    void Key(const char* key) {
        Separate();
        first_ = false;
        out_ += '"';
        out_ += key;
        out_ += "\":";
    }

    std::string out_;
    bool first_ = true;
};

}  // namespace bcst
