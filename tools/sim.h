// A deterministic exchange-feed session: instruments whose prices walk around their open, and the
// compressed open/high/low, ticker and market-by-price frames that carry them.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace bcst {

// mt19937_64 is fixed by the C++ standard bit for bit; the distributions are ours, so a seed gives the
// same session with every standard library.
class Rng {
  public:
    explicit Rng(uint64_t seed) : engine_(seed) {}
    // Uniform in [lo, hi], by rejection (no modulo bias).
    int64_t Uniform(int64_t lo, int64_t hi);
    // True with probability numerator / denominator.
    bool Chance(int64_t numerator, int64_t denominator) { return Uniform(1, denominator) <= numerator; }

  private:
    std::mt19937_64 engine_;
};

enum class FrameKind { kOpenHighLow, kTicker, kMarketByPrice };

struct SimLevel {
    int32_t quantity = 0;
    int32_t price = 0;
    int16_t orders = 0;
};

// One market-by-price record as the simulator means it, before it is laid out on the wire.
struct SimMbpRecord {
    int32_t token = 0;
    int32_t volume = 0;
    int32_t lastPrice = 0;
    int32_t lastTradeTime = 0;
    int32_t averagePrice = 0;
    int64_t totalBuy = 0;
    int64_t totalSell = 0;
    uint32_t indicatorBits = 0;  // flag n is bit n
    SimLevel levels[10];         // 1..5 bids below the last price, 6..10 asks above it
    int32_t tradeQuantity = 0;   // not on the wire: what the next ticker frame reports
};

struct SimOhlRecord {
    int32_t token = 0;
    int32_t open = 0;
    int32_t high = 0;
    int32_t low = 0;
    int32_t close = 0;
    int32_t extra1 = 0;
    int32_t extra2 = 0;
};

struct SimTickerRecord {
    int32_t token = 0;
    int32_t value = 0;  // the instrument's last trade quantity
};

struct SimFrame {
    FrameKind kind = FrameKind::kMarketByPrice;
    std::vector<SimMbpRecord> mbp;
    std::vector<SimOhlRecord> ohl;
    std::vector<SimTickerRecord> ticker;
    std::vector<uint8_t> datagram;  // 6-byte header and the LZ4 block
    int RecordCount() const;
};

struct SimOptions {
    uint64_t seed = 1;
    int instruments = 50;
    int maxRecords = 42;       // records per market-by-price frame, drawn in 1..maxRecords
    int tickerEvery = 5;       // a ticker frame after every this many market-by-price frames; 0 none
    int64_t mbpFrames = 100;   // market-by-price frames in the session; negative for no end
    int32_t maxToken = 32767;  // tokens are drawn in 1..maxToken
};

// Record limits per frame. Market-by-price frames hold at most what decodes into 6,000 bytes, and
// fewer when their block would not fit one datagram; the others stay well inside both limits.
constexpr int kMaxMbpRecordsPerFrame = 42;
constexpr int kOhlRecordsPerFrame = 50;
constexpr int kTickerRecordsPerFrame = 100;

class Simulator {
  public:
    explicit Simulator(const SimOptions& options);
    // The next frame of the session: open/high/low snapshots of all instruments, then the
    // market-by-price frames, a ticker frame (or several) after every tickerEvery of them. False at
    // the end of the session.
    bool Next(SimFrame* frame);

  private:
    struct Instrument {
        int32_t token;
        int32_t open, high, low, close;
        int32_t last;
        int32_t lastQuantity;      // of the last trade generated
        int32_t lastSentQuantity;  // of the last trade sent: the ticker value
        int64_t volume;
        int64_t turnover;
        uint32_t statusBits;  // trading status flags 21/22, fixed for the session
        bool tradedSinceTicker;
    };

    void BuildMbpRecord(Instrument& instrument, SimMbpRecord* record);
    void MakeOhlFrame(size_t first, SimFrame* frame);
    void MakeTickerFrame(SimFrame* frame);
    void MakeMbpFrame(SimFrame* frame);

    SimOptions options_;
    Rng rng_;
    std::vector<Instrument> instruments_;
    std::map<int32_t, size_t> indexOfToken_;
    std::vector<size_t> tickerQueue_;    // instruments traded since the last ticker frame, in order
    std::vector<SimMbpRecord> carried_;  // generated records that did not fit the last frame
    size_t ohlSent_ = 0;
    int64_t mbpSent_ = 0;
    int32_t clock_;  // trade time, seconds since 1 January 1980
};

// Lays a frame's records out in the feed's format and compresses them behind the frame header; empty
// when the block would be longer than the bridge takes in one datagram.
std::vector<uint8_t> EncodeFrame(const SimFrame& frame);

// One JSON object per record of `frame` (numbered `index` in the session), with the field names
// bcst-dump uses; for checking a capture against what was generated.
std::string RecordsAsJsonLines(const SimFrame& frame, int64_t index);

}  // namespace bcst
