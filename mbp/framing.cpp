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
    memset(body + segment.messageBytes, 0, kFrameAreaSize - sizeof head - static_cast<size_t>(segment.messageBytes));
    return 0;
}

namespace {

// The message is converted straight into its place in the frame, so framing copies nothing. A
// segment that frames no message bytes converts into a scratch area instead, and its frame body
// stays zero.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int)>
int PrepareAndSend(char* data, int count) {
    alignas(16) char frame[kFrameAreaSize];
    Message scratch;
    const bool framed = ChooseSegment(gsBcastParam.MARKET_SEGMENT).messageBytes != 0;
    auto* message = framed ? reinterpret_cast<Message*>(frame + sizeof(BCAST_FRAME_HEAD)) : &scratch;
    const auto* records = reinterpret_cast<const NEW_MKT_MBP_DATA*>(data);
    for (int i = 0; i < count; i += 2) {
        Convert(message, records + i, i + 1 < count ? 2 : 1);
        AddBcastHeaderData(reinterpret_cast<const char*>(message), frame);
        SendMulticastData(frame, kOutputFrameSize);
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
