// Feed market-by-price records into old-format 7208 messages, capital-market and derivatives: trade
// and depth fields copied, flag codes derived, prices enriched from the instrument store, and every
// multi-byte field big-endian.
//
// A record is written in wire order as it is filled: each value is reversed on its way in, which
// leaves the same bytes as filling in host order and reversing afterwards (TwiddleMBPMsgCM/FO) but
// touches every field once instead of three times. Every byte of a record is written, zeros
// included, so the message area needs no clearing first. Store lookups and net-change comparisons
// use host-order values held in locals, never the bytes already written.
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

// The three indicator bytes as one word: flag n is bit n.
inline uint32_t IndicatorWord(const NEW_MKT_MBP_DATA& in) {
    return static_cast<uint32_t>(in.indicatorBits[0]) | static_cast<uint32_t>(in.indicatorBits[1]) << 8 |
           static_cast<uint32_t>(in.indicatorBits[2]) << 16;
}

inline int Flag(uint32_t flags, int n) {
    return static_cast<int>((flags >> n) & 1u);
}

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

// A depth level's last four bytes, numberOfOrders then buySellFlag, are written as one 32-bit word;
// the flag's big-endian code c sits in that word's top byte (c << 24 on this little-endian host).
static_assert(offsetof(OLD_MBP_LEVEL, buySellFlag) == offsetof(OLD_MBP_LEVEL, numberOfOrders) + 2,
              "order count and flag are adjacent");
constexpr uint32_t FlagWord(int code) {
    return static_cast<uint32_t>(static_cast<uint16_t>(ReverseBytes(static_cast<int16_t>(code)))) << 16;
}

// Flag words of five consecutive levels for each value of the five flags that feed them: one table
// where the flags are first inputs (each adds 1), one where they are second or sole inputs (each
// adds 2). Three look-ups give all ten level codes of a record instead of testing fifteen bits one
// by one; a first and a second code never share a bit, so OR-ing their words adds the codes.
struct FiveLevelFlags {
    uint32_t word[5];
};
struct LevelFlagTable {
    FiveLevelFlags byFlags[32];
};
constexpr LevelFlagTable MakeLevelFlagTable(int weight) {
    LevelFlagTable table{};
    for (int bits = 0; bits < 32; ++bits) {
        for (int level = 0; level < 5; ++level) {
            table.byFlags[bits].word[level] = FlagWord(weight * ((bits >> level) & 1));
        }
    }
    return table;
}
constexpr LevelFlagTable kFirstInputFlags = MakeLevelFlagTable(1);
constexpr LevelFlagTable kSecondInputFlags = MakeLevelFlagTable(2);
static_assert(kFirstInputFlags.byFlags[1].word[0] == 0x01000000u,
              "first input: code 1, big-endian in the flag's two bytes");
static_assert((kFirstInputFlags.byFlags[4].word[2] | kSecondInputFlags.byFlags[4].word[2]) == 0x03000000u,
              "both inputs: code 3");

// One depth level in wire order, `flagWord` carrying its buy/sell code (FlagWord). Quantity and
// price lie side by side in both layouts, so they move as one 8-byte word: reversing all eight
// bytes reverses each 4-byte value but also swaps the two, and rotating by 32 bits swaps them back.
static_assert(offsetof(NEW_MKT_MBP_LEVEL, price) == offsetof(NEW_MKT_MBP_LEVEL, quantity) + 4, "feed level");
static_assert(offsetof(OLD_MBP_LEVEL, price) == offsetof(OLD_MBP_LEVEL, quantity) + 4, "old level");
inline void PutLevel(OLD_MBP_LEVEL& out, const NEW_MKT_MBP_LEVEL& in, uint32_t flagWord) {
    const char* from = reinterpret_cast<const char*>(&in);
    char* to = reinterpret_cast<char*>(&out);
    const uint64_t quantityAndPrice =
        ReverseBytes(bcst::LoadLittleEndian<uint64_t>(from + offsetof(NEW_MKT_MBP_LEVEL, quantity)));
    bcst::StoreLittleEndian(to + offsetof(OLD_MBP_LEVEL, quantity),
                            quantityAndPrice << 32 | quantityAndPrice >> 32);
    const auto orders = static_cast<uint16_t>(ReverseBytes(in.numberOfOrders));
    bcst::StoreLittleEndian(to + offsetof(OLD_MBP_LEVEL, numberOfOrders), orders | flagWord);
}

// The ten levels; `flagWordOf(k)` gives level k's flag word.
template <typename FlagWordOf>
inline void PutDepth(OLD_MBP_LEVEL (&out)[10], const NEW_MKT_MBP_LEVEL (&in)[10], FlagWordOf flagWordOf) {
#pragma GCC unroll 10
    for (int k = 0; k < 10; ++k) {
        PutLevel(out[k], in[k], flagWordOf(k));
    }
}

// The fields both layouts copy straight from the feed record, the constant book type, the zero
// reserved byte, auction block and indicator.
template <typename Record>
inline void PutTradeFields(Record& out, const NEW_MKT_MBP_DATA& in) {
    out.bookType = ReverseBytes(kBookTypeRegular);
    out.volumeTradedToday = ReverseBytes(in.volumeTradedToday);
    out.lastTradedPrice = ReverseBytes(in.lastTradedPrice);
    out.reserved = 0;
    out.lastTradeTime = ReverseBytes(in.lastTradeTime);
    out.averageTradePrice = ReverseBytes(in.averageTradePrice);
    out.auction = OLD_MBP_AUCTION{};
    out.totalBuyQuantity = ReverseBytes(in.totalBuyQuantity);
    out.totalSellQuantity = ReverseBytes(in.totalSellQuantity);
    out.mbpIndicator[0] = 0;
    out.mbpIndicator[1] = 0;
}

// The store values the net change needs, in host order.
struct StoreValues {
    int32_t closingPrice = 0;
    int32_t openPrice = 0;
};

// The store's prices and ticker value for `key`, or zeros for a token the store does not hold.
template <typename Record>
inline StoreValues PutStoreValues(Record& out, int32_t key) {
    StoreValues values;
    int32_t high = 0;
    int32_t low = 0;
    int32_t ticker = 0;
    if (const NEW_MKT_MAP_DATA* entry = LookUpInstrument(key)) {
        values.closingPrice = entry->closingPrice;
        values.openPrice = entry->openPrice;
        high = entry->highPrice;
        low = entry->lowPrice;
        ticker = entry->tickerValue;
    }
    out.closingPrice = ReverseBytes(values.closingPrice);
    out.openPrice = ReverseBytes(values.openPrice);
    out.highPrice = ReverseBytes(high);
    out.lowPrice = ReverseBytes(low);
    out.lastTradeQuantity = ReverseBytes(ticker);
    return values;
}

void PutRecordCM(OLD_MBP_RECORD_CM& out, const NEW_MKT_MBP_DATA& in) {
    const uint32_t flags = IndicatorWord(in);
    const int16_t tradingStatus =
        TradingStatusCode(Flag(flags, kFlagStatusFirst), Flag(flags, kFlagStatusSecond));

    out.token = ReverseBytes(static_cast<int16_t>(static_cast<uint16_t>(in.token)));
    out.tradingStatus = ReverseBytes(tradingStatus);
    PutTradeFields(out, in);

    // Levels 1 to 5 from flags 0-4 (first inputs) and 5-9 (second inputs); levels 6 to 10 from
    // flags 10-14 (sole inputs).
    const FiveLevelFlags& first = kFirstInputFlags.byFlags[flags & 0x1F];
    const FiveLevelFlags& second = kSecondInputFlags.byFlags[(flags >> 5) & 0x1F];
    const FiveLevelFlags& sole = kSecondInputFlags.byFlags[(flags >> 10) & 0x1F];
    PutDepth(out.mbpLevels, in.mbpLevels,
             [&](int k) { return k < 5 ? first.word[k] | second.word[k] : sole.word[k - 5]; });
    out.totalBuyFlag =
        ReverseBytes(TwoInputCode(Flag(flags, kFlagTotalBuyFirst), Flag(flags, kFlagTotalBuySecond)));
    out.totalSellFlag = ReverseBytes(SoleInputCode(Flag(flags, kFlagTotalSell)));

    // The store is keyed by the whole token: the 16-bit wire token cannot tell 1 from 65537, and
    // each instrument must carry its own prices.
    const StoreValues store = PutStoreValues(out, in.token);

    const int32_t close = store.closingPrice;
    const int32_t open = store.openPrice;
    const bool fromOpen = tradingStatus == 6 || tradingStatus == 1;
    const int32_t reference = fromOpen ? open : in.lastTradedPrice;
    char indicator = kNetChangeNone;
    int32_t change = 0;
    if (close != 0 && (!fromOpen || open != 0)) {
        indicator = Direction(reference, close);
        change = NetChangeHundredthsOfPercent(reference, close);
    }
    out.netChangeIndicator = indicator;
    out.netPriceChangeFromClosingPrice = ReverseBytes(change);
}

void PutRecordFO(OLD_MBP_RECORD_FO& out, const NEW_MKT_MBP_DATA& in) {
    out.token = ReverseBytes(in.token);
    out.tradingStatus = ReverseBytes(kTradingStatusNormal);
    PutTradeFields(out, in);
    PutDepth(out.mbpLevels, in.mbpLevels, [](int) { return 0u; });
    out.totalBuyFlag = 0;
    out.totalSellFlag = 0;
    const int32_t close = PutStoreValues(out, in.token).closingPrice;
    // Receivers of this layout take the closing price itself in the net change field.
    out.netChangeIndicator = close != 0 ? Direction(in.lastTradedPrice, close) : kNetChangeNone;
    out.netPriceChangeFromClosingPrice = ReverseBytes(close);
}

// The message holds two records: any count above that converts two, so nothing is written past it.
inline int RecordsToConvert(int count) {
    return count < 1 ? 0 : (count > 2 ? 2 : count);
}

// The prefix and the broadcast header (zero but for three values), then each record complete and in
// wire order; an empty second slot is all zero.
template <typename Message, typename Record, void (*PutRecord)(Record&, const NEW_MKT_MBP_DATA&)>
inline void PutMessage(Message* message, const NEW_MKT_MBP_DATA* records, int count) {
    const int n = RecordsToConvert(count);
    memset(message, 0, offsetof(Message, records));
    message->broadcastHeader.transactionCode = ReverseBytes(kTransactionCodeMbp);
    message->broadcastHeader.messageLength = ReverseBytes(MessageLengthOf<Message>());
    message->numberOfRecords = ReverseBytes(static_cast<int16_t>(n));
    if (n >= 1) {
        PutRecord(message->records[0], records[0]);
    } else {
        memset(&message->records[0], 0, sizeof message->records[0]);
    }
    if (n == 2) {
        PutRecord(message->records[1], records[1]);
    } else {
        memset(&message->records[1], 0, sizeof message->records[1]);
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

}  // namespace

int32_t NetChangeHundredthsOfPercent(int32_t reference, int32_t closingPrice) {
    const int64_t difference = static_cast<int64_t>(reference) - closingPrice;
    // Divide first, then scale, both in double precision: 3 / 10000 * 10000 truncates to 2.
    const double scaled = static_cast<double>(difference) / static_cast<double>(closingPrice) * 10000.0;
    if (!(std::fabs(scaled) < 2147483648.0)) {
        return std::numeric_limits<int32_t>::max();
    }
    const auto truncated = static_cast<int32_t>(scaled);  // the conversion truncates toward zero
    return truncated < 0 ? -truncated : truncated;
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
    PutMessage<MS_BCAST_ONLY_MBP_CM, OLD_MBP_RECORD_CM, PutRecordCM>(message, records, count);
    return 0;
}

int CopyNewMBPToOldMBPFO(MS_BCAST_ONLY_MBP_FO* message, const NEW_MKT_MBP_DATA* records, int count) {
    PutMessage<MS_BCAST_ONLY_MBP_FO, OLD_MBP_RECORD_FO, PutRecordFO>(message, records, count);
    return 0;
}
