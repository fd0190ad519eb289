// The exchange feed's 140-byte market-by-price record and the expansion of its indicator bits.
#pragma once

#include <cstddef>
#include <cstdint>

#include "feed/byte_order.h"

struct BCST_WIRE NEW_MKT_MBP_LEVEL {
    int32_t quantity;
    int32_t price;
    int16_t numberOfOrders;
};

struct BCST_WIRE NEW_MKT_MBP_DATA {
    int32_t token;  // instrument id and store key
    int32_t volumeTradedToday;
    int32_t lastTradedPrice;
    int32_t lastTradeTime;
    int32_t averageTradePrice;
    int64_t totalBuyQuantity;   // never interpreted: moved as 8 raw bytes
    int64_t totalSellQuantity;  // never interpreted: moved as 8 raw bytes
    uint8_t indicatorBits[3];   // flags 0..23, flag n = bit (n % 8) of byte n / 8
    uint8_t reserved;
    NEW_MKT_MBP_LEVEL mbpLevels[10];
};

// The exchange fixed these offsets; records are walked in steps of sizeof(NEW_MKT_MBP_DATA).
static_assert(sizeof(NEW_MKT_MBP_LEVEL) == 10, "feed depth level is 10 bytes");
static_assert(offsetof(NEW_MKT_MBP_LEVEL, price) == 4, "level price offset");
static_assert(offsetof(NEW_MKT_MBP_LEVEL, numberOfOrders) == 8, "level order count offset");
static_assert(sizeof(NEW_MKT_MBP_DATA) == 140, "feed market-by-price record is 140 bytes");
static_assert(offsetof(NEW_MKT_MBP_DATA, volumeTradedToday) == 4, "volume offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, lastTradedPrice) == 8, "last price offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, lastTradeTime) == 12, "trade time offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, averageTradePrice) == 16, "average price offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, totalBuyQuantity) == 20, "buy quantity offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, totalSellQuantity) == 28, "sell quantity offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, indicatorBits) == 36, "indicator bits offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, reserved) == 39, "reserved byte offset");
static_assert(offsetof(NEW_MKT_MBP_DATA, mbpLevels) == 40, "depth levels offset");

constexpr int kIndicatorBytes = 3;

// Flag numbers the capital-market conversion reads.
enum IndicatorFlag : int {
    kFlagTotalBuySecond = 18,
    kFlagTotalSell = 19,
    kFlagTotalBuyFirst = 20,
    kFlagStatusFirst = 21,
    kFlagStatusSecond = 22,
};

// Bit `position` (1 = least significant .. 8) of `byte`: its mask value when set, 0 when clear or when
// the position is out of range.
int CheckBit(char byte, int position);

// Expands `byteCount` bytes into 8 * byteCount flags of 0 or 1, least significant bit first.
int ViewBit(const char* bytes, int byteCount, int* flags);
