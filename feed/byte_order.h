// Byte order of the two wire formats: the exchange feed is little-endian and is read in place, the
// old-format broadcast is big-endian. Every byte reversal in the bridge goes through these helpers.
#pragma once

#include <cstdint>
#include <cstring>
#include <type_traits>

#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ != __ORDER_LITTLE_ENDIAN__
#error "bcstbridge reads the little-endian feed in place: build it for a little-endian host"
#endif

// Every wire record is declared with this: no padding, and allowed to overlay a plain byte buffer.
#define BCST_WIRE __attribute__((packed, may_alias))

namespace bcst {

// Reverses the bytes of a 2-, 4- or 8-byte integer; the bit pattern is kept, signed or not.
template <typename T>
constexpr T ReverseBytes(T value) {
    static_assert(std::is_integral<T>::value, "byte reversal is for integer fields");
    if constexpr (sizeof(T) == 1) {
        return value;
    } else if constexpr (sizeof(T) == 2) {
        return static_cast<T>(__builtin_bswap16(static_cast<uint16_t>(value)));
    } else if constexpr (sizeof(T) == 4) {
        return static_cast<T>(__builtin_bswap32(static_cast<uint32_t>(value)));
    } else {
        static_assert(sizeof(T) == 8, "no wire field has this width");
        return static_cast<T>(__builtin_bswap64(static_cast<uint64_t>(value)));
    }
}

// Host order to the big-endian broadcast and back (the same operation on this host).
template <typename T>
constexpr T HostToWire(T value) {
    return ReverseBytes(value);
}
template <typename T>
constexpr T WireToHost(T value) {
    return ReverseBytes(value);
}

// Reads a little-endian feed value from any alignment.
template <typename T>
inline T LoadLittleEndian(const void* at) {
    T value;
    std::memcpy(&value, at, sizeof value);
    return value;
}

// Reads a big-endian broadcast value from any alignment.
template <typename T>
inline T LoadBigEndian(const void* at) {
    return WireToHost(LoadLittleEndian<T>(at));
}

// Writes a value in host order to any alignment.
template <typename T>
inline void StoreLittleEndian(void* at, T value) {
    std::memcpy(at, &value, sizeof value);
}

}  // namespace bcst
