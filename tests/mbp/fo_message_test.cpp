// Derivatives 7208 message, byte for byte: header, both record slots, the fixed status and flags, the
// closing price in the net change field, the store lookup by the whole token and record counts.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <vector>

#include "mbp/old_mbp.h"
#include "support/expected_messages.h"

using namespace bcsttest;

namespace {

constexpr size_t kMessageSize = 478;
constexpr size_t kSlot1 = 50;
constexpr size_t kSlot2 = 264;
constexpr uint16_t kMessageLength = 470;

Bytes Convert(const Bytes& payload, int count) {
    return RunConversion<MS_BCAST_ONLY_MBP_FO>(payload, count, CopyNewMBPToOldMBPFO);
}

Bytes ExpectedMessage(uint16_t records) {
    Bytes message(kMessageSize, 0);
    ExpectHeader(message, kMessageLength, records);
    return message;
}

Bytes Slice(const Bytes& b, size_t from, size_t length) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + length));
}

// Indicator bits are set in both golden records to show that this layout does not read them.
FeedRecord GoldenFirst() {
    FeedRecord r = DistinctRecord(1, 70000);
    r.lastTradedPrice = 1300;
    r.indicator[0] = 0x21;
    r.indicator[1] = 0x84;
    r.indicator[2] = 0x38;
    return r;
}

Derived GoldenFirstDerived() {
    Derived d;
    d.tradingStatus = 2;
    d.store = {1200, 1100, 1300, 1000, 55};
    d.netChangeIndicator = '+';
    d.netChange = 1200;  // the closing price itself
    return d;
}

FeedRecord GoldenSecond() {
    FeedRecord r = DistinctRecord(2, -2);
    r.lastTradedPrice = 1500000;
    r.indicator[0] = 0xFF;
    r.indicator[1] = 0xFF;
    r.indicator[2] = 0xFF;
    r.reserved = 0xFF;
    return r;
}

Derived GoldenSecondDerived() {
    Derived d;
    d.tradingStatus = 2;
    d.store = {2000000, 1800000, 2100000, 1400000, 4242};
    d.netChangeIndicator = '-';
    d.netChange = 2000000;
    return d;
}

void StoreGoldenEntries() {
    PutInStore(70000, GoldenFirstDerived().store);
    PutInStore(-2, GoldenSecondDerived().store);
}

Bytes GoldenPairExpected() {
    Bytes expected = ExpectedMessage(2);
    ExpectRecordFO(expected, kSlot1, GoldenFirst(), GoldenFirstDerived());
    ExpectRecordFO(expected, kSlot2, GoldenSecond(), GoldenSecondDerived());
    return expected;
}

class FoMessage : public StoreReset {};

TEST_F(FoMessage, OneRecordGolden) {
    StoreGoldenEntries();
    Bytes expected = ExpectedMessage(1);
    ExpectRecordFO(expected, kSlot1, GoldenFirst(), GoldenFirstDerived());

    // Exactly one record on the heap: reading a second one would be caught.
    const Bytes actual = Convert(FeedPayload({GoldenFirst()}), 1);
    EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);

    // Literal bytes of the wire layout.
    EXPECT_EQ(Slice(actual, 0, 18), Bytes(18, 0));
    EXPECT_EQ(Slice(actual, 18, 2), (Bytes{0x1C, 0x28}));
    EXPECT_EQ(Slice(actual, 20, 26), Bytes(26, 0));
    EXPECT_EQ(Slice(actual, 46, 2), (Bytes{0x01, 0xD6}));
    EXPECT_EQ(Slice(actual, 48, 2), (Bytes{0x00, 0x01}));
    EXPECT_EQ(Slice(actual, 50, 4), (Bytes{0x00, 0x01, 0x11, 0x70}));  // token 70000, all 32 bits
    EXPECT_EQ(Slice(actual, 54, 2), (Bytes{0x00, 0x01}));              // bookType
    EXPECT_EQ(Slice(actual, 56, 2), (Bytes{0x00, 0x02}));              // tradingStatus
    EXPECT_EQ(actual[66], '+');
    EXPECT_EQ(actual[67], 0);
    EXPECT_EQ(Slice(actual, 68, 4), (Bytes{0x00, 0x00, 0x04, 0xB0}));  // closing price 1200
    EXPECT_EQ(Slice(actual, 72, 4), (Bytes{0x00, 0x00, 0x00, 0x37}));  // ticker 55
    EXPECT_EQ(Slice(actual, 84, 22), Bytes(22, 0));                    // auction block
    EXPECT_EQ(Slice(actual, 226, 4), Bytes(4, 0));                     // total flags
    EXPECT_EQ(Slice(actual, 230, 8), (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));
    EXPECT_EQ(Slice(actual, 238, 8), (Bytes{0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21}));
    EXPECT_EQ(Slice(actual, 248, 4), (Bytes{0x00, 0x00, 0x04, 0xB0}));  // close
    EXPECT_EQ(Slice(actual, 252, 4), (Bytes{0x00, 0x00, 0x04, 0x4C}));  // open 1100
    EXPECT_EQ(Slice(actual, 264, 214), Bytes(214, 0));
}

TEST_F(FoMessage, TwoRecordsGolden) {
    StoreGoldenEntries();
    const Bytes expected = GoldenPairExpected();
    const Bytes actual = Convert(FeedPayload({GoldenFirst(), GoldenSecond()}), 2);
    EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);

    EXPECT_EQ(Slice(actual, 46, 2), (Bytes{0x01, 0xD6}));
    EXPECT_EQ(Slice(actual, 48, 2), (Bytes{0x00, 0x02}));
    EXPECT_EQ(Slice(actual, 264, 4), (Bytes{0xFF, 0xFF, 0xFF, 0xFE}));  // token -2
    EXPECT_EQ(Slice(actual, 270, 2), (Bytes{0x00, 0x02}));
    EXPECT_EQ(actual[280], '-');
    EXPECT_EQ(actual[281], 0);
    EXPECT_EQ(Slice(actual, 282, 4), (Bytes{0x00, 0x1E, 0x84, 0x80}));
    EXPECT_EQ(Slice(actual, 320, 4), (Bytes{0x41, 0x01, 0x02, 0x07}));  // level 1 quantity
    EXPECT_EQ(Slice(actual, 436, 2), (Bytes{0x0B, 0x23}));              // level 10 numberOfOrders
    EXPECT_EQ(Slice(actual, 438, 2), (Bytes{0x00, 0x00}));              // level 10 buySellFlag
    EXPECT_EQ(Slice(actual, 444, 8), (Bytes{0x48, 0x47, 0x46, 0x45, 0x44, 0x43, 0x42, 0x41}));
    EXPECT_EQ(Slice(actual, 452, 8), (Bytes{0x68, 0x67, 0x66, 0x65, 0x64, 0x63, 0x62, 0x61}));
    EXPECT_EQ(Slice(actual, 462, 4), (Bytes{0x00, 0x1E, 0x84, 0x80}));
    EXPECT_EQ(Slice(actual, 474, 4), (Bytes{0x00, 0x15, 0x5C, 0xC0}));
}

TEST_F(FoMessage, IndicatorBitsAreNotRead) {
    PutInStore(70000, GoldenFirstDerived().store);
    const uint8_t patterns[][4] = {
        {0x00, 0x00, 0x00, 0x00}, {0xFF, 0xFF, 0xFF, 0xFF}, {0x60, 0x00, 0x60, 0x00},
        {0x20, 0x00, 0x20, 0x00}, {0x5A, 0x35, 0x5C, 0x01}, {0x80, 0x80, 0x80, 0x80},
    };
    for (const auto& p : patterns) {
        SCOPED_TRACE(testing::Message()
                     << int{p[0]} << " " << int{p[1]} << " " << int{p[2]} << " " << int{p[3]});
        FeedRecord in = GoldenFirst();
        in.indicator[0] = p[0];
        in.indicator[1] = p[1];
        in.indicator[2] = p[2];
        in.reserved = p[3];
        Bytes expected = ExpectedMessage(1);
        ExpectRecordFO(expected, kSlot1, in, GoldenFirstDerived());  // status 2, every flag 0
        const Bytes actual = Convert(FeedPayload({in}), 1);
        EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
    }
}

TEST_F(FoMessage, NetChangeCarriesTheClosingPrice) {
    struct Row {
        int32_t close;
        int32_t last;
        char indicator;
        int32_t change;
        uint8_t wire[4];
    };
    const Row rows[] = {
        {1200, 1000, '-', 1200, {0x00, 0x00, 0x04, 0xB0}},
        {1200, 1300, '+', 1200, {0x00, 0x00, 0x04, 0xB0}},
        {1200, 1200, ' ', 1200, {0x00, 0x00, 0x04, 0xB0}},
        {0, 500, ' ', 0, {0x00, 0x00, 0x00, 0x00}},
        {3, -5, '-', 3, {0x00, 0x00, 0x00, 0x03}},  // signed comparison
        {INT32_MIN, INT32_MAX, '+', INT32_MIN, {0x80, 0x00, 0x00, 0x00}},
        {INT32_MAX, INT32_MIN, '-', INT32_MAX, {0x7F, 0xFF, 0xFF, 0xFF}},
        {-1, 0, '+', -1, {0xFF, 0xFF, 0xFF, 0xFF}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "close " << row.close << " last " << row.last);
        ResetInstrumentStore();
        const StoreEntry store{row.close, 0x00010203, 0x04050607, 0x08090A0B, 0x0C0D0E0F};
        PutInStore(123456, store);
        FeedRecord in = DistinctRecord(3, 123456);
        in.lastTradedPrice = row.last;
        Derived d;
        d.tradingStatus = 2;
        d.store = store;
        d.netChangeIndicator = row.indicator;
        d.netChange = row.change;
        Bytes expected = ExpectedMessage(1);
        ExpectRecordFO(expected, kSlot1, in, d);
        const Bytes actual = Convert(FeedPayload({in}), 1);
        EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
        EXPECT_EQ(actual[66], static_cast<uint8_t>(row.indicator));
        EXPECT_EQ(Slice(actual, 68, 4), Bytes(row.wire, row.wire + 4));
    }
}

TEST_F(FoMessage, StoreLookupUsesTheWholeToken) {
    PutInStore(1, {101, 102, 103, 104, 105});
    PutInStore(65537, {201, 202, 203, 204, 205});
    PutInStore(-2, {301, 302, 303, 304, 305});
    PutInStore(4464, {401, 402, 403, 404, 405});  // low 16 bits of 70000
    const std::vector<NEW_MKT_MAP_DATA> before = StoreSnapshot();

    struct Row {
        int32_t token;
        uint8_t wire[4];
        bool present;
        StoreEntry store;
    };
    const Row rows[] = {
        {65537, {0x00, 0x01, 0x00, 0x01}, true, {201, 202, 203, 204, 205}},
        {1, {0x00, 0x00, 0x00, 0x01}, true, {101, 102, 103, 104, 105}},
        {-2, {0xFF, 0xFF, 0xFF, 0xFE}, true, {301, 302, 303, 304, 305}},
        {70000, {0x00, 0x01, 0x11, 0x70}, false, {}},
        {-65535, {0xFF, 0xFF, 0x00, 0x01}, false, {}},  // low 16 bits are 1
        {0, {0x00, 0x00, 0x00, 0x00}, false, {}},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.token);
        FeedRecord in = DistinctRecord(4, row.token);
        in.lastTradedPrice = 50;
        Derived d;
        d.tradingStatus = 2;
        d.store = row.store;
        d.netChangeIndicator = row.present ? '-' : ' ';  // last 50 is below every stored close
        d.netChange = row.store.close;
        Bytes expected = ExpectedMessage(1);
        ExpectRecordFO(expected, kSlot1, in, d);
        const Bytes actual = Convert(FeedPayload({in}), 1);
        EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
        EXPECT_EQ(Slice(actual, 50, 4), Bytes(row.wire, row.wire + 4));
        if (!row.present) {
            EXPECT_EQ(gOHLMapData.count(row.token), 0u);
        }
    }
    EXPECT_TRUE(SameEntries(before, StoreSnapshot()));
}

TEST_F(FoMessage, TokenPresentWithClosingPriceZero) {
    PutInStore(99, {0, 11, 12, 13, 14});
    FeedRecord in = DistinctRecord(5, 99);
    Derived d;
    d.tradingStatus = 2;
    d.store = {0, 11, 12, 13, 14};
    Bytes expected = ExpectedMessage(1);
    ExpectRecordFO(expected, kSlot1, in, d);
    const Bytes actual = Convert(FeedPayload({in}), 1);
    EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
    EXPECT_EQ(actual[66], ' ');
}

TEST_F(FoMessage, RecordCountOutsideOneAndTwo) {
    StoreGoldenEntries();
    const Bytes pair = FeedPayload({GoldenFirst(), GoldenSecond()});
    const Bytes expectedPair = GoldenPairExpected();
    // Only two records exist on the heap, and the message area is exactly 478 bytes.
    for (int count : {3, 100, INT_MAX}) {
        SCOPED_TRACE(count);
        const Bytes actual = Convert(pair, count);
        EXPECT_EQ(expectedPair, actual) << ByteDiff(expectedPair, actual);
    }
    const Bytes expectedEmpty = ExpectedMessage(0);
    for (int count : {0, -1, -2, INT_MIN}) {
        SCOPED_TRACE(count);
        const Bytes actual = Convert(FeedPayload({GoldenFirst()}), count);
        EXPECT_EQ(expectedEmpty, actual) << ByteDiff(expectedEmpty, actual);
    }
}

// TwiddleMBPMsgFO turns one slot of a wire-order message into host order in place, leaving the header and the
// other slot alone; a second call restores the wire bytes.
TEST_F(FoMessage, TwiddleReversesOneSlotInPlace) {
    const Bytes wire = GoldenPairExpected();
    for (short slot : {0, 1}) {
        SCOPED_TRACE(slot);
        const size_t at = slot == 0 ? kSlot1 : kSlot2;
        Bytes expected = wire;
        if (slot == 0) {
            ExpectRecordFO(expected, kSlot1, GoldenFirst(), GoldenFirstDerived(), Order::kHost);
        } else {
            ExpectRecordFO(expected, kSlot2, GoldenSecond(), GoldenSecondDerived(), Order::kHost);
        }
        ASSERT_NE(Slice(expected, at, 214), Slice(wire, at, 214));

        Bytes work = wire;
        auto* message = reinterpret_cast<MS_BCAST_ONLY_MBP_FO*>(work.data());
        EXPECT_EQ(TwiddleMBPMsgFO(message, slot), 0);
        EXPECT_EQ(expected, work) << ByteDiff(expected, work);
        EXPECT_EQ(TwiddleMBPMsgFO(message, slot), 0);
        EXPECT_EQ(wire, work) << ByteDiff(wire, work);
    }
}

}  // namespace
