// Frame intake. Protocol mismatches (unknown type, no records, wrong record size) are dropped
// silently; decoding failures are logged.
#include "feed/frame.h"

#include <lz4.h>

#include <cstring>

#include "app/counters.h"
#include "app/log.h"
#include "app/log_texts.h"
#include "app/statistics.h"
#include "mbp/framing.h"
#include "mbp/new_mbp.h"

namespace {

// Scratch for one frame's decoded records, which must read as zeros after the decoded size. The
// decoder keeps inside the area but may write past the decoded size within it (it copies in wide
// chunks), so after each decode the rest of the area is cleared; for a full market-by-price frame
// that is the last 120 bytes, instead of clearing all 6,000 before every decode.
alignas(64) char gDecompressBuffer[kDecompressBufferSize];

void ZeroAfter(int decoded) {
    memset(gDecompressBuffer + decoded, 0, static_cast<size_t>(kDecompressBufferSize - decoded));
}

// A length the frame cannot have: out of range, or more payload than the datagram carries.
int RefuseLength() {
    CounterAdd(kCounterRefusedBadLength);
    LogFixedMessage(kLogFrameLength);
    return 0;
}

}  // namespace

int DecompressNewMktData(const NEW_MKT_BCAST_DATA* frame, int length, char* out) {
    const int compressed = frame->compressedLength;
    // The payload must lie inside the datagram, and so inside the receive buffer: the decoder never
    // reads past either. A frame cut short in transit lands here instead of decoding missing bytes.
    if (compressed <= 0 || compressed > kMaxCompressedLength || compressed > length - kFrameHeaderSize) {
        return RefuseLength();
    }
    const int decoded = LZ4_decompress_safe(frame->compressedData, out, compressed, kDecompressBufferSize);
    if (decoded <= 0) {
        CounterAdd(kCounterRefusedDecodeFailure);
    }
    return decoded;
}

int ProcessNewMktData(char* frame) {
    return ProcessNewMktData(frame, kReceiveBufferSize);
}

int ProcessNewMktData(char* frame, int length) {
    if (frame == nullptr) {
        LogFixedMessage(kLogFrameNull);
        return 1;
    }
    if (length <= 0) {
        // No bytes, no frame, and not a cut one either; counted as the zero-filled buffer it used to
        // be read as, a record count of 0.
        CounterAdd(kCounterRefusedZeroCount);
        return 0;
    }
    int decoded = 0;
    int count = 0;
    int16_t type = 0;
    if (length < kFrameHeaderSize) {
        decoded = RefuseLength();  // cut inside the header: neither type nor count can be trusted
    } else {
        const auto* header = reinterpret_cast<const NEW_MKT_BCAST_DATA*>(frame);
        count = header->recordCount;
        type = header->messageType;
        if (count == 0) {
            CounterAdd(kCounterRefusedZeroCount);
            return 0;
        }
        if (type != kMessageTypeMbp && type != kMessageTypeOhl && type != kMessageTypeTicker) {
            CounterAdd(kCounterRefusedUnknownType);
            return 0;
        }
        decoded = DecompressNewMktData(header, length, gDecompressBuffer);
    }
    if (decoded <= 0) {
        LogFixedMessage(kLogFrameDecodeError);
        return 1;
    }
    ZeroAfter(decoded);

    switch (type) {
        case kMessageTypeTicker:
            CountAcceptedFrame(kCounterFramesTicker);
            ProcessTickerData(gDecompressBuffer, count);
            break;
        case kMessageTypeOhl:
            CountAcceptedFrame(kCounterFramesOhl);
            ProcessOHLData(gDecompressBuffer, count);
            break;
        default:
            // Accepts 140 * count up to 141 * count - 1 decoded bytes; a negative count never passes.
            if (decoded / count == static_cast<int>(sizeof(NEW_MKT_MBP_DATA))) {
                CountPacket(glReceivedPktCount);
                CounterAdd(kCounterReceived);
                CountAcceptedFrame(kCounterFramesMbp);
                ProcessMBPData(gDecompressBuffer, count);
            } else {
                CounterAdd(kCounterRefusedWrongRecordSize);
            }
            break;
    }
    return 0;
}
