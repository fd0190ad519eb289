// Indicator-bit expansion of the feed's market-by-price record.
#include "mbp/new_mbp.h"

int CheckBit(char byte, int position) {
    if (position < 1 || position > 8) {
        return 0;
    }
    return static_cast<unsigned char>(byte) & (1u << (position - 1));
}

int ViewBit(const char* bytes, int byteCount, int* flags) {
    int index = 0;
    for (int j = 0; j < byteCount; ++j) {
        const unsigned bits = static_cast<unsigned char>(bytes[j]);
        for (int bit = 0; bit < 8; ++bit) {
            flags[index++] = static_cast<int>((bits >> bit) & 1u);
        }
    }
    return 0;
}
