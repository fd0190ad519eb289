// Pairing of feed records into old-format messages and of messages into 512-byte output datagrams,
// built into a batch that the relay step sends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feed/byte_order.h"
#include "feed/store.h"
#include "mbp/new_mbp.h"
#include "mbp/old_mbp.h"

// Head of every output datagram; the message follows at byte 6.
struct BCST_WIRE BCAST_FRAME_HEAD {
    uint8_t segmentCode;  // 4 CM, 2 FO, 6 CD, 8 CO, 0 anything else
    uint8_t reserved1;
    int16_t messageCount;  // always 1, big-endian
    uint8_t reserved2[2];
};
static_assert(sizeof(BCAST_FRAME_HEAD) == 6, "output frame head");
static_assert(offsetof(BCAST_FRAME_HEAD, messageCount) == 2, "message count offset");

constexpr int kOutputFrameSize = 512;  // every datagram the bridge sends
constexpr int kFrameAreaSize = 516;    // the work area a frame is built in
static_assert(sizeof(BCAST_FRAME_HEAD) + sizeof(MS_BCAST_ONLY_MBP_FO) <= kOutputFrameSize, "message fits");

enum SegmentCode : uint8_t {
    kSegmentUnknown = 0,
    kSegmentFO = 2,
    kSegmentCM = 4,
    kSegmentCD = 6,
    kSegmentCO = 8,
};

// Segment code and message bytes framed for a MARKET_SEGMENT text (exact, case-sensitive), and the
// layout its records convert into: the capital-market layout for "CM", the derivatives one otherwise.
struct SegmentChoice {
    uint8_t code;
    int messageBytes;  // 474 for CM, 478 for FO/CD/CO, 0 otherwise
    bool capitalMarket;
};
SegmentChoice ChooseSegment(const char* marketSegment);

// Frames a converted message (anywhere, kFrameAreaSize bytes of room at `frame`) for `segment`:
// the head, the segment's message bytes, zeros to the end of the area.
int AddBcastHeaderData(const SegmentChoice& segment, const char* message, char* frame);

// The most records one output batch takes: a full decompression area of market-by-price records.
constexpr int kBatchRecords = kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_MBP_DATA));
constexpr int kBatchDatagrams = (kBatchRecords + 1) / 2;
static_assert(kBatchDatagrams == 21, "a 42-record frame leaves as 21 datagrams");

// A frame's output datagrams, built back to back so that they leave in one send.
struct OutputBatch {
    alignas(64) char frames[kBatchDatagrams * kOutputFrameSize];
    int count = 0;
    const char* Datagram(int i) const { return frames + static_cast<std::ptrdiff_t>(i) * kOutputFrameSize; }
};

// Converts `count` consecutive records (at most kBatchRecords; none for 0 or less) two at a time,
// each pair into one datagram of `out` framed for `segment`: records (1, 2), (3, 4), ... in order.
// Every byte of a datagram is written anew. The CM and FO forms convert into their own layout
// whatever the segment (a message of the other length is framed as AddBcastHeaderData frames it);
// ConvertMBPRecords takes the segment's layout. Reads the store; sends nothing.
void ConvertMBPRecordsCM(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                         OutputBatch* out);
void ConvertMBPRecordsFO(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                         OutputBatch* out);
inline void ConvertMBPRecords(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                              OutputBatch* out) {
    segment.capitalMarket ? ConvertMBPRecordsCM(segment, records, count, out)
                          : ConvertMBPRecordsFO(segment, records, count, out);
}

// A pass-through datagram of `length` bytes at `frame` as it leaves: cut to, or zero-filled up to,
// exactly kOutputFrameSize bytes (`frame` has room for them). Returns the bytes kept from the input.
int FramePassThroughDatagram(char* frame, int length);
