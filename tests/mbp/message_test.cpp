// The 7208 message of both layouts, byte for byte: what they share (header, both record slots, record
// counts outside one and two, turning a slot back into host order) runs once per layout from a small
// table of each; then the capital market's codes derived from the indicator bits, its net change and
// store lookup, and the derivatives' fixed status and flags and closing price in the net change field.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

#include "mbp/old_mbp.h"
#include "support/expected_messages.h"

using namespace bcsttest;

namespace {

constexpr size_t kSlot1 = 50;

Bytes Slice(const Bytes& b, size_t from, size_t length) {
    return Bytes(b.begin() + static_cast<std::ptrdiff_t>(from),
                 b.begin() + static_cast<std::ptrdiff_t>(from + length));
}

// Capital market: 474 bytes, 212-byte slots at 50 and 262, a 16-bit token.
struct Cm {
    using Wire = MS_BCAST_ONLY_MBP_CM;
    static constexpr size_t kMessageSize = 474;
    static constexpr size_t kSlot2 = 262;
    static constexpr size_t kRecordSize = 212;
    static constexpr uint16_t kMessageLength = 466;
    static constexpr auto kConvert = &CopyNewMBPToOldMBPCM;
    static constexpr auto kTwiddle = &TwiddleMBPMsgCM;
    static void ExpectRecord(Bytes& m, size_t at, const FeedRecord& in, const Derived& d,
                             Order order = Order::kWire) {
        ExpectRecordCM(m, at, in, d, order);
    }

    // First golden record: flags 0, 5 (level 1 = 3), 10 (level 6 = 2), 15 (not read), 19 (total sell 2),
    // 20 (total buy 1), 21 (status 6, so the change is taken from the open price).
    static FeedRecord GoldenFirst() {
        FeedRecord r = DistinctRecord(1, 1234);
        r.indicator[0] = 0x21;
        r.indicator[1] = 0x84;
        r.indicator[2] = 0x38;
        return r;
    }
    static Derived GoldenFirstDerived() {
        Derived d;
        d.tradingStatus = 6;
        d.buySell[0] = 3;
        d.buySell[5] = 2;
        d.totalBuyFlag = 1;
        d.totalSellFlag = 2;
        d.store = {1000000, 1250000, 1300000, 990000, 777};
        d.netChangeIndicator = '+';  // open 1,250,000 against close 1,000,000: 0.25 -> 2500
        d.netChange = 2500;
        return d;
    }
    // Second golden record: flags 6 (level 2 = 2), 9 (level 5 = 2), 18 (total buy 2), 22 (status 2, so
    // the change is taken from the last traded price).
    static FeedRecord GoldenSecond() {
        FeedRecord r = DistinctRecord(2, 4321);
        r.lastTradedPrice = 1500000;
        r.indicator[0] = 0x40;
        r.indicator[1] = 0x02;
        r.indicator[2] = 0x44;
        return r;
    }
    static Derived GoldenSecondDerived() {
        Derived d;
        d.tradingStatus = 2;
        d.buySell[1] = 2;
        d.buySell[4] = 2;
        d.totalBuyFlag = 2;
        d.store = {2000000, 1800000, 2100000, 1400000, 4242};
        d.netChangeIndicator = '-';  // last 1,500,000 against close 2,000,000: -0.25 -> 2500
        d.netChange = 2500;
        return d;
    }
    static void StoreGoldenEntries() {
        PutInStore(1234, GoldenFirstDerived().store);
        PutInStore(4321, GoldenSecondDerived().store);
    }

    // Literal bytes of the wire layout, one record.
    static void ExpectOneRecordLiterals(const Bytes& actual) {
        EXPECT_EQ(Slice(actual, 0, 18), Bytes(18, 0));  // prefix, logTime and reserved header bytes
        EXPECT_EQ(Slice(actual, 18, 2), (Bytes{0x1C, 0x28}));
        EXPECT_EQ(Slice(actual, 20, 26), Bytes(26, 0));
        EXPECT_EQ(Slice(actual, 46, 2), (Bytes{0x01, 0xD2}));
        EXPECT_EQ(Slice(actual, 48, 2), (Bytes{0x00, 0x01}));
        EXPECT_EQ(Slice(actual, 50, 2), (Bytes{0x04, 0xD2}));  // token 1234
        EXPECT_EQ(Slice(actual, 52, 2), (Bytes{0x00, 0x01}));  // bookType
        EXPECT_EQ(Slice(actual, 54, 2), (Bytes{0x00, 0x06}));  // tradingStatus
        EXPECT_EQ(actual[64], '+');
        EXPECT_EQ(actual[65], 0);
        EXPECT_EQ(Slice(actual, 66, 4), (Bytes{0x00, 0x00, 0x09, 0xC4}));                           // 2500
        EXPECT_EQ(Slice(actual, 228, 8), (Bytes{0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}));  // buy
        EXPECT_EQ(Slice(actual, 236, 8), (Bytes{0x28, 0x27, 0x26, 0x25, 0x24, 0x23, 0x22, 0x21}));  // sell
        EXPECT_EQ(Slice(actual, 246, 4), (Bytes{0x00, 0x0F, 0x42, 0x40}));                          // close
        EXPECT_EQ(Slice(actual, 262, 212), Bytes(212, 0));
    }
    // Literal bytes of the wire layout, two records.
    static void ExpectTwoRecordLiterals(const Bytes& actual) {
        EXPECT_EQ(Slice(actual, 46, 2), (Bytes{0x01, 0xD2}));
        EXPECT_EQ(Slice(actual, 48, 2), (Bytes{0x00, 0x02}));
        EXPECT_EQ(Slice(actual, 262, 2), (Bytes{0x10, 0xE1}));  // token 4321
        EXPECT_EQ(Slice(actual, 266, 2), (Bytes{0x00, 0x02}));  // tradingStatus
        EXPECT_EQ(actual[276], '-');
        EXPECT_EQ(actual[277], 0);
        EXPECT_EQ(Slice(actual, 440, 8), (Bytes{0x48, 0x47, 0x46, 0x45, 0x44, 0x43, 0x42, 0x41}));
        EXPECT_EQ(Slice(actual, 448, 8), (Bytes{0x68, 0x67, 0x66, 0x65, 0x64, 0x63, 0x62, 0x61}));
        EXPECT_EQ(Slice(actual, 456, 2), (Bytes{0x00, 0x00}));              // mbpIndicator
        EXPECT_EQ(Slice(actual, 458, 4), (Bytes{0x00, 0x1E, 0x84, 0x80}));  // close 2,000,000
        EXPECT_EQ(Slice(actual, 470, 4), (Bytes{0x00, 0x15, 0x5C, 0xC0}));  // low 1,400,000
        EXPECT_EQ(Slice(actual, 294, 22), Bytes(22, 0));                    // auction block, slot 2
    }
};

// Derivatives: 478 bytes, 214-byte slots at 50 and 264, a 32-bit token.
struct Fo {
    using Wire = MS_BCAST_ONLY_MBP_FO;
    static constexpr size_t kMessageSize = 478;
    static constexpr size_t kSlot2 = 264;
    static constexpr size_t kRecordSize = 214;
    static constexpr uint16_t kMessageLength = 470;
    static constexpr auto kConvert = &CopyNewMBPToOldMBPFO;
    static constexpr auto kTwiddle = &TwiddleMBPMsgFO;
    static void ExpectRecord(Bytes& m, size_t at, const FeedRecord& in, const Derived& d,
                             Order order = Order::kWire) {
        ExpectRecordFO(m, at, in, d, order);
    }

    // Indicator bits are set in both golden records to show that this layout does not read them.
    static FeedRecord GoldenFirst() {
        FeedRecord r = DistinctRecord(1, 70000);
        r.lastTradedPrice = 1300;
        r.indicator[0] = 0x21;
        r.indicator[1] = 0x84;
        r.indicator[2] = 0x38;
        return r;
    }
    static Derived GoldenFirstDerived() {
        Derived d;
        d.tradingStatus = 2;
        d.store = {1200, 1100, 1300, 1000, 55};
        d.netChangeIndicator = '+';
        d.netChange = 1200;  // the closing price itself
        return d;
    }
    static FeedRecord GoldenSecond() {
        FeedRecord r = DistinctRecord(2, -2);
        r.lastTradedPrice = 1500000;
        r.indicator[0] = 0xFF;
        r.indicator[1] = 0xFF;
        r.indicator[2] = 0xFF;
        r.reserved = 0xFF;
        return r;
    }
    static Derived GoldenSecondDerived() {
        Derived d;
        d.tradingStatus = 2;
        d.store = {2000000, 1800000, 2100000, 1400000, 4242};
        d.netChangeIndicator = '-';
        d.netChange = 2000000;
        return d;
    }
    static void StoreGoldenEntries() {
        PutInStore(70000, GoldenFirstDerived().store);
        PutInStore(-2, GoldenSecondDerived().store);
    }

    static void ExpectOneRecordLiterals(const Bytes& actual) {
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
    static void ExpectTwoRecordLiterals(const Bytes& actual) {
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
};

// A layout's conversion and expected messages; the layout's own golden records come with it.
template <typename L>
class Message : public StoreReset, public L {
  protected:
    static Bytes Convert(const Bytes& payload, int count) {
        return RunConversion<typename L::Wire>(payload, count, L::kConvert);
    }
    static Bytes ExpectedMessage(uint16_t records) {
        Bytes message(L::kMessageSize, 0);
        ExpectHeader(message, L::kMessageLength, records);
        return message;
    }
    // Converts `in` alone and checks the message against the one written out for it; returns it.
    static Bytes ExpectOneRecord(const FeedRecord& in, const Derived& d) {
        Bytes expected = ExpectedMessage(1);
        L::ExpectRecord(expected, kSlot1, in, d);
        const Bytes actual = Convert(FeedPayload({in}), 1);
        EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
        return actual;
    }
    static Bytes GoldenPairExpected() {
        Bytes expected = ExpectedMessage(2);
        L::ExpectRecord(expected, kSlot1, L::GoldenFirst(), L::GoldenFirstDerived());
        L::ExpectRecord(expected, L::kSlot2, L::GoldenSecond(), L::GoldenSecondDerived());
        return expected;
    }
};

struct LayoutName {
    template <typename L>
    static std::string GetName(int) {
        return std::is_same<L, Cm>::value ? "Cm" : "Fo";
    }
};
using Layouts = ::testing::Types<Cm, Fo>;
TYPED_TEST_SUITE(Message, Layouts, LayoutName);

TYPED_TEST(Message, OneRecordGolden) {
    using L = TypeParam;
    L::StoreGoldenEntries();
    Bytes expected = this->ExpectedMessage(1);
    L::ExpectRecord(expected, kSlot1, L::GoldenFirst(), L::GoldenFirstDerived());

    // Exactly one record on the heap: reading a second one would be caught.
    const Bytes actual = this->Convert(FeedPayload({L::GoldenFirst()}), 1);
    EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
    L::ExpectOneRecordLiterals(actual);
}

TYPED_TEST(Message, TwoRecordsGolden) {
    using L = TypeParam;
    L::StoreGoldenEntries();
    const Bytes expected = this->GoldenPairExpected();
    const Bytes actual = this->Convert(FeedPayload({L::GoldenFirst(), L::GoldenSecond()}), 2);
    EXPECT_EQ(expected, actual) << ByteDiff(expected, actual);
    L::ExpectTwoRecordLiterals(actual);
}

TYPED_TEST(Message, RecordCountOutsideOneAndTwo) {
    using L = TypeParam;
    L::StoreGoldenEntries();
    const Bytes pair = FeedPayload({L::GoldenFirst(), L::GoldenSecond()});
    const Bytes expectedPair = this->GoldenPairExpected();
    // Only two records exist on the heap, and the message area is exactly the message's size.
    for (int count : {3, 100, INT_MAX}) {
        SCOPED_TRACE(count);
        const Bytes actual = this->Convert(pair, count);
        EXPECT_EQ(expectedPair, actual) << ByteDiff(expectedPair, actual);
    }
    const Bytes expectedEmpty = this->ExpectedMessage(0);  // header alone, both slots zero
    for (int count : {0, -1, -2, INT_MIN}) {
        SCOPED_TRACE(count);
        const Bytes actual = this->Convert(FeedPayload({L::GoldenFirst()}), count);
        EXPECT_EQ(expectedEmpty, actual) << ByteDiff(expectedEmpty, actual);
    }
}

// TwiddleMBPMsgCM/FO turns one slot of a wire-order message into host order in place, leaving the
// header and the other slot alone; a second call restores the wire bytes.
TYPED_TEST(Message, TwiddleReversesOneSlotInPlace) {
    using L = TypeParam;
    const Bytes wire = this->GoldenPairExpected();
    for (short slot : {0, 1}) {
        SCOPED_TRACE(slot);
        const size_t at = slot == 0 ? kSlot1 : L::kSlot2;
        Bytes expected = wire;
        if (slot == 0) {
            L::ExpectRecord(expected, kSlot1, L::GoldenFirst(), L::GoldenFirstDerived(), Order::kHost);
        } else {
            L::ExpectRecord(expected, L::kSlot2, L::GoldenSecond(), L::GoldenSecondDerived(), Order::kHost);
        }
        ASSERT_NE(Slice(expected, at, L::kRecordSize), Slice(wire, at, L::kRecordSize));

        Bytes work = wire;
        auto* message = reinterpret_cast<typename L::Wire*>(work.data());
        EXPECT_EQ(L::kTwiddle(message, slot), 0);
        EXPECT_EQ(expected, work) << ByteDiff(expected, work);
        EXPECT_EQ(L::kTwiddle(message, slot), 0);
        EXPECT_EQ(wire, work) << ByteDiff(wire, work);
    }
}

// ---- capital market only

class CmMessage : public Message<Cm> {};

// A record whose token has no store entry and no indicator bits: status 3, every code 0.
FeedRecord PlainRecord() {
    return DistinctRecord(3, 500);
}

Derived PlainDerived() {
    Derived d;
    d.tradingStatus = 3;
    return d;
}

TEST_F(CmMessage, TradingStatusFromFlags21And22) {
    struct Row {
        uint8_t byte38;
        int16_t status;
    };
    const Row rows[] = {{0x00, 3}, {0x40, 2}, {0x20, 6}, {0x60, 1}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.byte38);
        FeedRecord in = PlainRecord();
        in.indicator[2] = row.byte38;
        Derived d = PlainDerived();
        d.tradingStatus = row.status;
        ExpectOneRecord(in, d);
    }
}

// Flag positions written out as (indicator byte 0..2 = record byte 36..38, mask).
struct FlagBit {
    size_t byte;
    uint8_t mask;
};

struct TwoInputRow {
    bool first;
    bool second;
    int16_t code;
};
const TwoInputRow kTwoInputTable[] = {{false, false, 0}, {true, false, 1}, {false, true, 2}, {true, true, 3}};

TEST_F(CmMessage, LevelFlagsOneToFiveFromTwoInputs) {
    const FlagBit first[5] = {{0, 0x01}, {0, 0x02}, {0, 0x04}, {0, 0x08}, {0, 0x10}};
    const FlagBit second[5] = {{0, 0x20}, {0, 0x40}, {0, 0x80}, {1, 0x01}, {1, 0x02}};
    for (int level = 0; level < 5; ++level) {
        for (const TwoInputRow& row : kTwoInputTable) {
            SCOPED_TRACE(testing::Message()
                         << "level " << level + 1 << " first " << row.first << " second " << row.second);
            FeedRecord in = PlainRecord();
            if (row.first) {
                in.indicator[first[level].byte] |= first[level].mask;
            }
            if (row.second) {
                in.indicator[second[level].byte] |= second[level].mask;
            }
            Derived d = PlainDerived();
            d.buySell[level] = row.code;
            ExpectOneRecord(in, d);
        }
    }
}

TEST_F(CmMessage, LevelFlagsSixToTenFromSoleInput) {
    const FlagBit sole[5] = {{1, 0x04}, {1, 0x08}, {1, 0x10}, {1, 0x20}, {1, 0x40}};
    for (int i = 0; i < 5; ++i) {
        for (bool set : {false, true}) {
            SCOPED_TRACE(testing::Message() << "level " << i + 6 << " set " << set);
            FeedRecord in = PlainRecord();
            if (set) {
                in.indicator[sole[i].byte] |= sole[i].mask;
            }
            Derived d = PlainDerived();
            d.buySell[5 + i] = set ? 2 : 0;
            ExpectOneRecord(in, d);
        }
    }

    // Flags 0 to 9 all set: levels 1 to 5 carry 3, levels 6 to 10 stay 0.
    FeedRecord in = PlainRecord();
    in.indicator[0] = 0xFF;
    in.indicator[1] = 0x03;
    Derived d = PlainDerived();
    for (int k = 0; k < 5; ++k) {
        d.buySell[k] = 3;
    }
    ExpectOneRecord(in, d);
}

TEST_F(CmMessage, TotalBuyAndSellFlags) {
    const FlagBit buyFirst{2, 0x10};   // flag 20
    const FlagBit buySecond{2, 0x04};  // flag 18
    const FlagBit sell{2, 0x08};       // flag 19
    for (const TwoInputRow& row : kTwoInputTable) {
        for (bool sellSet : {false, true}) {
            SCOPED_TRACE(testing::Message()
                         << "buy first " << row.first << " buy second " << row.second << " sell " << sellSet);
            FeedRecord in = PlainRecord();
            if (row.first) {
                in.indicator[buyFirst.byte] |= buyFirst.mask;
            }
            if (row.second) {
                in.indicator[buySecond.byte] |= buySecond.mask;
            }
            if (sellSet) {
                in.indicator[sell.byte] |= sell.mask;
            }
            Derived d = PlainDerived();
            d.totalBuyFlag = row.code;
            d.totalSellFlag = sellSet ? 2 : 0;
            ExpectOneRecord(in, d);
        }
    }
}

TEST_F(CmMessage, UnreadFlagsAndReservedByteChangeNothing) {
    // A busy indicator pattern worked out from the flag table: byte 36 0x5A = flags 1, 3, 4, 6;
    // byte 37 0x35 = flags 8, 10, 12, 13; byte 38 0x5C = flags 18, 19, 20, 22.
    FeedRecord busy = PlainRecord();
    busy.indicator[0] = 0x5A;
    busy.indicator[1] = 0x35;
    busy.indicator[2] = 0x5C;
    Derived busyDerived = PlainDerived();
    busyDerived.tradingStatus = 2;  // flag 22 alone
    busyDerived.buySell[1] = 3;     // flags 1 and 6
    busyDerived.buySell[3] = 3;     // flags 3 and 8
    busyDerived.buySell[4] = 1;     // flag 4 alone
    busyDerived.buySell[5] = 2;     // flag 10
    busyDerived.buySell[7] = 2;     // flag 12
    busyDerived.buySell[8] = 2;     // flag 13
    busyDerived.totalBuyFlag = 3;   // flags 20 and 18
    busyDerived.totalSellFlag = 2;  // flag 19

    struct Base {
        FeedRecord record;
        Derived derived;
    };
    const Base bases[] = {{PlainRecord(), PlainDerived()}, {busy, busyDerived}};
    // Flags 15, 16, 17, 23 one by one and together, and the reserved byte 39.
    const FlagBit unread[] = {{1, 0x80}, {2, 0x01}, {2, 0x02}, {2, 0x80}};
    for (const Base& base : bases) {
        Bytes expected = ExpectedMessage(1);
        ExpectRecordCM(expected, kSlot1, base.record, base.derived);
        const Bytes baseline = Convert(FeedPayload({base.record}), 1);
        ASSERT_EQ(expected, baseline) << ByteDiff(expected, baseline);

        std::vector<FeedRecord> variants;
        FeedRecord all = base.record;
        for (const FlagBit& bit : unread) {
            FeedRecord one = base.record;
            one.indicator[bit.byte] |= bit.mask;
            variants.push_back(one);
            all.indicator[bit.byte] |= bit.mask;
        }
        all.reserved = 0xFF;
        variants.push_back(all);
        FeedRecord reservedOnly = base.record;
        reservedOnly.reserved = 0x5C;
        variants.push_back(reservedOnly);
        for (size_t i = 0; i < variants.size(); ++i) {
            SCOPED_TRACE(i);
            const Bytes actual = Convert(FeedPayload({variants[i]}), 1);
            EXPECT_EQ(baseline, actual) << ByteDiff(baseline, actual);
        }
    }
}

TEST_F(CmMessage, NetChange) {
    struct Row {
        int32_t close;
        int32_t open;
        int32_t last;
        uint8_t byte38;  // 0x00 status 3, 0x40 status 2, 0x20 status 6, 0x60 status 1
        int16_t status;
        char indicator;
        int32_t change;
    };
    const Row rows[] = {
        {10000, 0, 10003, 0x00, 3, '+', 2},  // 3 / 10000 * 10000 falls just short of 3
        {1000, 0, 1043, 0x00, 3, '+', 429},
        {10000, 0, 12000, 0x00, 3, '+', 2000},
        {10000, 0, 12000, 0x40, 2, '+', 2000},
        {10000, 0, 0, 0x00, 3, '-', 10000},
        {10000, 0, 10000, 0x00, 3, ' ', 0},
        {10000, 9500, 12345, 0x20, 6, '-', 500},  // status 6 and 1 measure the open price
        {10000, 9500, -7, 0x20, 6, '-', 500},
        {10000, 9500, 0, 0x60, 1, '-', 500},
        {10000, 9500, 10000, 0x60, 1, '-', 500},
        {10000, 0, 12000, 0x20, 6, ' ', 0},  // open 0: no change
        {10000, 0, 12000, 0x60, 1, ' ', 0},
        {10000, 10000, 1, 0x20, 6, ' ', 0},
        {0, 9500, 12000, 0x00, 3, ' ', 0},  // close 0: no change, whatever the status
        {0, 9500, 12000, 0x20, 6, ' ', 0},
        {3, 0, -5, 0x00, 3, '-', 26666},  // signed: -8 / 3 * 10000 = -26666.67
        {1, 0, 214749, 0x00, 3, '+', 2147480000},
        {1, 0, 214750, 0x00, 3, '+', INT32_MAX},  // 2,147,490,000 does not fit
        {1, 0, 2000000000, 0x00, 3, '+', INT32_MAX},
        {1, 0, -2000000000, 0x00, 3, '-', INT32_MAX},
        {-1, 0, INT32_MAX, 0x00, 3, '+', INT32_MAX},     // difference 2^31 only fits 64 bits
        {INT32_MIN, 0, INT32_MAX, 0x00, 3, '+', 19999},  // (2^32 - 1) / -2^31 * 10000 = -19999.99999
        {INT32_MAX, 0, INT32_MIN, 0x00, 3, '-', 20000},  // -(2^32 - 1) / (2^31 - 1) * 10000 = -20000.000005
        {1, 2000000000, 5, 0x20, 6, '+', INT32_MAX},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(testing::Message() << "close " << row.close << " open " << row.open << " last "
                                        << row.last << " status " << row.status);
        ResetInstrumentStore();
        const StoreEntry store{row.close, row.open, 0x01020304, 0x05060708, 0x090A0B0C};
        PutInStore(777, store);
        FeedRecord in = DistinctRecord(4, 777);
        in.lastTradedPrice = row.last;
        in.indicator[2] = row.byte38;
        Derived d;
        d.tradingStatus = row.status;
        d.store = store;
        d.netChangeIndicator = row.indicator;
        d.netChange = row.change;
        ExpectOneRecord(in, d);
    }
}

// The store is keyed by the whole token; only the low 16 bits go on the wire.
TEST_F(CmMessage, StoreLookupUsesTheWholeToken) {
    struct Row {
        int32_t token;
        uint8_t wire[2];
        int32_t close;  // of the token's own entry
    };
    const Row rows[] = {
        {40000, {0x9C, 0x40}, 4000},   {65537, {0x00, 0x01}, 8000}, {1, {0x00, 0x01}, 12000},
        {-25536, {0x9C, 0x40}, 16000}, {-1, {0xFF, 0xFF}, 20000},   {65535, {0xFF, 0xFF}, 24000},
        {-70000, {0xEE, 0x90}, 28000}, {0, {0x00, 0x00}, 32000},
    };
    for (const Row& row : rows) {
        PutInStore(row.token, {row.close, row.close + 1, row.close + 2, row.close + 3, row.close + 4});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.token);
        FeedRecord in = DistinctRecord(5, row.token);
        in.lastTradedPrice = row.close / 4 * 5;  // +25 %: '+' and 2500
        Derived d;
        d.tradingStatus = 3;
        d.store = {row.close, row.close + 1, row.close + 2, row.close + 3, row.close + 4};
        d.netChangeIndicator = '+';
        d.netChange = 2500;
        const Bytes actual = ExpectOneRecord(in, d);
        EXPECT_EQ(actual[50], row.wire[0]);
        EXPECT_EQ(actual[51], row.wire[1]);
    }
}

TEST_F(CmMessage, TokenMissingFromStore) {
    // Entries that share the low 16 bits of the looked-up tokens must not stand in for them.
    PutInStore(1, {111, 112, 113, 114, 115});
    PutInStore(-25536, {221, 222, 223, 224, 225});
    PutInStore(65535, {331, 332, 333, 334, 335});
    PutInStore(8, {0, 442, 443, 444, 445});  // present, closing price 0
    const std::vector<NEW_MKT_MAP_DATA> before = StoreSnapshot();

    struct Row {
        int32_t token;
        uint8_t byte38;
        int16_t status;
    };
    const Row rows[] = {{40000, 0x00, 3}, {65537, 0x20, 6}, {-1, 0x60, 1}, {0, 0x40, 2}, {7, 0x00, 3}};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.token);
        FeedRecord in = DistinctRecord(6, row.token);
        in.indicator[2] = row.byte38;
        Derived d;
        d.tradingStatus = row.status;
        ExpectOneRecord(in, d);
        EXPECT_EQ(gOHLMapData.count(row.token), 0u);
    }
    EXPECT_TRUE(SameEntries(before, StoreSnapshot()));

    // Closing price 0: open, high, low and ticker are copied, the change is not computed.
    FeedRecord in = DistinctRecord(6, 8);
    in.indicator[2] = 0x20;
    Derived d;
    d.tradingStatus = 6;
    d.store = {0, 442, 443, 444, 445};
    ExpectOneRecord(in, d);
    EXPECT_TRUE(SameEntries(before, StoreSnapshot()));
}

// ---- derivatives only

class FoMessage : public Message<Fo> {};

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
        ExpectOneRecord(in, GoldenFirstDerived());  // status 2, every flag 0
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
        const Bytes actual = ExpectOneRecord(in, d);
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
        const Bytes actual = ExpectOneRecord(in, d);
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
    const Bytes actual = ExpectOneRecord(in, d);
    EXPECT_EQ(actual[66], ' ');
}

}  // namespace
