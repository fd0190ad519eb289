// Output framing: records (1, 2), (3, 4), ... each pair one message, each message one datagram of
// the batch.
#include "mbp/framing.h"

#include <cstddef>
#include <cstring>

#include "feed/store.h"
#include "mbp/new_mbp.h"

SegmentChoice ChooseSegment(const char* segment) {
    if (strcmp(segment, "CM") == 0) {
        return {kSegmentCM, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_CM)), true};
    }
    if (strcmp(segment, "FO") == 0) {
        return {kSegmentFO, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO)), false};
    }
    if (strcmp(segment, "CD") == 0) {
        return {kSegmentCD, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO)), false};
    }
    if (strcmp(segment, "CO") == 0) {
        return {kSegmentCO, static_cast<int>(sizeof(MS_BCAST_ONLY_MBP_FO)), false};
    }
    return {kSegmentUnknown, 0, false};
}

int AddBcastHeaderData(const SegmentChoice& segment, const char* message, char* frame) {
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

int FramePassThroughDatagram(char* frame, int length) {
    const int kept = length < 0 ? 0 : length < kOutputFrameSize ? length : kOutputFrameSize;
    memset(frame + kept, 0, static_cast<size_t>(kOutputFrameSize - kept));
    return kept;
}

namespace {

// Head and zero tail around the kMessageBytes of a message already lying at byte 6 of the datagram:
// the same frame as AddBcastHeaderData builds, with the tail's length a constant, so the clearing
// compiles to a few stores instead of a library call.
template <int kMessageBytes>
inline void FrameAround(char* frame, uint8_t segmentCode) {
    BCAST_FRAME_HEAD head = {};
    head.segmentCode = segmentCode;
    head.messageCount = bcst::HostToWire<int16_t>(1);
    memcpy(frame, &head, sizeof head);
    memset(frame + sizeof head + kMessageBytes, 0, kOutputFrameSize - sizeof head - kMessageBytes);
}

// Converts the records two at a time, each message into the next datagram of the batch (`messageIn`
// says where its message goes, `frameIt` frames it).
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int), typename Place,
          typename Framer>
void ConvertInto(const NEW_MKT_MBP_DATA* records, int count, OutputBatch* out, Place messageIn,
                 Framer frameIt) {
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
        char* frame = out->frames + static_cast<std::ptrdiff_t>(built) * kOutputFrameSize;
        Convert(messageIn(frame), records + i, i + 1 < count ? 2 : 1);
        frameIt(frame);
        ++built;
    }
    out->count = built;
}

// The message is converted straight into its place in the datagram, so framing copies nothing. A
// segment that frames no message bytes converts into a scratch area instead, and its datagram body
// stays zero.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int)>
void ConvertFrame(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                  OutputBatch* out) {
    static_assert(sizeof(BCAST_FRAME_HEAD) + sizeof(Message) <= kOutputFrameSize, "message fits the frame");
    if (count > kBatchRecords) {
        count = kBatchRecords;
    }
    auto inFrame = [](char* frame) { return reinterpret_cast<Message*>(frame + sizeof(BCAST_FRAME_HEAD)); };
    if (segment.messageBytes == static_cast<int>(sizeof(Message))) {
        ConvertInto<Message, Convert>(records, count, out, inFrame, [&](char* frame) {
            FrameAround<sizeof(Message)>(frame, segment.code);
        });
    } else if (segment.messageBytes == 0) {
        Message scratch;
        ConvertInto<Message, Convert>(
            records, count, out, [&](char*) { return &scratch; },
            [&](char* frame) { FrameAround<0>(frame, segment.code); });
    } else {
        // The other layout's length: only when one layout's packet function is called directly while
        // another segment is configured. Framed as AddBcastHeaderData frames it, in its own cleared
        // area, so that bytes past a shorter message are zero.
        alignas(16) char area[kFrameAreaSize];
        memset(area, 0, sizeof area);
        ConvertInto<Message, Convert>(
            records, count, out, [&](char*) { return inFrame(area); },
            [&](char* frame) {
                AddBcastHeaderData(segment, reinterpret_cast<const char*>(inFrame(area)), area);
                memcpy(frame, area, kOutputFrameSize);
            });
    }
}

}  // namespace

void ConvertMBPRecordsCM(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                         OutputBatch* out) {
    ConvertFrame<MS_BCAST_ONLY_MBP_CM, CopyNewMBPToOldMBPCM>(segment, records, count, out);
}

void ConvertMBPRecordsFO(const SegmentChoice& segment, const NEW_MKT_MBP_DATA* records, int count,
                         OutputBatch* out) {
    ConvertFrame<MS_BCAST_ONLY_MBP_FO, CopyNewMBPToOldMBPFO>(segment, records, count, out);
}
