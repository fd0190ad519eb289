// The exchange feed's frames built from the core's own record layouts and constants: the one encoder
// that the simulator, the tests, the benchmarks and the fuzz seeds share.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <vector>

#include "feed/frame.h"
#include "feed/store.h"
#include "mbp/new_mbp.h"

namespace bcst {

using Bytes = std::vector<uint8_t>;

// Appends `record` to a payload exactly as the feed carries it (the layouts are little-endian, like
// this host).
template <typename Record>
void AppendRecord(Bytes& payload, const Record& record) {
    static_assert(std::is_trivially_copyable<Record>::value, "a wire record");
    const size_t at = payload.size();
    payload.resize(at + sizeof record);
    std::memcpy(payload.data() + at, &record, sizeof record);
}

// One LZ4 block holding `payload`; empty when the compressor fails.
Bytes CompressBlock(const Bytes& payload);

// The 6-byte frame header followed by `body`, with whatever length the caller gives: tests build
// frames whose header disagrees with what follows it.
Bytes MakeFrameWithLength(int16_t messageType, int16_t compressedLength, int16_t recordCount,
                          const Bytes& body);
// The header and an already compressed block, its length taken from the block.
Bytes MakeFrame(int16_t messageType, int16_t recordCount, const Bytes& compressed);

// A whole datagram: the header and `payload` compressed. Empty when the block would be longer than
// the bridge takes behind the header in one receive buffer (kMaxCompressedLength).
Bytes EncodeFrame(int16_t messageType, int16_t recordCount, const Bytes& payload);

}  // namespace bcst
