// Every rule of the frame intake as rows of one table: a datagram and what the intake does with it,
// written out from the rules (not from the classifier). The intake's tests and bcst-dump's tests both
// walk it. Also the hand-written LZ4 blocks the rows need.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "feed/frame.h"
#include "support/expected_messages.h"
#include "support/test_support.h"

namespace bcsttest {

// LZ4 block writing by hand, for payloads of an exact compressed or decoded size.
// One sequence: `literals`, then `matchLength` (at least 4) bytes copied from `offset` bytes back.
void AppendSequence(Bytes& block, const Bytes& literals, uint16_t offset, size_t matchLength);
// The closing sequence of a block: literals only.
void AppendLastLiterals(Bytes& block, const Bytes& literals);
Bytes LiteralBlock(const Bytes& decoded);
Bytes Slice(const Bytes& b, size_t from, size_t to);

// Market-by-price records that differ in token (from `firstToken` on) and last traded price only, so
// that even 43 of them compress into a frame that fits the receive buffer.
std::vector<FeedRecord> DistinctRecords(int count, int32_t firstToken = 1000);
// Decoded bytes of `count` such records cut or padded (with 0xAB) to `size`.
Bytes RecordBytes(int count, size_t size);

// 18 records (2,520 decoded bytes) packed into exactly 2,494 compressed bytes, the longest payload that
// fits the receive buffer behind the header.
std::vector<FeedRecord> LongestFrameRecords();
Bytes LongestPayload();

struct FrameRule {
    std::string what;
    Bytes datagram;
    FrameVerdict verdict;
    int16_t type = 0;           // accepted: the message type
    int records = 0;            // accepted: the records applied
    int zeroFilledRecords = 0;  // accepted: of those, the ones reaching past the decoded bytes
};

std::vector<FrameRule> FrameRuleTable();

}  // namespace bcsttest
