// Pairing of feed records into old-format messages and of messages into 512-byte output datagrams.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feed/byte_order.h"
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

// Segment code and message bytes framed for a MARKET_SEGMENT text (exact, case-sensitive).
struct SegmentChoice {
    uint8_t code;
    int messageBytes;  // 474 for CM, 478 for FO/CD/CO, 0 otherwise
};
SegmentChoice ChooseSegment(const char* marketSegment);

// Entry from the intake: converts `count` consecutive 140-byte records two at a time and sends one
// datagram per pair. 1 for null `data`, else 0.
int ProcessMBPData(char* data, int count);
int PrepareAndSendOldMBPPacketCM(char* data, int count);
int PrepareAndSendOldMBPPacketFO(char* data, int count);

// Builds the output frame for the configured segment from a converted message in `frame`
// (kFrameAreaSize bytes). Every byte of the first kOutputFrameSize is written.
int AddBcastHeaderData(const char* message, char* frame);
