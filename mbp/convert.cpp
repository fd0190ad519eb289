// Feed market-by-price records into old-format 7208 messages, capital-market and derivatives. Each
// record is filled in host order, enriched from the instrument store, then reversed to big-endian as
// soon as it is complete; the header is reversed last.
#include <cmath>
#include <cstring>
#include <limits>

#include "feed/store.h"
#include "mbp/new_mbp.h"
#include "mbp/old_mbp.h"

using bcst::ReverseBytes;

namespace {

constexpr int16_t kBookTypeRegular = 1;
constexpr int16_t kTradingStatusNormal = 2;  // what the derivatives layout always carries
constexpr char kNetChangeUp = '+';
constexpr char kNetChangeDown = '-';
constexpr char kNetChangeNone = ' ';

// Code from a first input (adds 1) and a second input (adds 2).
inline int16_t TwoInputCode(int first, int second) {
    return static_cast<int16_t>(first + 2 * second);
}

// Code from a sole input: 2 when set.
inline int16_t SoleInputCode(int flag) {
    return static_cast<int16_t>(2 * flag);
}

// Trading status from flags 21 and 22: neither 3, 22 alone 2, 21 alone 6, both 1.
inline int16_t TradingStatusCode(int flag21, int flag22) {
    static constexpr int16_t kStatus[2][2] = {{3, 2}, {6, 1}};
    return kStatus[flag21][flag22];
}

inline char Direction(int32_t price, int32_t closingPrice) {
    return price < closingPrice ? kNetChangeDown : (price > closingPrice ? kNetChangeUp : kNetChangeNone);
}

// The fields both layouts copy straight from the feed record, in host order.
template <typename Record>
inline void CopyTradeAndDepth(Record& out, const NEW_MKT_MBP_DATA& in) {
    out.bookType = kBookTypeRegular;
    out.volumeTradedToday = in.volumeTradedToday;
    out.lastTradedPrice = in.lastTradedPrice;
    out.lastTradeTime = in.lastTradeTime;
    out.averageTradePrice = in.averageTradePrice;
    for (int k = 0; k < 10; ++k) {
        out.mbpLevels[k].quantity = in.mbpLevels[k].quantity;
        out.mbpLevels[k].price = in.mbpLevels[k].price;
        out.mbpLevels[k].numberOfOrders = in.mbpLevels[k].numberOfOrders;
    }
    out.totalBuyQuantity = in.totalBuyQuantity;
    out.totalSellQuantity = in.totalSellQuantity;
}

// The store's prices and ticker value, or zeros for a token it does not hold.
template <typename Record>
inline void CopyStoreValues(Record& out, int32_t key) {
    const NEW_MKT_MAP_DATA* entry = LookUpInstrument(key);
    if (entry != nullptr) {
        out.closingPrice = entry->closingPrice;
        out.openPrice = entry->openPrice;
        out.highPrice = entry->highPrice;
        out.lowPrice = entry->lowPrice;
        out.lastTradeQuantity = entry->tickerValue;
    }
}

// Reverses the fields both layouts share; the token is reversed by the caller (2 or 4 bytes).
template <typename Record>
inline void TwiddleCommon(Record& r) {
    r.bookType = ReverseBytes(r.bookType);
    r.tradingStatus = ReverseBytes(r.tradingStatus);
    r.volumeTradedToday = ReverseBytes(r.volumeTradedToday);
    r.lastTradedPrice = ReverseBytes(r.lastTradedPrice);
    r.netPriceChangeFromClosingPrice = ReverseBytes(r.netPriceChangeFromClosingPrice);
    r.lastTradeQuantity = ReverseBytes(r.lastTradeQuantity);
    r.lastTradeTime = ReverseBytes(r.lastTradeTime);
    r.averageTradePrice = ReverseBytes(r.averageTradePrice);
    for (int k = 0; k < 10; ++k) {
        r.mbpLevels[k].quantity = ReverseBytes(r.mbpLevels[k].quantity);
        r.mbpLevels[k].price = ReverseBytes(r.mbpLevels[k].price);
        r.mbpLevels[k].numberOfOrders = ReverseBytes(r.mbpLevels[k].numberOfOrders);
        r.mbpLevels[k].buySellFlag = ReverseBytes(r.mbpLevels[k].buySellFlag);
    }
    r.totalBuyFlag = ReverseBytes(r.totalBuyFlag);
    r.totalSellFlag = ReverseBytes(r.totalSellFlag);
    r.totalBuyQuantity = ReverseBytes(r.totalBuyQuantity);
    r.totalSellQuantity = ReverseBytes(r.totalSellQuantity);
    r.closingPrice = ReverseBytes(r.closingPrice);
    r.openPrice = ReverseBytes(r.openPrice);
    r.highPrice = ReverseBytes(r.highPrice);
    r.lowPrice = ReverseBytes(r.lowPrice);
}

// Header values in host order on an all-zero message.
template <typename Message>
inline void StartMessage(Message* message, int records) {
    memset(message, 0, sizeof *message);
    message->broadcastHeader.transactionCode = kTransactionCodeMbp;
    message->broadcastHeader.messageLength = MessageLengthOf<Message>();
    message->numberOfRecords = static_cast<int16_t>(records);
}

// The message holds two records: any count above that converts two, so nothing is written past it.
inline int RecordsToConvert(int count) {
    return count < 1 ? 0 : (count > 2 ? 2 : count);
}

void FillRecordCM(OLD_MBP_RECORD_CM& out, const NEW_MKT_MBP_DATA& in) {
    int flags[kIndicatorFlags];
    ViewBit(reinterpret_cast<const char*>(in.indicatorBits), kIndicatorBytes, flags);

    out.token = static_cast<int16_t>(static_cast<uint16_t>(in.token));
    CopyTradeAndDepth(out, in);
    out.netChangeIndicator = kNetChangeNone;
    out.tradingStatus = TradingStatusCode(flags[kFlagStatusFirst], flags[kFlagStatusSecond]);
    for (int k = 0; k < 5; ++k) {
        out.mbpLevels[k].buySellFlag = TwoInputCode(flags[k], flags[k + 5]);
    }
    for (int k = 5; k < 10; ++k) {
        out.mbpLevels[k].buySellFlag = SoleInputCode(flags[k + 5]);
    }
    out.totalBuyFlag = TwoInputCode(flags[kFlagTotalBuyFirst], flags[kFlagTotalBuySecond]);
    out.totalSellFlag = SoleInputCode(flags[kFlagTotalSell]);

    // The store is keyed by the whole token: the 16-bit wire token cannot tell 1 from 65537, and
    // each instrument must carry its own prices.
    CopyStoreValues(out, in.token);

    const int32_t close = out.closingPrice;
    const int32_t open = out.openPrice;
    const bool fromOpen = out.tradingStatus == 6 || out.tradingStatus == 1;
    const int32_t reference = fromOpen ? open : out.lastTradedPrice;
    if (close != 0 && (!fromOpen || open != 0)) {
        out.netChangeIndicator = Direction(reference, close);
        out.netPriceChangeFromClosingPrice = NetChangeHundredthsOfPercent(reference, close);
    }
}

void FillRecordFO(OLD_MBP_RECORD_FO& out, const NEW_MKT_MBP_DATA& in) {
    out.token = in.token;
    CopyTradeAndDepth(out, in);
    out.tradingStatus = kTradingStatusNormal;
    CopyStoreValues(out, in.token);
    // Receivers of this layout take the closing price itself in the net change field.
    const int32_t close = out.closingPrice;
    out.netChangeIndicator = close != 0 ? Direction(out.lastTradedPrice, close) : kNetChangeNone;
    out.netPriceChangeFromClosingPrice = close;
}

}  // namespace

int32_t NetChangeHundredthsOfPercent(int32_t reference, int32_t closingPrice) {
    const int64_t difference = static_cast<int64_t>(reference) - closingPrice;
    // Divide first, then scale, both in double precision: 3 / 10000 * 10000 truncates to 2.
    const double scaled = static_cast<double>(difference) / static_cast<double>(closingPrice) * 10000.0;
    const double magnitude = std::fabs(std::trunc(scaled));
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    return magnitude > kMax ? std::numeric_limits<int32_t>::max() : static_cast<int32_t>(magnitude);
}

int TwiddleMBPMsgCM(MS_BCAST_ONLY_MBP_CM* message, short slot) {
    OLD_MBP_RECORD_CM& r = message->records[slot];
    r.token = ReverseBytes(r.token);
    TwiddleCommon(r);
    return 0;
}

int TwiddleMBPMsgFO(MS_BCAST_ONLY_MBP_FO* message, short slot) {
    OLD_MBP_RECORD_FO& r = message->records[slot];
    r.token = ReverseBytes(r.token);
    TwiddleCommon(r);
    return 0;
}

int CopyNewMBPToOldMBPCM(MS_BCAST_ONLY_MBP_CM* message, const NEW_MKT_MBP_DATA* records, int count) {
    const int n = RecordsToConvert(count);
    StartMessage(message, n);
    for (int slot = 0; slot < n; ++slot) {
        FillRecordCM(message->records[slot], records[slot]);
        TwiddleMBPMsgCM(message, static_cast<short>(slot));
    }
    TwiddleMBPHeader(message);
    return 0;
}

int CopyNewMBPToOldMBPFO(MS_BCAST_ONLY_MBP_FO* message, const NEW_MKT_MBP_DATA* records, int count) {
    const int n = RecordsToConvert(count);
    StartMessage(message, n);
    for (int slot = 0; slot < n; ++slot) {
        FillRecordFO(message->records[slot], records[slot]);
        TwiddleMBPMsgFO(message, static_cast<short>(slot));
    }
    TwiddleMBPHeader(message);
    return 0;
}
