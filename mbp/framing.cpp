// Output framing: records (1, 2), (3, 4), ... each pair one message, each message one datagram.
#include "mbp/framing.h"

#include <cstring>

#include "app/log.h"
#include "config/config.h"
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

// Head and zero tail around the kMessageBytes of a message already lying at byte 6 of the frame: the
// same frame as AddBcastHeaderData builds, with the segment chosen once per call and the tail's
// length a constant, so the clearing compiles to a few stores instead of a library call.
template <int kMessageBytes>
inline void FrameAround(char* frame, uint8_t segmentCode) {
    BCAST_FRAME_HEAD head = {};
    head.segmentCode = segmentCode;
    head.messageCount = bcst::HostToWire<int16_t>(1);
    memcpy(frame, &head, sizeof head);
    memset(frame + sizeof head + kMessageBytes, 0, kFrameAreaSize - sizeof head - kMessageBytes);
}

// Converts the records two at a time into `message`, frames each message with `frameIt` and sends
// the frame.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int), typename Framer>
void ConvertFrameAndSend(char* frame, Message* message, const NEW_MKT_MBP_DATA* records, int count,
                         Framer frameIt) {
    for (int i = 0; i < count; i += 2) {
        Convert(message, records + i, i + 1 < count ? 2 : 1);
        frameIt();
        SendMulticastData(frame, kOutputFrameSize);
    }
}

// The message is converted straight into its place in the frame, so framing copies nothing. A
// segment that frames no message bytes converts into a scratch area instead, and its frame body
// stays zero.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int)>
int PrepareAndSend(char* data, int count) {
    static_assert(sizeof(Message) <= kFrameAreaSize - sizeof(BCAST_FRAME_HEAD), "message fits the frame");
    alignas(16) char frame[kFrameAreaSize];
    const SegmentChoice segment = ChooseSegment(gsBcastParam.MARKET_SEGMENT);
    const auto* records = reinterpret_cast<const NEW_MKT_MBP_DATA*>(data);
    auto* inFrame = reinterpret_cast<Message*>(frame + sizeof(BCAST_FRAME_HEAD));
    if (segment.messageBytes == static_cast<int>(sizeof(Message))) {
        ConvertFrameAndSend<Message, Convert>(frame, inFrame, records, count,
                                              [&] { FrameAround<sizeof(Message)>(frame, segment.code); });
    } else if (segment.messageBytes == 0) {
        Message scratch;
        ConvertFrameAndSend<Message, Convert>(frame, &scratch, records, count,
                                              [&] { FrameAround<0>(frame, segment.code); });
    } else {
        // The other layout's length: only when one layout's packet function is called directly while
        // another segment is configured. Framed as AddBcastHeaderData frames it, from a frame cleared
        // once, so that bytes past a shorter message are zero.
        memset(frame, 0, sizeof frame);
        ConvertFrameAndSend<Message, Convert>(frame, inFrame, records, count, [&] {
            AddBcastHeaderData(reinterpret_cast<const char*>(inFrame), frame);
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
        LogFixedMessage("ProcessMBPData : Input parameter is NULL ");
        return 1;
    }
    if (strcmp(gsBcastParam.MARKET_SEGMENT, "CM") == 0) {
        return PrepareAndSendOldMBPPacketCM(data, count);
    }
    PrepareAndSendOldMBPPacketFO(data, count);
    return 0;
}
