// Output framing: records (1, 2), (3, 4), ... each pair one message, each message one datagram.
#include "mbp/framing.h"

#include <cstddef>
#include <cstring>

#include "app/log.h"
#include "app/log_texts.h"
#include "config/config.h"
#include "feed/store.h"
#include "mbp/new_mbp.h"
#include "net/multicast.h"

SegmentChoice ChooseSegment(const char* segment) {
    if (strcmp(segment, "CM") == 0) {
        return {kSegmentCM, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_CM))};
    }
    if (strcmp(segment, "FO") == 0) {
        return {kSegmentFO, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO))};
    }
    if (strcmp(segment, "CD") == 0) {
        return {kSegmentCD, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO))};
    }
    if (strcmp(segment, "CO") == 0) {
        return {kSegmentCO, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO))};
    }
    return {kSegmentUnknown, 0};
}

int AddBcastHeaderData(const char* message, char* frame) {
    const SegmentChoice segment = ChooseSegment(gsBcastParam.MARKET_SEGMENT);
    BCAST_FRAME_HEAD head = {};
    head.segmentCode = segment.code;
    head.messageCount = bcst::HostToWire<int16_t>(1);
    memcpy(frame, &head, sizeof head);
    char* body = frame + sizeof head;
    if (message != body) {
        memmove(body, message, static_cast<size_t>(segment.messageBytes));
    }
    memset(body + segment.messageBytes, 0,
           kFrameAreaSize - sizeof head - static_cast<size_t>(segment.messageBytes));
    return 0;
}

namespace {

// A frame's output datagrams, built back to back so that they leave in one send. A frame's records
// fit the decompression area, so its datagrams fit here; a longer run (only from a direct caller)
// goes out in several batches.
constexpr int kFrameDatagrams = (kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_MBP_DATA)) + 1) / 2;
static_assert(kFrameDatagrams == 21, "a 42-record frame leaves as 21 datagrams");
static_assert(kFrameDatagrams <= kMaxBatchDatagrams, "one frame is one send");
alignas(64) char gOutputFrames[kFrameDatagrams * kOutputFrameSize];

// Head and zero tail around the kMessageBytes of a message already lying at byte 6 of the datagram:
// the same frame as AddBcastHeaderData builds, with the segment chosen once per call and the tail's
// length a constant, so the clearing compiles to a few stores instead of a library call.
template <int kMessageBytes>
inline void FrameAround(char* frame, uint8_t segmentCode) {
    BCAST_FRAME_HEAD head = {};
    head.segmentCode = segmentCode;
    head.messageCount = bcst::HostToWire<int16_t>(1);
    memcpy(frame, &head, sizeof head);
    memset(frame + sizeof head + kMessageBytes, 0, kOutputFrameSize - sizeof head - kMessageBytes);
}

// Converts the records two at a time, each message into the next datagram of the work area
// (`messageIn` says where its message goes, `frameIt` frames it), and sends the datagrams built so
// far whenever the area is full and at the end. Every byte of a datagram is written anew.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int), typename Place,
          typename Framer>
void ConvertFrameAndSend(const NEW_MKT_MBP_DATA* records, int count, Place messageIn, Framer frameIt) {
    if (gOHLMapData.Large()) {
        // Every lookup of a large store misses the cache: started together, the misses overlap.
        for (int i = 0; i < count; ++i) {
            gOHLMapData.PrefetchSlot(records[i].token);
        }
        for (int i = 0; i < count; ++i) {
            gOHLMapData.PrefetchEntry(records[i].token);
        }
    }
    int built = 0;
    for (int i = 0; i < count; i += 2) {
        char* frame = gOutputFrames + static_cast<std::ptrdiff_t>(built) * kOutputFrameSize;
        Convert(messageIn(frame), records + i, i + 1 < count ? 2 : 1);
        frameIt(frame);
        if (++built == kFrameDatagrams) {
            SendMulticastBatch(gOutputFrames, built, kOutputFrameSize);
            built = 0;
        }
    }
    if (built > 0) {
        SendMulticastBatch(gOutputFrames, built, kOutputFrameSize);
    }
}

// The message is converted straight into its place in the datagram, so framing copies nothing. A
// segment that frames no message bytes converts into a scratch area instead, and its datagram body
// stays zero.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int)>
int PrepareAndSend(char* data, int count) {
    static_assert(sizeof(BCAST_FRAME_HEAD) + sizeof(Message) <= kOutputFrameSize, "message fits the frame");
    const SegmentChoice segment = ChooseSegment(gsBcastParam.MARKET_SEGMENT);
    const auto* records = reinterpret_cast<const NEW_MKT_MBP_DATA*>(data);
    auto inFrame = [](char* frame) { return reinterpret_cast<Message*>(frame + sizeof(BCAST_FRAME_HEAD)); };
    if (segment.messageBytes == static_cast<int>(sizeof(Message))) {
        ConvertFrameAndSend<Message, Convert>(
            records, count, inFrame, [&](char* frame) { FrameAround<sizeof(Message)>(frame, segment.code); });
    } else if (segment.messageBytes == 0) {
        Message scratch;
        ConvertFrameAndSend<Message, Convert>(
            records, count, [&](char*) { return &scratch; },
            [&](char* frame) { FrameAround<0>(frame, segment.code); });
    } else {
        // The other layout's length: only when one layout's packet function is called directly while
        // another segment is configured. Framed as AddBcastHeaderData frames it, in its own cleared
        // area, so that bytes past a shorter message are zero.
        alignas(16) char area[kFrameAreaSize];
        memset(area, 0, sizeof area);
        ConvertFrameAndSend<Message, Convert>(
            records, count, [&](char*) { return inFrame(area); },
            [&](char* frame) {
                AddBcastHeaderData(reinterpret_cast<const char*>(inFrame(area)), area);
                memcpy(frame, area, kOutputFrameSize);
            });
    }
    return 0;
}

}  // namespace

int PrepareAndSendOldMBPPacketCM(char* data, int count) {
    return PrepareAndSend<MS_BCAST_ONLY_MBP_CM, CopyNewMBPToOldMBPCM>(data, count);
}

int PrepareAndSendOldMBPPacketFO(char* data, int count) {
    return PrepareAndSend<MS_BCAST_ONLY_MBP_FO, CopyNewMBPToOldMBPFO>(data, count);
}

int ProcessMBPData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogMbpNull);
        return 1;
    }
    if (strcmp(gsBcastParam.MARKET_SEGMENT, "CM") == 0) {
        return PrepareAndSendOldMBPPacketCM(data, count);
    }
    PrepareAndSendOldMBPPacketFO(data, count);
    return 0;
}
