// Indicator bits of the feed market-by-price record (CheckBit, ViewBit) and the record-array offsets
// of a decoded payload.
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>

#include "mbp/new_mbp.h"
#include "support/test_support.h"

namespace {

// Mask of bit positions 1..8, written out.
constexpr int kMask[9] = {0, 1, 2, 4, 8, 16, 32, 64, 128};

// The bit at `position` of `value`, as its mask value, by division rather than shifting.
int ExpectedCheckBit(int value, int position) {
    if (position < 1 || position > 8) {
        return 0;
    }
    return (value / kMask[position]) % 2 == 1 ? kMask[position] : 0;
}

TEST(CheckBit, MatchesTheBitFormulaForEveryByteAndPosition) {
    EXPECT_EQ(CheckBit(static_cast<char>(0x80), 8), 128);
    EXPECT_EQ(CheckBit(static_cast<char>(0xFF), 8), 128);
    EXPECT_EQ(CheckBit(static_cast<char>(0x01), 1), 1);
    EXPECT_EQ(CheckBit(static_cast<char>(0x7F), 8), 0);

    const int positions[] = {INT_MIN, -9, -1, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 16, 32, 33, 64, INT_MAX};
    for (int value = 0; value < 256; ++value) {
        const char byte = static_cast<char>(value);
        EXPECT_EQ(CheckBit(byte, 0), 0) << value;
        EXPECT_EQ(CheckBit(byte, 9), 0) << value;
        EXPECT_EQ(CheckBit(byte, -1), 0) << value;
        for (int position : positions) {
            EXPECT_EQ(CheckBit(byte, position), ExpectedCheckBit(value, position))
                << "byte " << value << " position " << position;
        }
    }
}

TEST(ViewBit, ExpandsThreeIndicatorBytes) {
    int flags[26];
    std::fill(std::begin(flags), std::end(flags), -7);
    const char bytes[3] = {0x01, 0x00, static_cast<char>(0x80)};
    EXPECT_EQ(ViewBit(bytes, 3, flags), 0);
    for (int n = 0; n < 24; ++n) {
        EXPECT_EQ(flags[n], (n == 0 || n == 23) ? 1 : 0) << "flag " << n;
    }
    EXPECT_EQ(flags[24], -7);  // nothing past 8 entries per byte
    EXPECT_EQ(flags[25], -7);
}

TEST(ViewBit, CountZeroWritesNothing) {
    int flags[24];
    std::fill(std::begin(flags), std::end(flags), -7);
    const char bytes[3] = {static_cast<char>(0xFF), static_cast<char>(0xFF), static_cast<char>(0xFF)};
    EXPECT_EQ(ViewBit(bytes, 0, flags), 0);
    for (int n = 0; n < 24; ++n) {
        EXPECT_EQ(flags[n], -7) << n;
    }
}

// Flag n of the three indicator bytes is bit n % 8 of byte n / 8; checked for every value of each
// byte while the other two hold a different pattern.
TEST(ViewBit, FlagNumberingOverEveryByteValue) {
    for (int which = 0; which < 3; ++which) {
        for (int value = 0; value < 256; ++value) {
            uint8_t raw[3] = {0xA5, 0x3C, 0x5A};
            raw[which] = static_cast<uint8_t>(value);
            char bytes[3];
            std::memcpy(bytes, raw, 3);
            int flags[25];
            std::fill(std::begin(flags), std::end(flags), -7);
            ASSERT_EQ(ViewBit(bytes, 3, flags), 0);
            for (int n = 0; n < 24; ++n) {
                const int expected = (raw[n / 8] / kMask[n % 8 + 1]) % 2;
                ASSERT_EQ(flags[n], expected) << "byte " << which << " value " << value << " flag " << n;
            }
            ASSERT_EQ(flags[24], -7);
        }
    }
}

TEST(FeedRecordArray, FifthRecordAndItsLastLevel) {
    const size_t fifth = 4 * sizeof(NEW_MKT_MBP_DATA);
    EXPECT_EQ(fifth, 560u);
    const size_t orders = fifth + offsetof(NEW_MKT_MBP_DATA, mbpLevels) + 9 * sizeof(NEW_MKT_MBP_LEVEL) +
                          offsetof(NEW_MKT_MBP_LEVEL, numberOfOrders);
    EXPECT_EQ(orders, 698u);
    EXPECT_EQ(orders + sizeof(int16_t) - 1, 699u);

    // Values placed at those payload bytes read back through the record array.
    bcsttest::Bytes payload(5 * 140, 0);
    bcsttest::PutLe32(payload, 560, 0x00C0FFEE);
    bcsttest::PutLe16(payload, 698, 0x1234);
    const auto* records = reinterpret_cast<const NEW_MKT_MBP_DATA*>(payload.data());
    const int32_t token = records[4].token;  // packed fields are copied out before comparing
    const int16_t lastOrders = records[4].mbpLevels[9].numberOfOrders;
    const int16_t ninthOrders = records[4].mbpLevels[8].numberOfOrders;
    const int32_t fourthToken = records[3].token;
    EXPECT_EQ(token, 0x00C0FFEE);
    EXPECT_EQ(lastOrders, 0x1234);
    EXPECT_EQ(ninthOrders, 0);
    EXPECT_EQ(fourthToken, 0);
}

}  // namespace
