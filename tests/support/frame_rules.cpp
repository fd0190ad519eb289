// The frame intake's rules as one table, and the hand-written LZ4 blocks its rows need.
#include "support/frame_rules.h"

#include <algorithm>

namespace bcsttest {

namespace {

constexpr int16_t kMbp = 10500;
constexpr int16_t kTicker = 10600;
constexpr int16_t kOhl = 10750;

void PutLz4Length(Bytes& block, size_t extra) {
    while (extra >= 255) {
        block.push_back(255);
        extra -= 255;
    }
    block.push_back(static_cast<uint8_t>(extra));
}

std::string Name(const char* what, int16_t type, int value) {
    return std::string(what) + ", type " + std::to_string(type) + ", " + std::to_string(value);
}

// `count` ticker or open/high/low records with distinct tokens from 7000 on.
Bytes StoreRecords(int16_t type, int count) {
    Bytes bytes;
    for (int i = 0; i < count; ++i) {
        const Bytes r = type == kTicker ? EncodeTickerRecord(7000 + i, 70 + i)
                                        : EncodeOhlRecord(7000 + i, 1, 2, 3, 4, 5, 6 + i);
        bytes.insert(bytes.end(), r.begin(), r.end());
    }
    return bytes;
}

}  // namespace

void AppendSequence(Bytes& block, const Bytes& literals, uint16_t offset, size_t matchLength) {
    const size_t literalCount = literals.size();
    const size_t matchExtra = matchLength - 4;
    block.push_back(
        static_cast<uint8_t>(std::min<size_t>(literalCount, 15) << 4 | std::min<size_t>(matchExtra, 15)));
    if (literalCount >= 15) {
        PutLz4Length(block, literalCount - 15);
    }
    block.insert(block.end(), literals.begin(), literals.end());
    block.push_back(static_cast<uint8_t>(offset));
    block.push_back(static_cast<uint8_t>(offset >> 8));
    if (matchExtra >= 15) {
        PutLz4Length(block, matchExtra - 15);
    }
}

void AppendLastLiterals(Bytes& block, const Bytes& literals) {
    block.push_back(static_cast<uint8_t>(std::min<size_t>(literals.size(), 15) << 4));
    if (literals.size() >= 15) {
        PutLz4Length(block, literals.size() - 15);
    }
    block.insert(block.end(), literals.begin(), literals.end());
}

Bytes LiteralBlock(const Bytes& decoded) {
    Bytes block;
    AppendLastLiterals(block, decoded);
    return block;
}

Bytes Slice(const Bytes& b, size_t from, size_t to) {
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

std::vector<FeedRecord> DistinctRecords(int count, int32_t firstToken) {
    std::vector<FeedRecord> records;
    for (int i = 0; i < count; ++i) {
        records.push_back(SampleRecord(firstToken + i, 0));
        records.back().lastTradedPrice += i;
    }
    return records;
}

Bytes RecordBytes(int count, size_t size) {
    Bytes bytes = EncodeFeedRecords(DistinctRecords(std::max(count, 1)));
    bytes.resize(size, 0xAB);
    return bytes;
}

// The last two records share their depth levels, so one match of 41 bytes at distance 140 rebuilds
// the records exactly.
std::vector<FeedRecord> LongestFrameRecords() {
    std::vector<FeedRecord> records;
    for (int i = 0; i < 17; ++i) {
        records.push_back(SampleRecord(1000 + i, i));
    }
    records.push_back(SampleRecord(1017, 16));
    return records;
}

Bytes LongestPayload() {
    const Bytes decoded = EncodeFeedRecords(LongestFrameRecords());
    Bytes block;
    AppendSequence(block, Slice(decoded, 0, 2474), 140, 41);
    AppendLastLiterals(block, Slice(decoded, 2515, 2520));
    return block;
}

std::vector<FrameRule> FrameRuleTable() {
    std::vector<FrameRule> rows;
    auto refused = [&rows](std::string what, Bytes datagram, FrameVerdict verdict) {
        rows.push_back(FrameRule{std::move(what), std::move(datagram), verdict});
    };
    auto accepted = [&rows](std::string what, Bytes datagram, int16_t type, int records, int zeroFilled) {
        rows.push_back(FrameRule{std::move(what), std::move(datagram), FrameVerdict::kAccepted, type, records,
                                 zeroFilled});
    };
    const Bytes garbage(300, 0xFF);

    // A record count of 0 comes first, then the type: whatever the payload or its length.
    const Bytes twoRecords = CompressBlock(RecordBytes(2, 280));
    auto whateverThePayload = [&](const char* what, int16_t type, int16_t count, FrameVerdict verdict) {
        const std::string name = Name(what, type, count);
        refused(name + ", valid payload", MakeFrame(type, count, twoRecords), verdict);
        refused(name + ", payload that does not decode", MakeFrame(type, count, garbage), verdict);
        refused(name + ", payload decoding to nothing", MakeFrame(type, count, Bytes{0x00}), verdict);
        refused(name + ", length -1", MakeFrameWithLength(type, -1, count, garbage), verdict);
        refused(name + ", length 3000", MakeFrameWithLength(type, 3000, count, garbage), verdict);
    };
    for (int16_t type : {kMbp, kTicker, kOhl, int16_t{0}, int16_t{4242}}) {
        whateverThePayload("count 0", type, 0, FrameVerdict::kRefusedZeroCount);
    }
    refused("empty datagram", Bytes{}, FrameVerdict::kRefusedZeroCount);
    // 1065 is 10500 with its bytes exchanged (0x29 0x04 on the wire).
    for (int16_t type : {0, 1, 1065, 10499, 10501, 10599, 10601, 10749, 10751, -10500, 32767, -32768}) {
        whateverThePayload("unknown type", type, 1, FrameVerdict::kRefusedUnknownType);
    }

    // Then the compressed length: inside the receive buffer and inside the datagram. The payload that
    // is accepted at its true length 2,494 is refused once its length reaches past 2,500 bytes.
    const Bytes longest = LongestPayload();
    for (int16_t type : {kMbp, kTicker, kOhl}) {
        for (int16_t length : {0, -1, -2, -32768, 2495, 2496, 2497, 2498, 2499, 2500, 2501, 6000, 32767}) {
            refused(Name("compressed length", type, length), MakeFrameWithLength(type, length, 18, longest),
                    FrameVerdict::kRefusedBadLength);
        }
        const Bytes frame = MakeFrame(type, 2, twoRecords);
        refused(Name("payload cut by one byte", type, 2), Slice(frame, 0, frame.size() - 1),
                FrameVerdict::kRefusedBadLength);
        refused(Name("cut after the header", type, 2), Slice(frame, 0, 6), FrameVerdict::kRefusedBadLength);
    }
    for (size_t cut = 1; cut < 6; ++cut) {
        refused(Name("cut inside the header", kMbp, static_cast<int>(cut)),
                Slice(MakeFrame(kMbp, 2, twoRecords), 0, cut), FrameVerdict::kRefusedBadLength);
    }
    accepted("payload filling the receive buffer", MakeFrame(kMbp, 18, longest), kMbp, 18, 0);
    accepted("ticker payload filling the receive buffer", MakeFrame(kTicker, 1, longest), kTicker, 1, 0);
    accepted("open/high/low payload filling the receive buffer", MakeFrame(kOhl, 1, longest), kOhl, 1, 0);

    // Then the decoder: 1 to 6,000 bytes out of a valid block.
    Bytes badOffset;  // a match reaching before the start of the output
    AppendSequence(badOffset, Bytes{'A'}, 5, 4);
    AppendLastLiterals(badOffset, Bytes{1, 2, 3, 4, 5});
    struct Undecodable {
        const char* what;
        Bytes payload;
        int16_t count;
    };
    const std::vector<Undecodable> undecodable = {
        {"literal length beyond the input", Bytes{0xF0, 0xFF}, 1},
        {"match before the output", badOffset, 1},
        {"all ones", Bytes(64, 0xFF), 1},
        {"all zeros", Bytes(64, 0x00), 1},
        {"the one-byte block 0x00 decodes to nothing", Bytes{0x00}, 1},
        {"6,001 decoded bytes", CompressBlock(Bytes(6001, 'x')), 1},
        {"43 market-by-price records (6,020 bytes)", CompressBlock(EncodeFeedRecords(DistinctRecords(43))),
         43},
    };
    for (int16_t type : {kMbp, kTicker, kOhl}) {
        for (const Undecodable& u : undecodable) {
            refused(Name(u.what, type, u.count), MakeFrame(type, u.count, u.payload),
                    FrameVerdict::kRefusedDecodeFailure);
        }
        for (int16_t count : {-1, -2, -32768}) {  // decoded all the same
            refused(Name("negative count, payload that does not decode", type, count),
                    MakeFrame(type, count, Bytes(16, 0xFF)), FrameVerdict::kRefusedDecodeFailure);
            refused(Name("negative count, length 0", type, count),
                    MakeFrameWithLength(type, 0, count, twoRecords), FrameVerdict::kRefusedBadLength);
        }
    }

    // Market by price: 140 x count up to 141 x count - 1 decoded bytes; a negative count never passes.
    struct Size {
        int16_t count;
        size_t decoded;
        bool accepted;
    };
    const std::vector<Size> sizes = {
        {3, 420, true},    {3, 421, true},   {3, 422, true},   {3, 419, false},  {3, 423, false},
        {2, 280, true},    {2, 281, true},   {2, 282, false},  {2, 279, false},  {1, 140, true},
        {1, 139, false},   {1, 141, false},  {42, 5880, true}, {42, 5921, true}, {42, 5922, false},
        {41, 5880, false}, {-2, 280, false}, {-2, 282, false}, {-1, 140, false}, {-32768, 280, false},
    };
    for (const Size& s : sizes) {
        const std::string what = Name("market by price, decoded bytes", s.count, static_cast<int>(s.decoded));
        const Bytes frame = MakeFrame(kMbp, s.count, CompressBlock(RecordBytes(s.count, s.decoded)));
        if (s.accepted) {
            accepted(what, frame, kMbp, s.count, 0);
        } else {
            refused(what, frame, FrameVerdict::kRefusedWrongRecordSize);
        }
    }

    // Open/high/low and ticker: `count` records whatever was decoded, zeros past the decoded bytes, cut
    // to the 214 or 375 that the decompression buffer holds; none for a negative count.
    for (int16_t type : {kTicker, kOhl}) {
        const int size = type == kTicker ? 16 : 28;
        const int fit = type == kTicker ? 375 : 214;
        const Bytes three = CompressBlock(StoreRecords(type, 3));
        accepted(Name("store records as decoded", type, 3), MakeFrame(type, 3, three), type, 3, 0);
        accepted(Name("fewer records than decoded", type, 1), MakeFrame(type, 1, three), type, 1, 0);
        accepted(Name("more records than decoded", type, 5), MakeFrame(type, 5, three), type, 5, 2);
        Bytes partial = StoreRecords(type, 2);
        partial.resize(static_cast<size_t>(size + 4));  // the second record only begun
        accepted(Name("a record partly decoded", type, 2), MakeFrame(type, 2, CompressBlock(partial)), type,
                 2, 1);
        accepted(Name("count past the buffer", type, fit + 1),
                 MakeFrame(type, static_cast<int16_t>(fit + 1), three), type, fit, fit - 3);
        accepted(Name("largest count", type, 32767), MakeFrame(type, 32767, three), type, fit, fit - 3);
        Bytes whole = StoreRecords(type, 3);
        whole.resize(static_cast<size_t>(fit * size));  // decoded to the buffer's last record
        accepted(Name("a whole buffer of records", type, fit),
                 MakeFrame(type, static_cast<int16_t>(fit), CompressBlock(whole)), type, fit, 0);
        for (int16_t count : {-1, -2, -32768}) {
            accepted(Name("negative count", type, count), MakeFrame(type, count, three), type, 0, 0);
        }
    }
    return rows;
}

}  // namespace bcsttest
