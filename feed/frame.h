// Intake of the exchange feed's LZ4-compressed frames: check, decode, dispatch by message type.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feed/byte_order.h"
#include "feed/store.h"

enum NewMarketMessageType : int16_t {
    kMessageTypeMbp = 10500,     // market-by-price records, 140 bytes
    kMessageTypeTicker = 10600,  // ticker records, 16 bytes
    kMessageTypeOhl = 10750,     // open/high/low records, 28 bytes
};

// One frame at the start of a datagram; the header is little-endian like everything on the feed.
struct BCST_WIRE NEW_MKT_BCAST_DATA {
    int16_t messageType;
    int16_t compressedLength;  // payload bytes handed to the decoder
    int16_t recordCount;
    char compressedData[1];  // one LZ4 block, compressedLength bytes
};

static_assert(offsetof(NEW_MKT_BCAST_DATA, compressedLength) == 2, "frame compressed length offset");
static_assert(offsetof(NEW_MKT_BCAST_DATA, recordCount) == 4, "frame record count offset");
constexpr int kFrameHeaderSize = offsetof(NEW_MKT_BCAST_DATA, compressedData);
static_assert(kFrameHeaderSize == 6, "frame header is 6 bytes");

// The relay loop's receive buffer; frames are read inside it and nowhere past it.
constexpr int kReceiveBufferSize = 2500;
// The longest payload that lies inside the receive buffer behind the header.
constexpr int kMaxCompressedLength = kReceiveBufferSize - kFrameHeaderSize;

// What the intake does with a datagram, as one verdict. Each refusal has its own counter.
enum class FrameVerdict : uint8_t {
    kAccepted,                // dispatched: to the conversion (10500) or to the store (10750, 10600)
    kRefusedZeroCount,        // record count 0, or an empty datagram: nothing logged
    kRefusedUnknownType,      // none of the three message types: nothing logged
    kRefusedBadLength,        // cut inside the header, or a compressed length outside 1..kMaxCompressedLength
                              // or past the datagram's end: the two length lines
    kRefusedDecodeFailure,    // not a valid LZ4 block, or one decoding to nothing or to more than
                              // kDecompressBufferSize bytes: the size line
    kRefusedWrongRecordSize,  // 10500 whose decoded size is not 140 bytes a record: nothing logged
};

struct FrameClass {
    FrameVerdict verdict = FrameVerdict::kRefusedZeroCount;
    int16_t type = 0;        // from the header; 0 when the datagram is shorter than the header
    int16_t count = 0;       // likewise
    int16_t compressed = 0;  // likewise
    int decoded = 0;         // the decoder's result, once the payload was handed to it
    int recordSize = 0;      // of the message type, once it is known
    int records = 0;         // accepted: records applied, the first `records` of the decoded area
};

// Says what the intake does with the datagram of `length` bytes at `frame` (which may be null
// only when `length` is 0), reading nothing past its end and changing nothing: no store, no counter,
// no log. A frame that reaches the decoder is decoded into `out` (kDecompressBufferSize bytes), which
// is then zero after the decoded bytes. For an accepted frame `records` is what the handler applies:
// 10500 `count` records, all within the decoded bytes; 10750 and 10600 `count` records cut to what
// `out` holds (none for a negative count), those past the decoded bytes reading as zeros.
FrameClass ClassifyNewMktData(const char* frame, int length, char* out);

// Decodes the payload of a frame whose datagram is `length` bytes (at least the header) into `out`
// (kDecompressBufferSize bytes): the decoded size; 0 after reporting a compressed length outside
// 1..kMaxCompressedLength or past the datagram's end (its first log line); or the decoder's own result
// (0 or negative).
int DecompressNewMktData(const NEW_MKT_BCAST_DATA* frame, int length, char* out);

// The log lines a refused frame is reported with, in order, into `texts`: how many (0, 1 or 2). A
// frame refused for its length or its payload is logged; the other refusals are silent.
int FrameRefusalTexts(FrameVerdict verdict, const char* texts[2]);
