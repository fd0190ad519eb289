// Both sides of the bridge decoded with the bridge's own layouts; format.cpp prints the records. Feed
// frames are classified by the bridge's own intake rule (ClassifyNewMktData), so a frame shows as
// the bridge takes it. Every read is preceded by a check against the datagram's length.
#include "tools/decode.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "feed/frame.h"
#include "feed/store.h"
#include "mbp/framing.h"
#include "mbp/new_mbp.h"
#include "mbp/old_mbp.h"

namespace bcst {

std::string Printf(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

namespace {

constexpr int kLevels = 10;

void Add(Fields& fields, const char* name, int64_t value) {
    Field f;
    f.name = name;
    f.number = value;
    fields.push_back(std::move(f));
}

void AddText(Fields& fields, const char* name, const std::string& value) {
    Field f;
    f.name = name;
    f.isText = true;
    f.text = value;
    fields.push_back(std::move(f));
}

Record Malformed(const std::string& reason) {
    Record r;
    r.kind = "malformed";
    r.reason = reason;
    return r;
}

DecodedDatagram MalformedDatagram(const std::string& reason) {
    DecodedDatagram d;
    d.cls = DatagramClass::kMalformed;
    d.malformed = true;
    d.records.push_back(Malformed(reason));
    return d;
}

Record MbpInRecord(const NEW_MKT_MBP_DATA& in) {
    Record r;
    r.kind = "mbp_in";
    Add(r.fields, "token", in.token);
    Add(r.fields, "volumeTradedToday", in.volumeTradedToday);
    Add(r.fields, "lastTradedPrice", in.lastTradedPrice);
    Add(r.fields, "lastTradeTime", in.lastTradeTime);
    Add(r.fields, "averageTradePrice", in.averageTradePrice);
    Add(r.fields, "totalBuyQuantity", in.totalBuyQuantity);
    Add(r.fields, "totalSellQuantity", in.totalSellQuantity);
    Add(r.fields, "indicatorBits",
        in.indicatorBits[0] | in.indicatorBits[1] << 8 | in.indicatorBits[2] << 16);
    Add(r.fields, "reserved", in.reserved);
    for (int k = 0; k < kLevels; ++k) {
        Fields level;
        Add(level, "quantity", in.mbpLevels[k].quantity);
        Add(level, "price", in.mbpLevels[k].price);
        Add(level, "numberOfOrders", in.mbpLevels[k].numberOfOrders);
        r.levels.push_back(std::move(level));
    }
    return r;
}

Record OhlRecord(const NEW_MKT_OHL_DATA& in) {
    Record r;
    r.kind = "ohl";
    Add(r.fields, "token", in.token);
    Add(r.fields, "openPrice", in.openPrice);
    Add(r.fields, "highPrice", in.highPrice);
    Add(r.fields, "lowPrice", in.lowPrice);
    Add(r.fields, "closingPrice", in.closingPrice);
    Add(r.fields, "ohlExtra1", in.ohlExtra1);
    Add(r.fields, "ohlExtra2", in.ohlExtra2);
    return r;
}

Record TickerRecord(const NEW_MKT_TICKER_DATA& in) {
    Record r;
    r.kind = "ticker";
    Add(r.fields, "token", in.token);
    Add(r.fields, "tickerValue", in.tickerValue);
    return r;
}

template <typename Layout>
Layout RecordAt(const char* decoded, int index) {
    Layout record;
    memcpy(&record, decoded + static_cast<size_t>(index) * sizeof(Layout), sizeof record);
    return record;
}

// Why the bridge refuses a frame, in the words of its counters, with the numbers that made it so.
std::string RefusalReason(const FrameClass& c, size_t length) {
    switch (c.verdict) {
        case FrameVerdict::kRefusedZeroCount:
            return length == 0 ? std::string("empty datagram: no frame")
                               : Printf("record count 0: the bridge takes no record from this frame");
        case FrameVerdict::kRefusedUnknownType:
            return Printf("message type %d is none of 10500, 10600, 10750", c.type);
        case FrameVerdict::kRefusedBadLength:
            if (length < static_cast<size_t>(kFrameHeaderSize)) {
                return Printf("short datagram: %zu bytes, a frame header needs %d", length, kFrameHeaderSize);
            }
            return Printf(
                "compressed length %d outside 1..%d or past the %zu payload bytes the datagram carries",
                c.compressed, kMaxCompressedLength, length - static_cast<size_t>(kFrameHeaderSize));
        case FrameVerdict::kRefusedDecodeFailure:
            return Printf("LZ4 block does not decode into 1..%d bytes (result %d)", kDecompressBufferSize,
                          c.decoded);
        case FrameVerdict::kRefusedWrongRecordSize:
            return Printf("decoded %d bytes: not %d bytes for each of %d records", c.decoded, c.recordSize,
                          c.count);
        case FrameVerdict::kAccepted:
            break;
    }
    return "";
}

// The frame as the bridge's intake takes it: refused with the reason, or the records it applies. Open/
// high/low and ticker records that reach past the decoded bytes are applied as zeros there, and say
// how many of their bytes are such zeros.
DecodedDatagram DecodeInput(const uint8_t* data, size_t length) {
    static char decodedArea[kDecompressBufferSize];
    // Nothing past the receive buffer reaches the bridge's intake.
    const int taken = static_cast<int>(std::min(length, static_cast<size_t>(kReceiveBufferSize)));
    const FrameClass c = ClassifyNewMktData(reinterpret_cast<const char*>(data), taken, decodedArea);
    if (c.verdict != FrameVerdict::kAccepted) {
        return MalformedDatagram(RefusalReason(c, length));
    }
    DecodedDatagram d;
    d.cls = c.type == kMessageTypeMbp   ? DatagramClass::kMarketByPrice
            : c.type == kMessageTypeOhl ? DatagramClass::kOpenHighLow
                                        : DatagramClass::kTicker;
    if (c.records == 0) {
        // A negative count: the frame is taken, and the store walks no record of it.
        Record r;
        r.kind = c.type == kMessageTypeOhl ? "ohl" : "ticker";
        r.noRecord = true;
        Add(r.fields, "recordCount", c.count);
        d.records.push_back(std::move(r));
        return d;
    }
    for (int i = 0; i < c.records; ++i) {
        Record r = d.cls == DatagramClass::kMarketByPrice
                       ? MbpInRecord(RecordAt<NEW_MKT_MBP_DATA>(decodedArea, i))
                   : d.cls == DatagramClass::kOpenHighLow
                       ? OhlRecord(RecordAt<NEW_MKT_OHL_DATA>(decodedArea, i))
                       : TickerRecord(RecordAt<NEW_MKT_TICKER_DATA>(decodedArea, i));
        const int end = (i + 1) * c.recordSize;
        r.zeroFilledBytes = end <= c.decoded ? 0 : std::min(end - c.decoded, c.recordSize);
        d.records.push_back(std::move(r));
    }
    return d;
}

const char* SegmentName(uint8_t code) {
    switch (code) {
        case kSegmentCM:
            return "CM";
        case kSegmentFO:
            return "FO";
        case kSegmentCD:
            return "CD";
        case kSegmentCO:
            return "CO";
        case kSegmentUnknown:
            return "unknown";
        default:
            return nullptr;
    }
}

// Record fields common to both layouts, in layout order around the token.
template <typename Message, typename Slot>
Record MbpOutRecord(const Message& message, const Slot& s, const char* segment, int slot, int64_t token) {
    Record r;
    r.kind = "mbp_out";
    AddText(r.fields, "segment", segment);
    Add(r.fields, "slot", slot);
    Add(r.fields, "transactionCode", message.broadcastHeader.transactionCode);
    Add(r.fields, "messageLength", message.broadcastHeader.messageLength);
    Add(r.fields, "numberOfRecords", message.numberOfRecords);
    Add(r.fields, "token", token);
    Add(r.fields, "bookType", s.bookType);
    Add(r.fields, "tradingStatus", s.tradingStatus);
    Add(r.fields, "volumeTradedToday", s.volumeTradedToday);
    Add(r.fields, "lastTradedPrice", s.lastTradedPrice);
    AddText(r.fields, "netChangeIndicator", std::string(1, s.netChangeIndicator));
    Add(r.fields, "netPriceChangeFromClosingPrice", s.netPriceChangeFromClosingPrice);
    Add(r.fields, "lastTradeQuantity", s.lastTradeQuantity);
    Add(r.fields, "lastTradeTime", s.lastTradeTime);
    Add(r.fields, "averageTradePrice", s.averageTradePrice);
    Add(r.fields, "auctionNumber", s.auction.auctionNumber);
    Add(r.fields, "auctionStatus", s.auction.auctionStatus);
    Add(r.fields, "initiatorType", s.auction.initiatorType);
    Add(r.fields, "initiatorPrice", s.auction.initiatorPrice);
    Add(r.fields, "initiatorQuantity", s.auction.initiatorQuantity);
    Add(r.fields, "auctionPrice", s.auction.auctionPrice);
    Add(r.fields, "auctionQuantity", s.auction.auctionQuantity);
    Add(r.fields, "totalBuyFlag", s.totalBuyFlag);
    Add(r.fields, "totalSellFlag", s.totalSellFlag);
    Add(r.fields, "totalBuyQuantity", s.totalBuyQuantity);
    Add(r.fields, "totalSellQuantity", s.totalSellQuantity);
    Add(r.fields, "mbpIndicator", s.mbpIndicator[0] << 8 | s.mbpIndicator[1]);
    Add(r.fields, "closingPrice", s.closingPrice);
    Add(r.fields, "openPrice", s.openPrice);
    Add(r.fields, "highPrice", s.highPrice);
    Add(r.fields, "lowPrice", s.lowPrice);
    for (int k = 0; k < kLevels; ++k) {
        Fields level;
        Add(level, "quantity", s.mbpLevels[k].quantity);
        Add(level, "price", s.mbpLevels[k].price);
        Add(level, "numberOfOrders", s.mbpLevels[k].numberOfOrders);
        Add(level, "buySellFlag", s.mbpLevels[k].buySellFlag);
        r.levels.push_back(std::move(level));
    }
    return r;
}

// The message in host order: reversal is its own inverse, so the bridge's own twiddles undo it.
void ToHostOrder(MS_BCAST_ONLY_MBP_CM* message, int records) {
    TwiddleMBPHeader(message);
    for (int slot = 0; slot < records; ++slot) {
        TwiddleMBPMsgCM(message, static_cast<short>(slot));
    }
}
void ToHostOrder(MS_BCAST_ONLY_MBP_FO* message, int records) {
    TwiddleMBPHeader(message);
    for (int slot = 0; slot < records; ++slot) {
        TwiddleMBPMsgFO(message, static_cast<short>(slot));
    }
}
int64_t TokenOf(const OLD_MBP_RECORD_CM& r) {
    return static_cast<uint16_t>(r.token);
}  // the low 16 bits
int64_t TokenOf(const OLD_MBP_RECORD_FO& r) {
    return r.token;
}

template <typename Message>
DecodedDatagram DecodeMessage(const uint8_t* body, const char* segment) {
    Message message;
    memcpy(&message, body, sizeof message);
    const int16_t records = bcst::LoadBigEndian<int16_t>(&message.numberOfRecords);
    const int16_t code = bcst::LoadBigEndian<int16_t>(&message.broadcastHeader.transactionCode);
    const int16_t length = bcst::LoadBigEndian<int16_t>(&message.broadcastHeader.messageLength);
    if (code != kTransactionCodeMbp) {
        return MalformedDatagram(
            Printf("%s message with transaction code %d, not %d", segment, code, kTransactionCodeMbp));
    }
    if (length != MessageLengthOf<Message>()) {
        return MalformedDatagram(Printf("%s message length %d, not %d", segment, length,
                                        static_cast<int>(MessageLengthOf<Message>())));
    }
    if (records < 1 || records > 2) {
        return MalformedDatagram(Printf("%s message with %d records, not 1 or 2", segment, records));
    }
    ToHostOrder(&message, records);
    DecodedDatagram d;
    d.cls = DatagramClass::kOutput;
    d.segment = segment;
    for (int slot = 0; slot < records; ++slot) {
        d.records.push_back(
            MbpOutRecord(message, message.records[slot], segment, slot, TokenOf(message.records[slot])));
    }
    return d;
}

DecodedDatagram DecodeOutput(const uint8_t* data, size_t length) {
    if (length != static_cast<size_t>(kOutputFrameSize)) {
        return MalformedDatagram(Printf("output datagram of %zu bytes, not %d", length, kOutputFrameSize));
    }
    BCAST_FRAME_HEAD head;
    memcpy(&head, data, sizeof head);
    const char* segment = SegmentName(head.segmentCode);
    if (segment == nullptr) {
        return MalformedDatagram(Printf("segment code %d is none of 0, 2, 4, 6, 8", head.segmentCode));
    }
    const int16_t messages = bcst::LoadBigEndian<int16_t>(&head.messageCount);
    if (messages != 1) {
        return MalformedDatagram(Printf("message count %d, not 1", messages));
    }
    const uint8_t* body = data + sizeof head;
    if (head.segmentCode == kSegmentCM) {
        return DecodeMessage<MS_BCAST_ONLY_MBP_CM>(body, segment);
    }
    if (head.segmentCode == kSegmentUnknown) {
        // The bridge frames no message for a segment it does not know: the body is all zero.
        bool empty = true;
        for (const uint8_t* at = body; at < data + length; ++at) {
            empty = empty && *at == 0;
        }
        if (empty) {
            DecodedDatagram d;
            d.cls = DatagramClass::kOutput;
            d.segment = segment;
            Record r;
            r.kind = "mbp_out";
            AddText(r.fields, "segment", segment);
            Add(r.fields, "numberOfRecords", 0);
            r.noRecord = true;
            d.records.push_back(std::move(r));
            return d;
        }
    }
    return DecodeMessage<MS_BCAST_ONLY_MBP_FO>(body, segment);
}

}  // namespace

int64_t Record::Number(const char* name, int64_t otherwise) const {
    for (const Field& f : fields) {
        if (!f.isText && f.name == name) {
            return f.number;
        }
    }
    return otherwise;
}

std::string Record::Text(const char* name) const {
    for (const Field& f : fields) {
        if (f.isText && f.name == name) {
            return f.text;
        }
    }
    return "";
}

bool LooksLikeOutput(const uint8_t* data, size_t length) {
    if (length != static_cast<size_t>(kOutputFrameSize)) {
        return false;
    }
    const uint8_t code = data[0];
    const bool known = code == kSegmentUnknown || code == kSegmentFO || code == kSegmentCM ||
                       code == kSegmentCD || code == kSegmentCO;
    return known && data[1] == 0 && data[2] == 0x00 && data[3] == 0x01;
}

DecodedDatagram DecodeDatagram(const uint8_t* data, size_t length, DatagramFormat format) {
    const bool output = format == DatagramFormat::kOutput ||
                        (format == DatagramFormat::kAuto && LooksLikeOutput(data, length));
    return output ? DecodeOutput(data, length) : DecodeInput(data, length);
}

}  // namespace bcst
