// The relay step. The receive time is a local of the step; every count goes through Count, which keeps
// the statistics line's totals and the counters file together.
#include "app/relay.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "app/counters.h"
#include "app/log.h"
#include "app/log_texts.h"
#include "app/role.h"
#include "app/statistics.h"
#include "app/tick.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"

// bcst-stat shows the send path by the same numbers.
static_assert(static_cast<uint8_t>(SendPath::kSegmented) == kSendPathUdpSegmentation &&
                  static_cast<uint8_t>(SendPath::kMultiMessage) == kSendPathSendmmsg &&
                  static_cast<uint8_t>(SendPath::kPerDatagram) == kSendPathSendto,
              "send path numbers of the counters file");

namespace {

// The loop's receive buffer. The intake is told the datagram's length and reads nothing past it;
// the bytes after the datagram are kept zero all the same (what the previous datagram left beyond
// the new one's end is cleared), so nothing of one datagram ever lies behind the next.
alignas(64) char gReceiveBuffer[kReceiveBufferSize];
int gReceiveDirty = 0;

// Pass-through receives what is queued straight into the datagrams it sends on.
alignas(64) char gForwardFrames[kMaxBatchDatagrams * kOutputFrameSize];
int gForwardLengths[kMaxBatchDatagrams];

// One frame's decoded records, and the datagrams they become.
alignas(64) char gDecompressBuffer[kDecompressBufferSize];
OutputBatch gOutput;

SegmentChoice gSegment = {kSegmentUnknown, 0, false};
uint8_t gPublishedSendPath = 0;

// Counts an event once: the received and sent totals of the statistics line move with their counters.
inline void Count(CounterId id, int64_t n = 1) {
    if (id == kCounterReceived) {
        CountPackets(glReceivedPktCount, n);
    } else if (id == kCounterSent) {
        CountPackets(glSentPktCount, n);
    }
    CounterAdd(id, n);
}

inline void NoteReceive(const ReceiveNotes& notes) {
    if (notes.dropsReported) {
        CounterSet(kCounterKernelDrops, notes.socketDrops);
    }
}

// From the receive's return to the end of the datagram's handling (a batch's in pass-through).
inline void CountServiceSince(int64_t receivedNs) {
    const int64_t took = CountersClock() - receivedNs;
    if (took > CounterValue(kCounterMaxServiceNs)) {
        CounterSet(kCounterMaxServiceNs, took);
    }
    CountServiceTime(took);
}

// From the kernel's arrival stamp of the (first) datagram to the return of the send that carried the
// last of its output; nothing when the kernel gave no stamp or nothing left.
inline void CountWireSince(const ReceiveNotes& notes, int left) {
    if (notes.arrivalReported && left > 0) {
        CountWireLatency(CountersWallClock() - notes.arrivalRealtimeNs);
    }
}

inline int ReceiveFailed(int received) {
    if (received == -1) {
        Count(kCounterReceiveErrors);
    }
    return received;
}

// The verdict's counters and log lines: 1 for a frame refused with a log entry, else 0.
int AccountFrame(const FrameClass& c, int64_t receivedNs) {
    switch (c.verdict) {
        case FrameVerdict::kRefusedZeroCount:
            Count(kCounterRefusedZeroCount);
            return 0;
        case FrameVerdict::kRefusedUnknownType:
            Count(kCounterRefusedUnknownType);
            return 0;
        case FrameVerdict::kRefusedWrongRecordSize:
            Count(kCounterRefusedWrongRecordSize);
            return 0;
        case FrameVerdict::kRefusedBadLength:
        case FrameVerdict::kRefusedDecodeFailure: {
            Count(c.verdict == FrameVerdict::kRefusedBadLength ? kCounterRefusedBadLength
                                                               : kCounterRefusedDecodeFailure);
            const char* texts[2];
            const int lines = FrameRefusalTexts(c.verdict, texts);
            for (int i = 0; i < lines; ++i) {
                LogFixedMessage(texts[i]);
            }
            return 1;
        }
        case FrameVerdict::kAccepted:
            break;
    }
    if (c.type == kMessageTypeMbp) {
        Count(kCounterReceived);
        Count(kCounterFramesMbp);
    } else {
        Count(c.type == kMessageTypeOhl ? kCounterFramesOhl : kCounterFramesTicker);
        CounterSet(kCounterStoreEntries, static_cast<int64_t>(gOHLMapData.size()));
    }
    CounterSet(kCounterLastAcceptedNs, receivedNs);
    return 0;
}

// `notes` (the receive's, or none) times the output on the wire.
int HandleNewMktData(const char* frame, int length, int64_t receivedNs, const ReceiveNotes& notes) {
    const FrameClass c = ConvertNewMktData(frame, length, gSegment, gDecompressBuffer, &gOutput);
    const int result = AccountFrame(c, receivedNs);
    if (gOutput.count > 0) {
        CountWireSince(notes, SendOutputDatagrams(gOutput.frames, gOutput.count));
    }
    return result;
}

int ForwardQueuedDatagrams() {
    ReceiveNotes notes;
    const int received =
        ReceiveMulticastBatch(gForwardFrames, kOutputFrameSize, kMaxBatchDatagrams, gForwardLengths, &notes);
    if (received < 0) {
        return ReceiveFailed(received);
    }
    const int64_t receivedNs = CountersClock();
    NoteReceive(notes);
    // A tick that fell due while the receive waited runs before the datagrams are handled: a change
    // of role then holds for every datagram received more than one tick interval after it.
    TickIfDue(receivedNs);
    for (int i = 0; i < received; ++i) {
        FramePassThroughDatagram(gForwardFrames + static_cast<std::ptrdiff_t>(i) * kOutputFrameSize,
                                 gForwardLengths[i]);
    }
    // Counted as received before they are sent on, as one datagram at a time would be.
    Count(kCounterReceived, received);
    CounterSet(kCounterLastAcceptedNs, receivedNs);
    CountWireSince(notes, SendOutputDatagrams(gForwardFrames, received));
    CountServiceSince(receivedNs);
    return gForwardLengths[0];
}

template <void (*Convert)(const SegmentChoice&, const NEW_MKT_MBP_DATA*, int, OutputBatch*)>
int ConvertAndSend(char* data, int count) {
    const auto* records = reinterpret_cast<const NEW_MKT_MBP_DATA*>(data);
    for (int at = 0; at < count; at += kBatchRecords) {
        Convert(gSegment, records + at, std::min(count - at, kBatchRecords), &gOutput);
        SendOutputDatagrams(gOutput.frames, gOutput.count);
    }
    return 0;
}

}  // namespace

void ChooseOutputSegment(const char* marketSegment) {
    gSegment = ChooseSegment(marketSegment);
}

const SegmentChoice& OutputSegment() {
    return gSegment;
}

FrameClass ConvertNewMktData(const char* frame, int length, const SegmentChoice& segment, char* decoded,
                             OutputBatch* out) {
    out->count = 0;
    const FrameClass c = ClassifyNewMktData(frame, length, decoded);
    if (c.verdict != FrameVerdict::kAccepted) {
        return c;
    }
    switch (c.type) {
        case kMessageTypeTicker:
            ProcessTickerData(decoded, c.count);
            break;
        case kMessageTypeOhl:
            ProcessOHLData(decoded, c.count);
            break;
        default:
            ConvertMBPRecords(segment, reinterpret_cast<const NEW_MKT_MBP_DATA*>(decoded), c.count, out);
            break;
    }
    return c;
}

int SendOutputDatagrams(const char* data, int count) {
    if (WithholdSend(count)) {
        return 0;
    }
    const int left = SendMulticastBatch(data, count, kOutputFrameSize);
    Count(kCounterSent, left);
    if (left < count) {
        Count(kCounterSendErrors, count - left);
    }
    const auto path = static_cast<uint8_t>(CurrentSendPath());
    if (path != gPublishedSendPath) {
        gPublishedSendPath = path;
        CountersSetSendPath(path);
    }
    return left;
}

int RelayOneDatagram() {
    if (gsBcastParam.NEW_MKT_DATA_FLAG != 1) {
        return ForwardQueuedDatagrams();
    }
    ReceiveNotes notes;
    const int received = ReceiveMulticastData(gReceiveBuffer, kReceiveBufferSize, &notes);
    if (received < 0) {
        return ReceiveFailed(received);
    }
    const int64_t receivedNs = CountersClock();
    NoteReceive(notes);
    TickIfDue(receivedNs);
    if (gReceiveDirty > received) {
        memset(gReceiveBuffer + received, 0, static_cast<size_t>(gReceiveDirty - received));
    }
    gReceiveDirty = received;

    HandleNewMktData(gReceiveBuffer, received, receivedNs, notes);
    CountServiceSince(receivedNs);
    return received;
}

void RunRelayLoop() {
    for (;;) {
        RelayOneDatagram();
        TickIfDue(CountersClock());
    }
}

int ProcessNewMktData(char* frame) {
    return ProcessNewMktData(frame, kReceiveBufferSize);
}

int ProcessNewMktData(char* frame, int length) {
    if (frame == nullptr) {
        LogFixedMessage(kLogFrameNull);
        return 1;
    }
    return HandleNewMktData(frame, length, CountersClock(), ReceiveNotes());
}

int ProcessMBPData(char* data, int count) {
    if (data == nullptr) {
        LogFixedMessage(kLogMbpNull);
        return 1;
    }
    return gSegment.capitalMarket ? PrepareAndSendOldMBPPacketCM(data, count)
                                  : PrepareAndSendOldMBPPacketFO(data, count);
}

int PrepareAndSendOldMBPPacketCM(char* data, int count) {
    return ConvertAndSend<ConvertMBPRecordsCM>(data, count);
}

int PrepareAndSendOldMBPPacketFO(char* data, int count) {
    return ConvertAndSend<ConvertMBPRecordsFO>(data, count);
}

int AddBcastHeaderData(const char* message, char* frame) {
    return AddBcastHeaderData(gSegment, message, frame);
}
