// bcst-verify's work: the bridge's own conversion (the relay step's ConvertNewMktData: intake, store and
// framing) produces the expected datagrams; the comparison lines them up with a capture.
#include "tools/verify.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <string_view>
#include <unordered_map>

#include "app/relay.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "feed/store_file.h"
#include "mbp/framing.h"
#include "mbp/new_mbp.h"
#include "mbp/old_mbp.h"
#include "tools/decode.h"

namespace bcst {

namespace {

// The datagrams one input frame became. The frame's records leave two to a message, in order:
// datagram k of a frame carries records 2k and 2k + 1.
void CollectDatagrams(const OutputBatch& batch, int64_t input, const std::vector<uint8_t>& recordUnseen,
                      std::vector<ExpectedDatagram>* out) {
    for (int k = 0; k < batch.count; ++k) {
        ExpectedDatagram d;
        d.bytes.assign(batch.Datagram(k), batch.Datagram(k) + kOutputFrameSize);
        d.input = input;
        for (size_t slot = 0; slot < 2; ++slot) {
            const size_t record = 2 * static_cast<size_t>(k) + slot;
            d.unseen[slot] = record < recordUnseen.size() ? recordUnseen[record] : 0;
        }
        out->push_back(std::move(d));
    }
}

// A log entry as the bridge's log file holds it, stamped with the local time of the run.
std::string LogEntry(const char* text) {
    const time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return std::to_string(local.tm_hour) + ":" + std::to_string(local.tm_min) + ":" +
           std::to_string(local.tm_sec) + " - " + text;
}

// Which sources of store values the input has shown for each instrument so far (UnseenSource bits).
// A record of either kind is what makes its values known: an instrument that a ticker record put in
// the store still has open, high, low and close from before the capture.
class SeenSources {
  public:
    // Every instrument of the store a run starts from counts as shown by both sources.
    void StartFromStore() {
        seen_.clear();
        for (auto entry = gOHLMapData.begin(); entry != gOHLMapData.end(); ++entry) {
            seen_[entry->first] = kUnseenOpenHighLow | kUnseenTicker;
        }
    }

    // One frame as the intake takes it: for a market-by-price frame, the sources not yet shown for
    // each record it converts; an open/high/low or ticker frame shows its source for its records.
    std::vector<uint8_t> Take(const char* data, int length) {
        std::vector<uint8_t> unseen;
        const FrameClass frame = ClassifyNewMktData(data, length, decoded_);
        if (frame.verdict != FrameVerdict::kAccepted) {
            return unseen;
        }
        if (frame.type != kMessageTypeMbp) {
            Shown(frame);
            return unseen;
        }
        for (int i = 0; i < frame.records; ++i) {
            const auto token =
                LoadLittleEndian<int32_t>(decoded_ + static_cast<size_t>(i) * sizeof(NEW_MKT_MBP_DATA) +
                                          offsetof(NEW_MKT_MBP_DATA, token));
            const auto found = seen_.find(token);
            const uint8_t shown = found == seen_.end() ? 0 : found->second;
            unseen.push_back(static_cast<uint8_t>((kUnseenOpenHighLow | kUnseenTicker) & ~shown));
        }
        return unseen;
    }

  private:
    void Shown(const FrameClass& frame) {
        const bool ohl = frame.type == kMessageTypeOhl;
        if (!ohl && frame.type != kMessageTypeTicker) {
            return;
        }
        const size_t size = ohl ? sizeof(NEW_MKT_OHL_DATA) : sizeof(NEW_MKT_TICKER_DATA);
        static_assert(offsetof(NEW_MKT_OHL_DATA, token) == 0 && offsetof(NEW_MKT_TICKER_DATA, token) == 0,
                      "both records start with the token");
        for (int i = 0; i < frame.records; ++i) {
            seen_[LoadLittleEndian<int32_t>(decoded_ + static_cast<size_t>(i) * size)] |=
                ohl ? kUnseenOpenHighLow : kUnseenTicker;
        }
    }

    std::unordered_map<int32_t, uint8_t> seen_;
    char decoded_[kDecompressBufferSize];
};

}  // namespace

namespace {
std::string gStartingStore;  // the bytes of a validated store file, or empty
}  // namespace

bool SetStartingStore(const std::string& path, std::string* error) {
    StoreFileImage image;
    std::string reason;
    if (ReadStoreFileBytes(path, &gStartingStore, &reason) != 0 ||
        ValidateStoreImage(reinterpret_cast<const unsigned char*>(gStartingStore.data()),
                           gStartingStore.size(), &image, &reason) != 0) {
        gStartingStore.clear();
        *error = path + ": " + reason;
        return false;
    }
    return true;
}

void LoadStartingStore() {
    ResetInstrumentStore();
    StoreFileImage image;
    std::string reason;
    if (!gStartingStore.empty() &&
        ValidateStoreImage(reinterpret_cast<const unsigned char*>(gStartingStore.data()),
                           gStartingStore.size(), &image, &reason) == 0) {
        LoadStoreImage(image);
    }
}

bool RunThroughBridge(const std::vector<DatagramBytes>& input, const std::string& segment, VerifyMode mode,
                      BridgeRun* run, std::string* /*error*/) {
    run->datagrams.clear();
    run->logEntries.clear();
    if (mode == VerifyMode::kPassThrough) {
        // The relay loop receives a pass-through datagram straight into its output frame: cut to, or
        // zero-filled up to, exactly one frame.
        for (size_t i = 0; i < input.size(); ++i) {
            ExpectedDatagram d;
            d.bytes.assign(static_cast<size_t>(kOutputFrameSize), 0);
            const size_t length = std::min(input[i].size(), d.bytes.size());
            std::copy_n(input[i].begin(), length, d.bytes.begin());
            FramePassThroughDatagram(reinterpret_cast<char*>(d.bytes.data()), static_cast<int>(length));
            d.input = static_cast<int64_t>(i);
            run->datagrams.push_back(std::move(d));
        }
        return true;
    }

    const SegmentChoice chosen = ChooseSegment(segment.c_str());
    LoadStartingStore();
    auto seen = std::make_unique<SeenSources>();
    seen->StartFromStore();
    auto batch = std::make_unique<OutputBatch>();
    auto decoded = std::make_unique<char[]>(kDecompressBufferSize);

    // The relay loop's receive buffer: a longer datagram is cut to it, and nothing of one datagram
    // lies behind the next.
    static char buffer[kReceiveBufferSize];
    for (size_t i = 0; i < input.size(); ++i) {
        const size_t length = std::min(input[i].size(), sizeof buffer);
        memset(buffer, 0, sizeof buffer);
        std::copy_n(input[i].begin(), length, buffer);
        const std::vector<uint8_t> recordUnseen = seen->Take(buffer, static_cast<int>(length));
        const FrameClass c =
            ConvertNewMktData(buffer, static_cast<int>(length), chosen, decoded.get(), batch.get());
        CollectDatagrams(*batch, static_cast<int64_t>(i), recordUnseen, &run->datagrams);
        const char* texts[2];
        const int lines = FrameRefusalTexts(c.verdict, texts);
        for (int k = 0; k < lines; ++k) {
            run->logEntries.push_back(LogEntry(texts[k]));
        }
    }
    return true;
}

namespace {

// The values a record takes from the instrument store rather than from its feed record: they depend
// on what the bridge received before the input capture began.
template <typename Record>
void ClearStoreValues(uint8_t* record) {
    const size_t fields[][2] = {
        {offsetof(Record, netChangeIndicator), sizeof(Record::netChangeIndicator)},
        {offsetof(Record, netPriceChangeFromClosingPrice), sizeof(Record::netPriceChangeFromClosingPrice)},
        {offsetof(Record, lastTradeQuantity), sizeof(Record::lastTradeQuantity)},
        {offsetof(Record, closingPrice), sizeof(Record::closingPrice)},
        {offsetof(Record, openPrice), sizeof(Record::openPrice)},
        {offsetof(Record, highPrice), sizeof(Record::highPrice)},
        {offsetof(Record, lowPrice), sizeof(Record::lowPrice)},
    };
    for (const auto& field : fields) {
        memset(record + field[0], 0, field[1]);
    }
}

template <typename Message, typename Record>
void ClearStoreValuesOfMessage(uint8_t* message) {
    static_assert(sizeof(Message::records) == 2 * sizeof(Record), "two record slots");
    for (size_t slot = 0; slot < 2; ++slot) {
        ClearStoreValues<Record>(message + offsetof(Message, records) + slot * sizeof(Record));
    }
}

// What a datagram is lined up by: its bytes without the store's values, so that a record matches
// its place whatever the input capture knew of the instrument. Anything that is not an output
// datagram (pass-through) is its bytes.
uint64_t ContentKey(const DatagramBytes& d) {
    std::string key(d.begin(), d.end());
    if (LooksLikeOutput(d.data(), d.size())) {
        auto* message = reinterpret_cast<uint8_t*>(&key[sizeof(BCAST_FRAME_HEAD)]);
        static_assert(sizeof(BCAST_FRAME_HEAD) + sizeof(MS_BCAST_ONLY_MBP_CM) <= kOutputFrameSize &&
                          sizeof(BCAST_FRAME_HEAD) + sizeof(MS_BCAST_ONLY_MBP_FO) <= kOutputFrameSize,
                      "either message lies inside the datagram");
        switch (d[offsetof(BCAST_FRAME_HEAD, segmentCode)]) {
            case kSegmentCM:
                ClearStoreValuesOfMessage<MS_BCAST_ONLY_MBP_CM, OLD_MBP_RECORD_CM>(message);
                break;
            case kSegmentFO:
            case kSegmentCD:
            case kSegmentCO:
                ClearStoreValuesOfMessage<MS_BCAST_ONLY_MBP_FO, OLD_MBP_RECORD_FO>(message);
                break;
            default:
                break;
        }
    }
    return std::hash<std::string>()(key);
}

std::string_view View(const DatagramBytes& d) {
    return std::string_view(reinterpret_cast<const char*>(d.data()), d.size());
}

struct FieldDifference {
    int slot = -1;  // -1: the datagram as a whole
    int64_t token = 0;
    std::string field, expected, captured;
};

std::string ValueOf(const Field& f) {
    return f.isText ? "'" + f.text + "'" : std::to_string(f.number);
}

void CompareFields(const Fields& e, const Fields& c, int slot, int64_t token, const std::string& prefix,
                   std::vector<FieldDifference>* out) {
    for (size_t k = 0; k < e.size() && k < c.size(); ++k) {
        if (e[k].isText != c[k].isText || e[k].number != c[k].number || e[k].text != c[k].text) {
            out->push_back({slot, token, prefix + e[k].name, ValueOf(e[k]), ValueOf(c[k])});
        }
    }
}

// The fields that differ, by record slot; when the decoded fields agree (or either side does not
// decode), the first byte that differs.
std::vector<FieldDifference> Differences(const DatagramBytes& expected, const DatagramBytes& captured) {
    std::vector<FieldDifference> out;
    const DecodedDatagram e = DecodeDatagram(expected.data(), expected.size(), DatagramFormat::kOutput);
    const DecodedDatagram c = DecodeDatagram(captured.data(), captured.size(), DatagramFormat::kOutput);
    if (!e.malformed && !c.malformed && e.records.size() != c.records.size()) {
        out.push_back(
            {-1, 0, "numberOfRecords", std::to_string(e.records.size()), std::to_string(c.records.size())});
    } else if (!e.malformed && !c.malformed) {
        for (size_t slot = 0; slot < e.records.size(); ++slot) {
            const Record& er = e.records[slot];
            const Record& cr = c.records[slot];
            const int64_t token = er.Number("token");
            CompareFields(er.fields, cr.fields, static_cast<int>(slot), token, "", &out);
            for (size_t level = 0; level < er.levels.size() && level < cr.levels.size(); ++level) {
                CompareFields(er.levels[level], cr.levels[level], static_cast<int>(slot), token,
                              "level " + std::to_string(level + 1) + " ", &out);
            }
        }
    } else if (c.malformed) {
        out.push_back({-1, 0, "decoding", "an output datagram", c.records.front().reason});
    }
    if (out.empty()) {
        size_t at = 0;
        while (at < expected.size() && at < captured.size() && expected[at] == captured[at]) {
            ++at;
        }
        if (at < expected.size() && at < captured.size()) {
            out.push_back({-1, 0, "byte " + std::to_string(at), Printf("0x%02x", expected[at]),
                           Printf("0x%02x", captured[at])});
        } else {
            out.push_back(
                {-1, 0, "length", std::to_string(expected.size()), std::to_string(captured.size())});
        }
    }
    return out;
}

std::string Tokens(const DatagramBytes& d) {
    const DecodedDatagram decoded = DecodeDatagram(d.data(), d.size(), DatagramFormat::kOutput);
    if (decoded.malformed) {
        return "not an output datagram: " + decoded.records.front().reason;
    }
    std::string text;
    for (const Record& r : decoded.records) {
        text += (text.empty() ? "token " : ", ") + std::to_string(r.Number("token"));
    }
    return text.empty() ? "no record" : text;
}

class Reporter {
  public:
    Reporter(Comparison* result, int64_t limit) : result_(result), limit_(limit) {}
    void Line(const std::string& text) {
        if (static_cast<int64_t>(result_->report.size()) < limit_) {
            result_->report.push_back(text);
        } else {
            ++result_->unreported;
        }
    }

  private:
    Comparison* result_;
    int64_t limit_;
};

// The store source (UnseenSource) a field's value comes from, or 0 for one the feed record gives.
uint8_t SourceOf(const std::string& field) {
    if (field == "lastTradeQuantity") {
        return kUnseenTicker;
    }
    static const char* const kFromOpenHighLow[] = {"openPrice",          "highPrice",
                                                   "lowPrice",           "closingPrice",
                                                   "netChangeIndicator", "netPriceChangeFromClosingPrice"};
    for (const char* name : kFromOpenHighLow) {
        if (field == name) {
            return kUnseenOpenHighLow;
        }
    }
    return 0;
}

std::string ExpectedName(const ExpectedDatagram& e, size_t index) {
    return "expected datagram " + std::to_string(index) + " (from input datagram " + std::to_string(e.input) +
           ")";
}

}  // namespace

namespace {

// How far apart, in datagrams, a repeat still counts as a duplicate and a record of the same tokens
// as the one that should have come.
constexpr size_t kNear = 64;

// Where each content key occurs among the expected datagrams, in order, and the first of them not
// yet taken.
struct Occurrences {
    std::vector<size_t> at;
    size_t next = 0;
};

// Indices into `values` of a longest strictly increasing run, in order.
std::vector<size_t> LongestIncreasing(const std::vector<int64_t>& values) {
    std::vector<size_t> tails;  // tails[k]: the last of the best run of k + 1 found so far
    std::vector<int64_t> previous(values.size(), -1);
    for (size_t q = 0; q < values.size(); ++q) {
        const auto at = std::lower_bound(tails.begin(), tails.end(), values[q],
                                         [&](size_t t, int64_t v) { return values[t] < v; });
        if (at != tails.begin()) {
            previous[q] = static_cast<int64_t>(*(at - 1));
        }
        if (at == tails.end()) {
            tails.push_back(q);
        } else {
            *at = q;
        }
    }
    std::vector<size_t> run;
    for (int64_t q = tails.empty() ? -1 : static_cast<int64_t>(tails.back()); q >= 0; q = previous[q]) {
        run.push_back(static_cast<size_t>(q));
    }
    std::reverse(run.begin(), run.end());
    return run;
}

std::string Places(size_t count, const char* which) {
    return std::to_string(count) + (count == 1 ? " place " : " places ") + which;
}

}  // namespace

Comparison CompareDatagrams(const std::vector<ExpectedDatagram>& expected,
                            const std::vector<DatagramBytes>& captured, int64_t reportLimit) {
    Comparison result;
    Reporter report(&result, reportLimit);
    const size_t n = expected.size(), m = captured.size();
    std::vector<uint64_t> capturedKey(m);
    std::unordered_map<uint64_t, Occurrences> where;
    for (size_t i = 0; i < n; ++i) {
        where[ContentKey(expected[i].bytes)].at.push_back(i);
    }
    for (size_t j = 0; j < m; ++j) {
        capturedKey[j] = ContentKey(captured[j]);
    }

    // The first captured datagram the input accounts for, and the expected one it lines up with.
    // When only one side holds datagrams before that pair, that side's capture began first: its
    // datagrams before the pair are "before the capture", not extra or missing. When both do, the
    // captures overlap there and those datagrams are compared like any others.
    size_t j0 = 0;
    while (j0 < m && where.count(capturedKey[j0]) == 0) {
        ++j0;
    }
    size_t i0 = j0 < m ? where[capturedKey[j0]].at.front() : 0;
    if (j0 == m || (j0 > 0 && i0 > 0)) {
        j0 = 0;
        i0 = 0;
    }
    for (auto& entry : where) {
        Occurrences& o = entry.second;
        o.next = static_cast<size_t>(std::lower_bound(o.at.begin(), o.at.end(), i0) - o.at.begin());
    }

    // Each captured datagram takes the first expected one of its content not yet taken, at any
    // distance: what lies between was lost, or comes later out of order. A byte-for-byte repeat of a
    // datagram just placed, whose content is not expected again nearby, is a duplicate.
    std::vector<int64_t> partner(m, -1), duplicateOf(m, -1);
    std::vector<char> taken(n, 0);
    std::unordered_map<std::string_view, size_t> lastPlaced;
    size_t frontier = i0;  // the first expected datagram not yet taken
    for (size_t j = j0; j < m; ++j) {
        int64_t candidate = -1;
        const auto found = where.find(capturedKey[j]);
        if (found != where.end()) {
            Occurrences& o = found->second;
            while (o.next < o.at.size() && taken[o.at[o.next]]) {
                ++o.next;
            }
            candidate = o.next < o.at.size() ? static_cast<int64_t>(o.at[o.next]) : -1;
        }
        const auto earlier = lastPlaced.find(View(captured[j]));
        if (earlier != lastPlaced.end() && j - earlier->second <= kNear &&
            (candidate < 0 || static_cast<size_t>(candidate) > frontier + kNear)) {
            duplicateOf[j] = static_cast<int64_t>(earlier->second);
            continue;
        }
        if (candidate < 0) {
            continue;
        }
        partner[j] = candidate;
        taken[static_cast<size_t>(candidate)] = 1;
        lastPlaced[View(captured[j])] = j;
        while (frontier < n && taken[frontier]) {
            ++frontier;
        }
    }

    // The datagrams that arrived in order are the longest run of placed ones whose expected
    // positions rise; every other placed one was reordered.
    std::vector<size_t> placed;
    std::vector<int64_t> placedAt;
    for (size_t j = j0; j < m; ++j) {
        if (partner[j] >= 0) {
            placed.push_back(j);
            placedAt.push_back(partner[j]);
        }
    }
    std::vector<size_t> inOrderJ, inOrderI;
    for (const size_t q : LongestIncreasing(placedAt)) {
        inOrderJ.push_back(placed[q]);
        inOrderI.push_back(static_cast<size_t>(placedAt[q]));
    }

    auto compare = [&](size_t i, size_t j) {
        if (expected[i].bytes == captured[j]) {
            ++result.matched;
            result.pairs.push_back({static_cast<int64_t>(i), static_cast<int64_t>(j)});
            return;
        }
        const std::vector<FieldDifference> fields = Differences(expected[i].bytes, captured[j]);
        const bool unseenOnly = std::all_of(fields.begin(), fields.end(), [&](const FieldDifference& f) {
            return f.slot >= 0 && (SourceOf(f.field) & expected[i].unseen[f.slot]) != 0;
        });
        ++(unseenOnly ? result.unseen : result.differing);
        const std::string where = std::string(unseenOnly ? "not yet seen: " : "differs: ") +
                                  "captured datagram " + std::to_string(j) + " against " +
                                  ExpectedName(expected[i], i);
        for (const FieldDifference& f : fields) {
            std::string line = where + ": ";
            if (f.slot >= 0) {
                line += "slot " + std::to_string(f.slot) + " (token " + std::to_string(f.token) + ") ";
            }
            line += f.field + " expected " + f.expected + ", captured " + f.captured;
            const uint8_t source = f.slot >= 0 ? SourceOf(f.field) & expected[i].unseen[f.slot] : 0;
            if (source != 0) {
                line += source == kUnseenTicker ? " (no ticker record for it earlier in the input)"
                                                : " (no open/high/low record for it earlier in the input)";
            }
            report.Line(line);
        }
    };
    auto missing = [&](size_t i) {
        ++result.missing;
        std::vector<Gap>& gaps = result.gaps;
        if (gaps.empty() || gaps.back().firstExpected + gaps.back().count != static_cast<int64_t>(i)) {
            gaps.push_back({static_cast<int64_t>(i), 0, expected[i].input, expected[i].input});
        }
        ++gaps.back().count;
        gaps.back().lastInput = expected[i].input;
        report.Line("missing: " + ExpectedName(expected[i], i) + ", " + Tokens(expected[i].bytes));
    };
    std::vector<std::string> expectedTokens(n), capturedTokens(m);
    auto tokensOf = [&](std::vector<std::string>& cache, size_t k,
                        const DatagramBytes& d) -> const std::string& {
        if (cache[k].empty()) {
            cache[k] = Tokens(d);
        }
        return cache[k];
    };

    if (j0 > 0) {
        result.capturedBefore = static_cast<int64_t>(j0);
        report.Line("before the capture: captured datagrams 0-" + std::to_string(j0 - 1) + " (" +
                    std::to_string(j0) + "), from input the input capture does not hold");
    }
    if (i0 > 0) {
        result.expectedBefore = static_cast<int64_t>(i0);
        report.Line("before the capture: expected datagrams 0-" + std::to_string(i0 - 1) + " (" +
                    std::to_string(i0) + ", from input datagrams " + std::to_string(expected[0].input) + "-" +
                    std::to_string(expected[i0 - 1].input) + "), sent before the output capture began");
    }
    // Between two datagrams that arrived in order: the ones reordered, duplicated or added, those of
    // the same tokens as an expected one left there (compared with it: a feed field differs), and
    // the expected ones left over, lost.
    const size_t runs = inOrderJ.size();
    for (size_t t = 0; t <= runs; ++t) {
        const size_t lowJ = t == 0 ? j0 : inOrderJ[t - 1] + 1, highJ = t < runs ? inOrderJ[t] : m;
        const size_t lowI = t == 0 ? i0 : inOrderI[t - 1] + 1, highI = t < runs ? inOrderI[t] : n;
        std::vector<size_t> loose;
        for (size_t i = lowI; i < highI; ++i) {
            if (!taken[i]) {
                loose.push_back(i);
            }
        }
        size_t next = 0;  // loose ones before this were paired or passed over
        for (size_t j = lowJ; j < highJ; ++j) {
            if (duplicateOf[j] >= 0) {
                ++result.duplicates;
                report.Line("duplicate: captured datagram " + std::to_string(j) +
                            ", duplicate of captured datagram " + std::to_string(duplicateOf[j]) + ", " +
                            tokensOf(capturedTokens, j, captured[j]));
                continue;
            }
            if (partner[j] >= 0) {
                const auto i = static_cast<size_t>(partner[j]);
                // How many datagrams that arrived in order it was captured after, though expected
                // before them (late), or before, though expected after them (early).
                const auto before = static_cast<size_t>(
                    std::lower_bound(inOrderJ.begin(), inOrderJ.end(), j) - inOrderJ.begin());
                const auto below = static_cast<size_t>(std::lower_bound(inOrderI.begin(), inOrderI.end(), i) -
                                                       inOrderI.begin());
                ++result.reordered;
                report.Line(
                    "reordered: captured datagram " + std::to_string(j) + " is " +
                    ExpectedName(expected[i], i) + ", " +
                    (before > below ? Places(before - below, "late") : Places(below - before, "early")));
                compare(i, j);
                continue;
            }
            size_t k = next;
            while (k < loose.size() && k < next + kNear &&
                   (taken[loose[k]] || tokensOf(expectedTokens, loose[k], expected[loose[k]].bytes) !=
                                           tokensOf(capturedTokens, j, captured[j]))) {
                ++k;
            }
            if (k < loose.size() && k < next + kNear) {
                taken[loose[k]] = 1;
                compare(loose[k], j);
                next = k + 1;
                continue;
            }
            ++result.extra;
            report.Line("extra: captured datagram " + std::to_string(j) + ", " +
                        tokensOf(capturedTokens, j, captured[j]));
        }
        for (const size_t i : loose) {
            if (!taken[i]) {
                missing(i);
            }
        }
        if (t < runs) {
            compare(inOrderI[t], inOrderJ[t]);
        }
    }
    return result;
}

LatencySummary SummarizeLatency(std::vector<LatencySample> samples) {
    LatencySummary s;
    s.count = static_cast<int64_t>(samples.size());
    if (samples.empty()) {
        return s;
    }
    std::sort(samples.begin(), samples.end(), [](const LatencySample& a, const LatencySample& b) {
        return a.micros != b.micros ? a.micros < b.micros : a.captured < b.captured;
    });
    // Nearest rank, in tenths of a percent so that p99.9 stays exact: rank ceil(tenths * N / 1000).
    const auto at = [&](int64_t tenths) { return samples[(tenths * s.count + 999) / 1000 - 1].micros; };
    s.p50 = at(500);
    s.p90 = at(900);
    s.p99 = at(990);
    s.p999 = at(999);
    s.max = samples.back().micros;
    s.negative =
        std::count_if(samples.begin(), samples.end(), [](const LatencySample& l) { return l.micros < 0; });
    std::stable_sort(samples.begin(), samples.end(),
                     [](const LatencySample& a, const LatencySample& b) { return a.micros > b.micros; });
    s.worst.assign(samples.begin(),
                   samples.begin() + static_cast<long>(std::min(kLatencyWorst, samples.size())));
    return s;
}

}  // namespace bcst
