// Conversion micro-benchmarks: the capital-market and derivatives 7208 conversions and the
// open/high/low store update (written through to a store file), each against a store of 2,000 and of
// 50,000 instruments, beside a plain memcpy of the same number of bytes measured in the same run.
#include <benchmark/benchmark.h>

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "app/log.h"
#include "feed/store.h"
#include "feed/store_file.h"
#include "mbp/new_mbp.h"
#include "mbp/old_mbp.h"

namespace {

// Records the conversion benchmarks cycle through: 8,192 feed records (1.1 MB), far more than one
// frame, so store lookups land on many different instruments as they do on a busy feed.
constexpr size_t kRotationRecords = 8192;
constexpr int kOhlPerFrame = kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_OHL_DATA));  // 214
constexpr int kTickerPerFrame = kDecompressBufferSize / static_cast<int>(sizeof(NEW_MKT_TICKER_DATA));
constexpr size_t kOhlFrames = 64;

// Tokens spread the way exchange instrument ids are: ascending with irregular gaps, 1 to 9 apart.
std::vector<int32_t> InstrumentTokens(int instruments) {
    std::mt19937 random(12345);
    std::uniform_int_distribution<int32_t> gap(1, 9);
    std::vector<int32_t> tokens(static_cast<size_t>(instruments));
    int32_t token = 1000;
    for (int32_t& t : tokens) {
        token += gap(random);
        t = token;
    }
    return tokens;
}

int32_t ClosingPriceOf(int32_t token) {
    return 10000 + token % 90000;
}

// Fills the store through the real handlers: full open/high/low frames, then full ticker frames. The
// store is written through to its file, as in the bridge (in a scratch directory).
void FillStore(const std::vector<int32_t>& tokens) {
    ResetInstrumentStore();
    std::string refusal;
    gshRunningInstanceNo = 1;
    LockInstrumentStore(1, &refusal);
    RestoreInstrumentStore(1, LogClockDate());
    gOHLMapIterator = gOHLMapData.end();
    std::vector<char> frame(kDecompressBufferSize);
    for (size_t first = 0; first < tokens.size(); first += kOhlPerFrame) {
        const size_t n = std::min(tokens.size() - first, static_cast<size_t>(kOhlPerFrame));
        for (size_t i = 0; i < n; ++i) {
            const int32_t token = tokens[first + i];
            const int32_t close = ClosingPriceOf(token);
            const NEW_MKT_OHL_DATA r{token, close + 50, close + 120, close - 80, close, 0, 0};
            std::memcpy(frame.data() + i * sizeof r, &r, sizeof r);
        }
        ProcessOHLData(frame.data(), static_cast<int>(n));
    }
    for (size_t first = 0; first < tokens.size(); first += kTickerPerFrame) {
        const size_t n = std::min(tokens.size() - first, static_cast<size_t>(kTickerPerFrame));
        for (size_t i = 0; i < n; ++i) {
            const NEW_MKT_TICKER_DATA r{tokens[first + i], 0, 100 + static_cast<int32_t>(i), 0};
            std::memcpy(frame.data() + i * sizeof r, &r, sizeof r);
        }
        ProcessTickerData(frame.data(), static_cast<int>(n));
    }
}

// Feed records for randomly chosen instruments of the store, with prices around the closing price and
// random indicator bits, so every trading status and flag code occurs.
std::vector<NEW_MKT_MBP_DATA> FeedRecords(const std::vector<int32_t>& tokens) {
    std::mt19937 random(678);
    std::uniform_int_distribution<size_t> pick(0, tokens.size() - 1);
    std::uniform_int_distribution<int32_t> spread(-1000, 1000);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<NEW_MKT_MBP_DATA> records(kRotationRecords);
    for (NEW_MKT_MBP_DATA& r : records) {
        const int32_t token = tokens[pick(random)];
        const int32_t close = ClosingPriceOf(token);
        r.token = token;
        r.volumeTradedToday = 100000 + spread(random);
        r.lastTradedPrice = close + spread(random);
        r.lastTradeTime = 1700000000 + spread(random);
        r.averageTradePrice = close + spread(random) / 4;
        r.totalBuyQuantity = 5000000 + spread(random);
        r.totalSellQuantity = 4000000 + spread(random);
        for (uint8_t& b : r.indicatorBits) {
            b = static_cast<uint8_t>(byte(random));
        }
        r.reserved = 0;
        for (int k = 0; k < 10; ++k) {
            r.mbpLevels[k].quantity = 100 * (k + 1) + spread(random) / 10;
            r.mbpLevels[k].price = close + (k < 5 ? -k : k) * 5;
            r.mbpLevels[k].numberOfOrders = static_cast<int16_t>(1 + k);
        }
    }
    return records;
}

// Baseline: one memcpy of `range(0)` bytes between two buffers.
void BM_Memcpy(benchmark::State& state) {
    const size_t size = static_cast<size_t>(state.range(0));
    std::vector<char> source(size, 0x5A);
    std::vector<char> target(size);
    for (auto _ : state) {
        std::memcpy(target.data(), source.data(), size);
        benchmark::DoNotOptimize(target.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(size));
}
BENCHMARK(BM_Memcpy)
    ->Arg(sizeof(MS_BCAST_ONLY_MBP_CM))
    ->Arg(sizeof(MS_BCAST_ONLY_MBP_FO))
    ->Arg(kOhlPerFrame * sizeof(NEW_MKT_OHL_DATA));

// One message of two records per iteration, as the pairing loop builds them.
template <typename Message, int (*Convert)(Message*, const NEW_MKT_MBP_DATA*, int)>
void BM_Convert(benchmark::State& state) {
    const std::vector<int32_t> tokens = InstrumentTokens(static_cast<int>(state.range(0)));
    FillStore(tokens);
    const std::vector<NEW_MKT_MBP_DATA> records = FeedRecords(tokens);
    Message message;
    size_t next = 0;
    for (auto _ : state) {
        Convert(&message, &records[next], 2);
        benchmark::DoNotOptimize(&message);
        benchmark::ClobberMemory();
        next += 2;
        if (next == records.size()) {
            next = 0;
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * 2,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK_TEMPLATE(BM_Convert, MS_BCAST_ONLY_MBP_CM, CopyNewMBPToOldMBPCM)->Arg(2000)->Arg(50000);
BENCHMARK_TEMPLATE(BM_Convert, MS_BCAST_ONLY_MBP_FO, CopyNewMBPToOldMBPFO)->Arg(2000)->Arg(50000);

// A full open/high/low frame (214 records) per iteration, every token already in the store.
void BM_ProcessOHLDataUpdate(benchmark::State& state) {
    const std::vector<int32_t> tokens = InstrumentTokens(static_cast<int>(state.range(0)));
    FillStore(tokens);
    std::mt19937 random(91011);
    std::uniform_int_distribution<size_t> pick(0, tokens.size() - 1);
    std::vector<std::vector<char>> frames(kOhlFrames, std::vector<char>(kDecompressBufferSize));
    for (std::vector<char>& frame : frames) {
        for (int i = 0; i < kOhlPerFrame; ++i) {
            const int32_t token = tokens[pick(random)];
            const int32_t close = ClosingPriceOf(token) + 1;
            const NEW_MKT_OHL_DATA r{token, close + 40, close + 110, close - 70, close, 1, 2};
            std::memcpy(frame.data() + static_cast<size_t>(i) * sizeof r, &r, sizeof r);
        }
    }
    const size_t entries = gOHLMapData.size();
    size_t next = 0;
    for (auto _ : state) {
        ProcessOHLData(frames[next].data(), kOhlPerFrame);
        benchmark::ClobberMemory();
        next = (next + 1) % frames.size();
    }
    if (gOHLMapData.size() != entries) {
        state.SkipWithError("an update inserted entries");
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * kOhlPerFrame);
    state.counters["per_record"] =
        benchmark::Counter(static_cast<double>(state.iterations()) * kOhlPerFrame,
                           benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_ProcessOHLDataUpdate)->Arg(2000)->Arg(50000);

}  // namespace

int main(int argc, char** argv) {
    char scratch[] = "/tmp/bcst-convertbench-XXXXXX";
    if (mkdtemp(scratch) == nullptr || chdir(scratch) != 0) {
        perror("convert_bench: scratch directory");
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    ResetInstrumentStore();
    const std::string cleanup = std::string("rm -rf ") + scratch;
    return chdir("/") == 0 && system(cleanup.c_str()) == 0 ? 0 : 1;
}
