// The counters file read and checked against its layout (bcst-stat, monitoring, tests).
#include "app/counters_reader.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <vector>

#include "app/mapped_file.h"

namespace {

int Refuse(std::string* error, const char** reason, const char* word, const std::string& text) {
    *error = text;
    if (reason != nullptr) {
        *reason = word;
    }
    return 1;
}

// A Prometheus or JSON name in snake case: a lower-case letter or underscore, then lower-case letters,
// digits and underscores.
bool IsName(const char* text) {
    if (!islower(static_cast<unsigned char>(text[0])) && text[0] != '_') {
        return false;
    }
    for (const char* c = text; *c != '\0'; ++c) {
        if (!islower(static_cast<unsigned char>(*c)) && !isdigit(static_cast<unsigned char>(*c)) &&
            *c != '_') {
            return false;
        }
    }
    return true;
}

// Printable ASCII without quotes or backslashes: safe in a HELP line, a label value and JSON.
bool IsPlainText(const char* text) {
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < 0x20 || *c > 0x7E || *c == '"' || *c == '\\') {
            return false;
        }
    }
    return true;
}

// "" or name="value" pairs separated by commas, as a family's labels are written.
bool IsLabelPairs(const char* text) {
    std::string rest = text;
    while (!rest.empty()) {
        const size_t equals = rest.find("=\"");
        const size_t close = equals == std::string::npos ? std::string::npos : rest.find('"', equals + 2);
        if (close == std::string::npos || !IsName(rest.substr(0, equals).c_str()) ||
            !IsPlainText(rest.substr(equals + 2, close - equals - 2).c_str())) {
            return false;
        }
        rest.erase(0, close + 1);
        if (!rest.empty() && (rest[0] != ',' || rest.size() == 1)) {
            return false;
        }
        rest.erase(0, rest.empty() ? 0 : 1);
    }
    return true;
}

// A metadata record that the tools can publish as it is: a counter's key is a name, its family is one
// (named as its type says) or empty, its labels are pairs, its label plain text.
bool IsPublishable(const BCST_COUNTER_METADATA& m) {
    // A running total's family ends in "_total", and only a running total's does.
    const size_t length = strlen(m.family);
    const bool totalName = length > 6 && strcmp(m.family + length - 6, "_total") == 0;
    return IsName(m.key) &&
           (length == 0 || (IsName(m.family) && totalName == (m.typeId == kCounterTypeTotal))) &&
           IsLabelPairs(m.labels) && IsPlainText(m.label);
}

// Whether `count` items of `size` bytes from `offset` lie within a file of `fileSize` bytes.
bool Within(uint64_t offset, uint64_t count, uint64_t size, uint64_t fileSize) {
    return offset <= fileSize && count * size <= fileSize - offset;
}

}  // namespace

int ReadCountersImage(const unsigned char* image, size_t size, CountersSnapshot* out, std::string* error,
                      const char** reason) {
    if (size < sizeof(BCST_COUNTERS_HEADER)) {
        return Refuse(error, reason, "truncated",
                      "too short for a counters file (" + std::to_string(size) + " bytes)");
    }
    const auto* header = reinterpret_cast<const BCST_COUNTERS_HEADER*>(image);
    if (__atomic_load_n(&header->magic, __ATOMIC_ACQUIRE) != kCountersMagic) {
        return Refuse(error, reason, "foreign", "not a bcstbridge counters file (bad magic)");
    }
    memcpy(&out->header, header, sizeof out->header);
    const BCST_COUNTERS_HEADER& h = out->header;
    if (h.layoutVersion != kCountersLayoutVersion) {
        return Refuse(error, reason, "version",
                      "counters layout version " + std::to_string(h.layoutVersion) +
                          ", this reader knows version " + std::to_string(kCountersLayoutVersion));
    }
    if (h.fileSize != size) {
        return Refuse(
            error, reason, "truncated",
            "file is " + std::to_string(size) + " bytes, its header says " + std::to_string(h.fileSize));
    }
    // Every part where the header says, inside the file, and in the shapes this reader knows.
    const bool shaped = h.headerSize == sizeof(BCST_COUNTERS_HEADER) && h.counterCount <= kCounterSlots &&
                        h.valueStride >= sizeof(int64_t) && h.valueStride % sizeof(int64_t) == 0 &&
                        h.valuesOffset % sizeof(int64_t) == 0 &&
                        Within(h.valuesOffset, h.counterCount, h.valueStride, size) &&
                        h.metadataSize >= sizeof(BCST_COUNTER_METADATA) &&
                        Within(h.metadataOffset, h.counterCount, h.metadataSize, size) &&
                        (h.histogramBuckets == 0 ||
                         (h.histogramBuckets <= static_cast<uint32_t>(kServiceBuckets) &&
                          h.histogramOffset % sizeof(int64_t) == 0 && h.boundsOffset % sizeof(int64_t) == 0 &&
                          Within(h.histogramOffset, h.histogramBuckets + 2, sizeof(int64_t), size) &&
                          Within(h.boundsOffset, h.histogramBuckets - 1, sizeof(int64_t), size))) &&
                        (h.wireHistogramOffset == 0 ||
                         (h.histogramBuckets != 0 && h.wireHistogramOffset % sizeof(int64_t) == 0 &&
                          Within(h.wireHistogramOffset, h.histogramBuckets + 2, sizeof(int64_t), size)));
    if (!shaped) {
        return Refuse(error, reason, "corrupt",
                      "corrupt header (header size " + std::to_string(h.headerSize) + ", " +
                          std::to_string(h.counterCount) + " counters)");
    }
    out->counterCount = static_cast<int>(h.counterCount);
    for (size_t i = 0; i < kCounterSlots; ++i) {
        out->values[i] = 0;
        BCST_COUNTER_METADATA& m = out->metadata[i];
        if (i < h.counterCount) {
            const auto* cell = reinterpret_cast<const int64_t*>(image + h.valuesOffset + i * h.valueStride);
            out->values[i] = __atomic_load_n(cell, __ATOMIC_RELAXED);
            memcpy(&m, image + h.metadataOffset + i * h.metadataSize, sizeof m);
            // Texts are the writer's business: end each one within its field whatever the file holds.
            m.key[sizeof m.key - 1] = m.family[sizeof m.family - 1] = m.labels[sizeof m.labels - 1] =
                m.label[sizeof m.label - 1] = '\0';
            if (!IsPublishable(m)) {
                return Refuse(error, reason, "corrupt", "corrupt metadata of counter " + std::to_string(i));
            }
        } else {
            memset(&m, 0, sizeof m);
        }
    }
    out->histogramBuckets = static_cast<int>(h.histogramBuckets);
    // Offsets of a file without a histogram were not checked: not even pointed at.
    const bool histogram = out->histogramBuckets != 0;
    const auto* cells = reinterpret_cast<const int64_t*>(image + (histogram ? h.histogramOffset : 0));
    const auto* bounds = reinterpret_cast<const int64_t*>(image + (histogram ? h.boundsOffset : 0));
    for (int i = 0; i < kServiceBuckets; ++i) {
        const bool present = i < out->histogramBuckets;
        out->buckets[i] = present ? __atomic_load_n(&cells[i], __ATOMIC_RELAXED) : 0;
        out->boundsNs[i] = !present || i == out->histogramBuckets - 1 ? INT64_MAX : bounds[i];
        if (present && i > 0 && out->boundsNs[i] <= out->boundsNs[i - 1]) {
            return Refuse(error, reason, "corrupt", "corrupt histogram bounds");
        }
    }
    out->histogramSumNs = histogram ? __atomic_load_n(&cells[h.histogramBuckets], __ATOMIC_RELAXED) : 0;
    out->histogramCount = histogram ? __atomic_load_n(&cells[h.histogramBuckets + 1], __ATOMIC_RELAXED) : 0;
    out->wireHistogram = h.wireHistogramOffset != 0;
    const auto* wire = reinterpret_cast<const int64_t*>(image + h.wireHistogramOffset);
    for (int i = 0; i < kServiceBuckets; ++i) {
        out->wireBuckets[i] =
            out->wireHistogram && i < out->histogramBuckets ? __atomic_load_n(&wire[i], __ATOMIC_RELAXED) : 0;
    }
    out->wireSumNs = out->wireHistogram ? __atomic_load_n(&wire[h.histogramBuckets], __ATOMIC_RELAXED) : 0;
    out->wireCount =
        out->wireHistogram ? __atomic_load_n(&wire[h.histogramBuckets + 1], __ATOMIC_RELAXED) : 0;
    out->header.sendPath = __atomic_load_n(&header->sendPath, __ATOMIC_RELAXED);
    return 0;
}

int ReadCountersFile(const std::string& path, CountersSnapshot* out, std::string* error,
                     const char** reason) {
    struct stat status;
    int openError = 0;
    const int fd = OpenWholeFile(path, &status, &openError);
    if (fd < 0 && openError == 0) {
        return Refuse(error, reason, "unreadable", "not a regular file");
    }
    if (fd < 0) {
        return Refuse(error, reason, openError == ENOENT ? "missing" : "unreadable", strerror(openError));
    }
    // One byte more than a counters file may have tells a file too long from one of exactly the limit.
    constexpr size_t kLargest = 1 << 20;
    const size_t want = std::min(static_cast<size_t>(status.st_size), kLargest) + 1;
    std::vector<int64_t> buffer((want + sizeof(int64_t) - 1) / sizeof(int64_t));
    auto* image = reinterpret_cast<unsigned char*>(buffer.data());
    size_t got = 0;
    const int readError = ReadFilePrefix(fd, image, want, &got);
    close(fd);
    if (readError != 0) {
        return Refuse(error, reason, "unreadable", strerror(readError));
    }
    return ReadCountersImage(image, got, out, error, reason);
}
