// Decimal formatting that is safe inside a signal handler: no locale, no stdio, no allocation.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bcst {

// A bounded output area; writes past its end are dropped and remembered in `overflow`.
struct TextBuffer {
    char* data;
    size_t capacity;
    size_t length = 0;
    bool overflow = false;

    void Append(const char* text, size_t count) {
        for (size_t i = 0; i < count; ++i) {
            Put(text[i]);
        }
    }
    void Append(const char* text) {
        while (*text != '\0') {
            Put(*text++);
        }
    }
    void Put(char c) {
        if (length < capacity) {
            data[length++] = c;
        } else {
            overflow = true;
        }
    }
    // `value` in decimal, right-aligned in at least `width` characters (as printf's %<width>ld).
    void AppendDecimal(int64_t value, int width = 0) {
        char digits[24];
        int n = 0;
        uint64_t magnitude = value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
        do {
            digits[n++] = static_cast<char>('0' + magnitude % 10);
            magnitude /= 10;
        } while (magnitude != 0);
        const int used = n + (value < 0 ? 1 : 0);
        for (int pad = used; pad < width; ++pad) {
            Put(' ');
        }
        if (value < 0) {
            Put('-');
        }
        while (n > 0) {
            Put(digits[--n]);
        }
    }
};

}  // namespace bcst
