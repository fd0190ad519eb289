// bcst-verify's work: the bridge's own intake (ProcessNewMktData), store and framing produce the
// expected datagrams through the send seam; the comparison lines them up with a capture.
#include "tools/verify.h"

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <unordered_map>

#include "app/log.h"
#include "config/config.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "feed/store_file.h"
#include "mbp/framing.h"
#include "mbp/new_mbp.h"
#include "net/multicast.h"
#include "tools/decode.h"

namespace bcst {

namespace {

// What the send seam collects during a run. The seam is a plain function pointer, so the run in
// progress is reached through this one pointer.
struct Collector {
    std::vector<ExpectedDatagram>* out = nullptr;
    int64_t input = -1;
    std::vector<bool> recordUnseen;  // per record of the frame being converted
    size_t sentForFrame = 0;
};
Collector* gCollector = nullptr;

int CollectDatagram(const char* data, int length) {
    Collector& c = *gCollector;
    ExpectedDatagram d;
    d.bytes.assign(data, data + length);
    d.input = c.input;
    // The frame's records leave two to a message, in order: datagram k of a frame carries records 2k
    // and 2k + 1.
    for (size_t slot = 0; slot < 2; ++slot) {
        const size_t record = 2 * c.sentForFrame + slot;
        d.unseen[slot] = record < c.recordUnseen.size() && c.recordUnseen[record];
    }
    ++c.sentForFrame;
    c.out->push_back(std::move(d));
    return length;
}

// Whether the store knows each record's instrument as the frame arrives, asked of the store itself,
// for the records of a frame the intake will convert.
std::vector<bool> UnseenInstruments(const char* data, int length) {
    static char decoded[kDecompressBufferSize];
    std::vector<bool> unseen;
    const FrameClass frame = ClassifyNewMktData(data, length, decoded);
    if (frame.verdict != FrameVerdict::kAccepted || frame.type != kMessageTypeMbp) {
        return unseen;
    }
    for (int i = 0; i < frame.records; ++i) {
        NEW_MKT_MBP_DATA record;
        memcpy(&record, decoded + static_cast<size_t>(i) * sizeof record, sizeof record);
        unseen.push_back(LookUpInstrument(record.token) == nullptr);
    }
    return unseen;
}

// The bridge logs into its working directory; a run does so in a scratch directory of its own, and
// what it wrote is read back as entries.
std::vector<std::string> CollectLogEntries(const std::filesystem::path& dir) {
    std::vector<std::string> entries;
    std::error_code ignored;
    for (const auto& file : std::filesystem::directory_iterator(dir, ignored)) {
        std::ifstream in(file.path());
        std::string line;
        while (std::getline(in, line)) {
            if (!line.empty()) {
                entries.push_back(line);
            }
        }
    }
    return entries;
}

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
                      BridgeRun* run, std::string* error) {
    run->datagrams.clear();
    run->logEntries.clear();
    if (mode == VerifyMode::kPassThrough) {
        // The relay loop receives a pass-through datagram straight into its output frame: cut to, or
        // zero-filled up to, exactly one frame.
        for (size_t i = 0; i < input.size(); ++i) {
            ExpectedDatagram d;
            d.bytes.assign(static_cast<size_t>(kOutputFrameSize), 0);
            std::copy_n(input[i].begin(), std::min(input[i].size(), d.bytes.size()), d.bytes.begin());
            d.input = static_cast<int64_t>(i);
            run->datagrams.push_back(std::move(d));
        }
        return true;
    }

    char scratch[] = "/tmp/bcst-verify.XXXXXX";
    if (mkdtemp(scratch) == nullptr) {
        *error = std::string("scratch directory: ") + strerror(errno);
        return false;
    }
    const std::filesystem::path previous = std::filesystem::current_path();
    if (chdir(scratch) != 0) {
        *error = std::string("scratch directory: ") + strerror(errno);
        rmdir(scratch);
        return false;
    }

    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    snprintf(gsBcastParam.MARKET_SEGMENT, sizeof gsBcastParam.MARKET_SEGMENT, "%s", segment.c_str());
    gsBcastParam.NEW_MKT_DATA_FLAG = 1;
    LoadStartingStore();
    Collector collector;
    collector.out = &run->datagrams;
    gCollector = &collector;
    gSendCapture = CollectDatagram;

    // The relay loop's receive buffer: a longer datagram is cut to it, and nothing of one datagram
    // lies behind the next.
    static char buffer[kReceiveBufferSize];
    for (size_t i = 0; i < input.size(); ++i) {
        const size_t length = std::min(input[i].size(), sizeof buffer);
        memset(buffer, 0, sizeof buffer);
        std::copy_n(input[i].begin(), length, buffer);
        collector.input = static_cast<int64_t>(i);
        collector.recordUnseen = UnseenInstruments(buffer, static_cast<int>(length));
        collector.sentForFrame = 0;
        ProcessNewMktData(buffer, static_cast<int>(length));
    }

    gSendCapture = nullptr;
    gCollector = nullptr;
    run->logEntries = CollectLogEntries(scratch);
    std::error_code ignored;
    std::filesystem::current_path(previous, ignored);
    std::filesystem::remove_all(scratch, ignored);
    return true;
}

namespace {

// Where each datagram's bytes occur in a sequence, in order, so that the next occurrence after a
// position is found at any distance: a capture that began late or ended early lines up too.
class Occurrences {
  public:
    template <typename Get>
    Occurrences(size_t count, Get bytesOf) {
        for (size_t i = 0; i < count; ++i) {
            const DatagramBytes& b = bytesOf(i);
            at_[std::string_view(reinterpret_cast<const char*>(b.data()), b.size())].push_back(i);
        }
    }
    // The first position at or after `from` holding `bytes`, or 0 when there is none.
    size_t NextFrom(const DatagramBytes& bytes, size_t from) const {
        const auto found =
            at_.find(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
        if (found == at_.end()) {
            return 0;
        }
        const auto next = std::lower_bound(found->second.begin(), found->second.end(), from);
        return next == found->second.end() ? 0 : *next;
    }

  private:
    std::unordered_map<std::string_view, std::vector<size_t>> at_;
};

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

std::string ExpectedName(const ExpectedDatagram& e, size_t index) {
    return "expected datagram " + std::to_string(index) + " (from input datagram " + std::to_string(e.input) +
           ")";
}

}  // namespace

Comparison CompareDatagrams(const std::vector<ExpectedDatagram>& expected,
                            const std::vector<DatagramBytes>& captured, int64_t reportLimit) {
    Comparison result;
    Reporter report(&result, reportLimit);
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
    auto extra = [&](size_t j) {
        ++result.extra;
        report.Line("extra: captured datagram " + std::to_string(j) + ", " + Tokens(captured[j]));
    };
    const Occurrences inExpected(expected.size(),
                                 [&](size_t k) -> const DatagramBytes& { return expected[k].bytes; });
    const Occurrences inCaptured(captured.size(),
                                 [&](size_t k) -> const DatagramBytes& { return captured[k]; });
    size_t i = 0, j = 0;
    while (i < expected.size() || j < captured.size()) {
        if (i == expected.size()) {
            extra(j++);
            continue;
        }
        if (j == captured.size()) {
            missing(i++);
            continue;
        }
        if (expected[i].bytes == captured[j]) {
            ++result.matched;
            ++i;
            ++j;
            continue;
        }
        // The captured datagram further on among the expected ones: those before it were lost. The
        // expected one further on among the captured: those before it were added. The nearer wins.
        const size_t laterExpected = inExpected.NextFrom(captured[j], i + 1);
        const size_t laterCaptured = inCaptured.NextFrom(expected[i].bytes, j + 1);
        const size_t lost = laterExpected == 0 ? 0 : laterExpected - i;
        const size_t added = laterCaptured == 0 ? 0 : laterCaptured - j;
        if (lost != 0 && (added == 0 || lost <= added)) {
            for (size_t k = 0; k < lost; ++k) {
                missing(i++);
            }
            continue;
        }
        if (added != 0) {
            for (size_t k = 0; k < added; ++k) {
                extra(j++);
            }
            continue;
        }
        const std::vector<FieldDifference> fields = Differences(expected[i].bytes, captured[j]);
        const bool unseenOnly = std::all_of(fields.begin(), fields.end(), [&](const FieldDifference& f) {
            return f.slot >= 0 && expected[i].unseen[f.slot];
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
            if (f.slot >= 0 && expected[i].unseen[f.slot]) {
                line += " (no open/high/low or ticker record for it earlier in the input)";
            }
            report.Line(line);
        }
        ++i;
        ++j;
    }
    return result;
}

}  // namespace bcst
