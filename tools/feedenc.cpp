// Feed frames: LZ4 block compression behind the little-endian frame header.
#include "tools/feedenc.h"

#include <lz4.h>

namespace bcst {

Bytes CompressBlock(const Bytes& payload) {
    Bytes block(static_cast<size_t>(LZ4_compressBound(static_cast<int>(payload.size()))));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(payload.data()),
                                       reinterpret_cast<char*>(block.data()),
                                       static_cast<int>(payload.size()), static_cast<int>(block.size()));
    block.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return block;
}

Bytes MakeFrameWithLength(int16_t messageType, int16_t compressedLength, int16_t recordCount,
                          const Bytes& body) {
    Bytes frame(kFrameHeaderSize + body.size());
    StoreLittleEndian(&frame[offsetof(NEW_MKT_BCAST_DATA, messageType)], messageType);
    StoreLittleEndian(&frame[offsetof(NEW_MKT_BCAST_DATA, compressedLength)], compressedLength);
    StoreLittleEndian(&frame[offsetof(NEW_MKT_BCAST_DATA, recordCount)], recordCount);
    if (!body.empty()) {
        std::memcpy(&frame[kFrameHeaderSize], body.data(), body.size());
    }
    return frame;
}

Bytes MakeFrame(int16_t messageType, int16_t recordCount, const Bytes& compressed) {
    return MakeFrameWithLength(messageType, static_cast<int16_t>(compressed.size()), recordCount, compressed);
}

Bytes EncodeFrame(int16_t messageType, int16_t recordCount, const Bytes& payload) {
    const Bytes block = CompressBlock(payload);
    if (block.empty() || block.size() > static_cast<size_t>(kMaxCompressedLength)) {
        return {};
    }
    return MakeFrame(messageType, recordCount, block);
}

}  // namespace bcst
