// The old-format market-by-price broadcast (transaction code 7208) in its capital-market and
// derivatives layouts. Every multi-byte field that carries a value goes out big-endian.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feed/byte_order.h"

constexpr int16_t kTransactionCodeMbp = 7208;

struct BCST_WIRE BCAST_HEADER {
    uint8_t reserved1[4];
    int32_t logTime;
    uint8_t reserved2[2];
    int16_t transactionCode;
    int16_t errorCode;
    uint8_t reserved3[24];
    int16_t messageLength;  // header + record count + both record slots, without the prefix
};

struct BCST_WIRE OLD_MBP_LEVEL {
    int32_t quantity;
    int32_t price;
    int16_t numberOfOrders;
    int16_t buySellFlag;
};

// Seven auction and initiator fields, always zero in both layouts.
struct BCST_WIRE OLD_MBP_AUCTION {
    int16_t auctionNumber;
    int16_t auctionStatus;
    int16_t initiatorType;
    int32_t initiatorPrice;
    int32_t initiatorQuantity;
    int32_t auctionPrice;
    int32_t auctionQuantity;
};

struct BCST_WIRE OLD_MBP_RECORD_CM {
    int16_t token;  // low 16 bits of the feed token
    int16_t bookType;
    int16_t tradingStatus;
    int32_t volumeTradedToday;
    int32_t lastTradedPrice;
    char netChangeIndicator;  // '+', '-' or ' '
    uint8_t reserved;
    int32_t netPriceChangeFromClosingPrice;  // hundredths of a percent, unsigned magnitude
    int32_t lastTradeQuantity;               // the store's ticker value
    int32_t lastTradeTime;
    int32_t averageTradePrice;
    OLD_MBP_AUCTION auction;
    OLD_MBP_LEVEL mbpLevels[10];
    int16_t totalBuyFlag;
    int16_t totalSellFlag;
    int64_t totalBuyQuantity;
    int64_t totalSellQuantity;
    uint8_t mbpIndicator[2];
    int32_t closingPrice;
    int32_t openPrice;
    int32_t highPrice;
    int32_t lowPrice;
};

struct BCST_WIRE OLD_MBP_RECORD_FO {
    int32_t token;  // the whole feed token
    int16_t bookType;
    int16_t tradingStatus;
    int32_t volumeTradedToday;
    int32_t lastTradedPrice;
    char netChangeIndicator;
    uint8_t reserved;
    int32_t netPriceChangeFromClosingPrice;  // carries the closing price itself in this layout
    int32_t lastTradeQuantity;
    int32_t lastTradeTime;
    int32_t averageTradePrice;
    OLD_MBP_AUCTION auction;
    OLD_MBP_LEVEL mbpLevels[10];
    int16_t totalBuyFlag;
    int16_t totalSellFlag;
    int64_t totalBuyQuantity;
    int64_t totalSellQuantity;
    uint8_t mbpIndicator[2];
    int32_t closingPrice;
    int32_t openPrice;
    int32_t highPrice;
    int32_t lowPrice;
};

struct BCST_WIRE MS_BCAST_ONLY_MBP_CM {
    uint8_t reservedPrefix[8];
    BCAST_HEADER broadcastHeader;
    int16_t numberOfRecords;
    OLD_MBP_RECORD_CM records[2];
};

struct BCST_WIRE MS_BCAST_ONLY_MBP_FO {
    uint8_t reservedPrefix[8];
    BCAST_HEADER broadcastHeader;
    int16_t numberOfRecords;
    OLD_MBP_RECORD_FO records[2];
};

// Downstream receivers decode these messages by fixed offsets: every size and offset below is part
// of the contract with them, so the compiler checks each one.
static_assert(sizeof(BCAST_HEADER) == 40, "broadcast header");
static_assert(offsetof(BCAST_HEADER, logTime) == 4, "logTime");
static_assert(offsetof(BCAST_HEADER, transactionCode) == 10, "transactionCode");
static_assert(offsetof(BCAST_HEADER, errorCode) == 12, "errorCode");
static_assert(offsetof(BCAST_HEADER, messageLength) == 38, "messageLength");

static_assert(sizeof(OLD_MBP_LEVEL) == 12, "old depth level");
static_assert(offsetof(OLD_MBP_LEVEL, price) == 4, "level price");
static_assert(offsetof(OLD_MBP_LEVEL, numberOfOrders) == 8, "level orders");
static_assert(offsetof(OLD_MBP_LEVEL, buySellFlag) == 10, "level buy/sell flag");
static_assert(sizeof(OLD_MBP_AUCTION) == 22, "auction and initiator block");

static_assert(sizeof(OLD_MBP_RECORD_CM) == 212, "capital-market record");
static_assert(offsetof(OLD_MBP_RECORD_CM, bookType) == 2, "CM bookType");
static_assert(offsetof(OLD_MBP_RECORD_CM, tradingStatus) == 4, "CM tradingStatus");
static_assert(offsetof(OLD_MBP_RECORD_CM, volumeTradedToday) == 6, "CM volume");
static_assert(offsetof(OLD_MBP_RECORD_CM, lastTradedPrice) == 10, "CM last price");
static_assert(offsetof(OLD_MBP_RECORD_CM, netChangeIndicator) == 14, "CM net change indicator");
static_assert(offsetof(OLD_MBP_RECORD_CM, reserved) == 15, "CM reserved");
static_assert(offsetof(OLD_MBP_RECORD_CM, netPriceChangeFromClosingPrice) == 16, "CM net change");
static_assert(offsetof(OLD_MBP_RECORD_CM, lastTradeQuantity) == 20, "CM last quantity");
static_assert(offsetof(OLD_MBP_RECORD_CM, lastTradeTime) == 24, "CM trade time");
static_assert(offsetof(OLD_MBP_RECORD_CM, averageTradePrice) == 28, "CM average price");
static_assert(offsetof(OLD_MBP_RECORD_CM, auction) == 32, "CM auction block");
static_assert(offsetof(OLD_MBP_RECORD_CM, mbpLevels) == 54, "CM levels");
static_assert(offsetof(OLD_MBP_RECORD_CM, totalBuyFlag) == 174, "CM total buy flag");
static_assert(offsetof(OLD_MBP_RECORD_CM, totalSellFlag) == 176, "CM total sell flag");
static_assert(offsetof(OLD_MBP_RECORD_CM, totalBuyQuantity) == 178, "CM buy quantity");
static_assert(offsetof(OLD_MBP_RECORD_CM, totalSellQuantity) == 186, "CM sell quantity");
static_assert(offsetof(OLD_MBP_RECORD_CM, mbpIndicator) == 194, "CM mbp indicator");
static_assert(offsetof(OLD_MBP_RECORD_CM, closingPrice) == 196, "CM close");
static_assert(offsetof(OLD_MBP_RECORD_CM, openPrice) == 200, "CM open");
static_assert(offsetof(OLD_MBP_RECORD_CM, highPrice) == 204, "CM high");
static_assert(offsetof(OLD_MBP_RECORD_CM, lowPrice) == 208, "CM low");

static_assert(sizeof(OLD_MBP_RECORD_FO) == 214, "derivatives record");
static_assert(offsetof(OLD_MBP_RECORD_FO, bookType) == 4, "FO bookType");
static_assert(offsetof(OLD_MBP_RECORD_FO, tradingStatus) == 6, "FO tradingStatus");
static_assert(offsetof(OLD_MBP_RECORD_FO, volumeTradedToday) == 8, "FO volume");
static_assert(offsetof(OLD_MBP_RECORD_FO, lastTradedPrice) == 12, "FO last price");
static_assert(offsetof(OLD_MBP_RECORD_FO, netChangeIndicator) == 16, "FO net change indicator");
static_assert(offsetof(OLD_MBP_RECORD_FO, reserved) == 17, "FO reserved");
static_assert(offsetof(OLD_MBP_RECORD_FO, netPriceChangeFromClosingPrice) == 18, "FO net change");
static_assert(offsetof(OLD_MBP_RECORD_FO, lastTradeQuantity) == 22, "FO last quantity");
static_assert(offsetof(OLD_MBP_RECORD_FO, lastTradeTime) == 26, "FO trade time");
static_assert(offsetof(OLD_MBP_RECORD_FO, averageTradePrice) == 30, "FO average price");
static_assert(offsetof(OLD_MBP_RECORD_FO, auction) == 34, "FO auction block");
static_assert(offsetof(OLD_MBP_RECORD_FO, mbpLevels) == 56, "FO levels");
static_assert(offsetof(OLD_MBP_RECORD_FO, totalBuyFlag) == 176, "FO total buy flag");
static_assert(offsetof(OLD_MBP_RECORD_FO, totalSellFlag) == 178, "FO total sell flag");
static_assert(offsetof(OLD_MBP_RECORD_FO, totalBuyQuantity) == 180, "FO buy quantity");
static_assert(offsetof(OLD_MBP_RECORD_FO, totalSellQuantity) == 188, "FO sell quantity");
static_assert(offsetof(OLD_MBP_RECORD_FO, mbpIndicator) == 196, "FO mbp indicator");
static_assert(offsetof(OLD_MBP_RECORD_FO, closingPrice) == 198, "FO close");
static_assert(offsetof(OLD_MBP_RECORD_FO, openPrice) == 202, "FO open");
static_assert(offsetof(OLD_MBP_RECORD_FO, highPrice) == 206, "FO high");
static_assert(offsetof(OLD_MBP_RECORD_FO, lowPrice) == 210, "FO low");

static_assert(sizeof(MS_BCAST_ONLY_MBP_CM) == 474, "capital-market message");
static_assert(offsetof(MS_BCAST_ONLY_MBP_CM, broadcastHeader) == 8, "CM header");
static_assert(offsetof(MS_BCAST_ONLY_MBP_CM, numberOfRecords) == 48, "CM record count");
static_assert(offsetof(MS_BCAST_ONLY_MBP_CM, records) == 50, "CM slot 1");
static_assert(offsetof(MS_BCAST_ONLY_MBP_CM, records) + sizeof(OLD_MBP_RECORD_CM) == 262, "CM slot 2");

static_assert(sizeof(MS_BCAST_ONLY_MBP_FO) == 478, "derivatives message");
static_assert(offsetof(MS_BCAST_ONLY_MBP_FO, broadcastHeader) == 8, "FO header");
static_assert(offsetof(MS_BCAST_ONLY_MBP_FO, numberOfRecords) == 48, "FO record count");
static_assert(offsetof(MS_BCAST_ONLY_MBP_FO, records) == 50, "FO slot 1");
static_assert(offsetof(MS_BCAST_ONLY_MBP_FO, records) + sizeof(OLD_MBP_RECORD_FO) == 264, "FO slot 2");

// messageLength counts the header, the record count and both slots, not the 8-byte prefix.
template <typename Message>
constexpr int16_t MessageLengthOf() {
    return static_cast<int16_t>(sizeof(Message) - offsetof(Message, broadcastHeader));
}
static_assert(MessageLengthOf<MS_BCAST_ONLY_MBP_CM>() == 466, "CM messageLength");
static_assert(MessageLengthOf<MS_BCAST_ONLY_MBP_FO>() == 470, "FO messageLength");

// Fills one or two old-format records from consecutive feed records, enriched from the instrument
// store, and leaves the whole message in wire order. `count` is 1 or 2; a larger count converts two.
int CopyNewMBPToOldMBPCM(MS_BCAST_ONLY_MBP_CM* message, const struct NEW_MKT_MBP_DATA* records, int count);
int CopyNewMBPToOldMBPFO(MS_BCAST_ONLY_MBP_FO* message, const struct NEW_MKT_MBP_DATA* records, int count);

// Reverses in place every multi-byte field of one record slot (0 or 1). Reversal is its own
// inverse, so the same call turns a received message back into host order.
int TwiddleMBPMsgCM(MS_BCAST_ONLY_MBP_CM* message, short slot);
int TwiddleMBPMsgFO(MS_BCAST_ONLY_MBP_FO* message, short slot);

// Reverses the header fields that carry a value: numberOfRecords, transactionCode, messageLength.
template <typename Message>
inline void TwiddleMBPHeader(Message* message) {
    using bcst::ReverseBytes;
    message->numberOfRecords = ReverseBytes<int16_t>(message->numberOfRecords);
    message->broadcastHeader.transactionCode =
        ReverseBytes<int16_t>(message->broadcastHeader.transactionCode);
    message->broadcastHeader.messageLength = ReverseBytes<int16_t>(message->broadcastHeader.messageLength);
}

// Net change against the closing price in hundredths of a percent, without sign; the caller has
// checked that `closingPrice` is not 0. Saturates at 2,147,483,647 where the quotient leaves int32.
int32_t NetChangeHundredthsOfPercent(int32_t reference, int32_t closingPrice);
