// Frame intake. ClassifyNewMktData holds every rule of what a frame is; the relay step acts on its
// verdict. Protocol mismatches (unknown type, no records, wrong record size) are dropped silently;
// decoding failures are logged, in the words FrameRefusalTexts gives.
#include "feed/frame.h"

#include <lz4.h>

#include <cstring>

#include "app/log.h"
#include "app/log_texts.h"
#include "mbp/new_mbp.h"

namespace {

// A payload that lies inside the datagram, and so inside the receive buffer: the decoder never reads
// past either. A frame cut short in transit fails here instead of decoding missing bytes.
bool PayloadLengthFits(int compressed, int length) {
    return compressed > 0 && compressed <= kMaxCompressedLength && compressed <= length - kFrameHeaderSize;
}

// The decoded records must read as zeros after the decoded size. The decoder keeps inside the area
// but may write past the decoded size within it (it copies in wide chunks), so after each decode the
// rest of the area is cleared; for a full market-by-price frame that is the last 120 bytes, instead
// of clearing all 6,000 before every decode.
int Decode(const char* frame, int compressed, char* out) {
    const int decoded = LZ4_decompress_safe(frame + kFrameHeaderSize, out, compressed, kDecompressBufferSize);
    if (decoded > 0) {
        memset(out + decoded, 0, static_cast<size_t>(kDecompressBufferSize - decoded));
    }
    return decoded;
}

int RecordSizeOf(int16_t type) {
    switch (type) {
        case kMessageTypeMbp:
            return static_cast<int>(sizeof(NEW_MKT_MBP_DATA));
        case kMessageTypeOhl:
            return static_cast<int>(sizeof(NEW_MKT_OHL_DATA));
        case kMessageTypeTicker:
            return static_cast<int>(sizeof(NEW_MKT_TICKER_DATA));
        default:
            return 0;
    }
}

}  // namespace

FrameClass ClassifyNewMktData(const char* frame, int length, char* out) {
    FrameClass c;
    if (length <= 0) {
        // No bytes, no frame, and not a cut one either: taken as the zero-filled buffer it used to be
        // read as, a record count of 0.
        c.verdict = FrameVerdict::kRefusedZeroCount;
        return c;
    }
    if (length < kFrameHeaderSize) {
        // Cut inside the header: neither type nor count can be trusted.
        c.verdict = FrameVerdict::kRefusedBadLength;
        return c;
    }
    NEW_MKT_BCAST_DATA header;
    memcpy(&header, frame, kFrameHeaderSize);
    c.type = header.messageType;
    c.count = header.recordCount;
    c.compressed = header.compressedLength;
    c.recordSize = RecordSizeOf(c.type);
    if (c.count == 0) {
        c.verdict = FrameVerdict::kRefusedZeroCount;
        return c;
    }
    if (c.recordSize == 0) {
        c.verdict = FrameVerdict::kRefusedUnknownType;
        return c;
    }
    if (!PayloadLengthFits(c.compressed, length)) {
        c.verdict = FrameVerdict::kRefusedBadLength;
        return c;
    }
    c.decoded = Decode(frame, c.compressed, out);
    if (c.decoded <= 0) {
        c.verdict = FrameVerdict::kRefusedDecodeFailure;
        return c;
    }
    if (c.type == kMessageTypeMbp) {
        // Accepts 140 * count up to 141 * count - 1 decoded bytes; a negative count never passes. The
        // records used are the first 140 * count bytes.
        if (c.decoded / c.count != c.recordSize) {
            c.verdict = FrameVerdict::kRefusedWrongRecordSize;
            return c;
        }
        c.records = c.count;
    } else {
        // The store walks `count` records whatever was decoded.
        c.records = StoreRecordsApplied(c.count, static_cast<size_t>(c.recordSize));
    }
    c.verdict = FrameVerdict::kAccepted;
    return c;
}

int DecompressNewMktData(const NEW_MKT_BCAST_DATA* frame, int length, char* out) {
    if (!PayloadLengthFits(frame->compressedLength, length)) {
        LogFixedMessage(kLogFrameLength);
        return 0;
    }
    return Decode(reinterpret_cast<const char*>(frame), frame->compressedLength, out);
}

int FrameRefusalTexts(FrameVerdict verdict, const char* texts[2]) {
    switch (verdict) {
        case FrameVerdict::kRefusedBadLength:
            // A bad length is refused with two log lines, the length line and then the size line, in
            // this order and in these words. The two lines are an operators' contract: log watchers
            // match the pair, so both stay even though the second says nothing the first did not.
            texts[0] = kLogFrameLength;
            texts[1] = kLogFrameDecodeError;
            return 2;
        case FrameVerdict::kRefusedDecodeFailure:
            texts[0] = kLogFrameDecodeError;
            return 1;
        default:
            return 0;
    }
}
