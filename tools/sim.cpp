// The simulated session. Prices are integers in paise on a 5-paise tick; every random choice goes
// through Rng, so a seed and the options fix every byte of every frame.
#include "tools/sim.h"

#include <algorithm>
#include <cstring>
#include <set>

#include "tools/feedenc.h"
#include "tools/json.h"

namespace bcst {

namespace {

constexpr int32_t kTick = 5;
constexpr int32_t kSessionStart = 1393751700;  // 09:15:00 on 1 March 2024, in seconds since 1980
constexpr int kBidLevels = 5;
constexpr int kLevels = 10;
constexpr int kFirstAskFlag = 10;  // flags 10..14 mark populated ask levels 6..10

}  // namespace

int64_t Rng::Uniform(int64_t lo, int64_t hi) {
    const uint64_t span = static_cast<uint64_t>(hi) - static_cast<uint64_t>(lo);
    if (span == UINT64_MAX) {
        return static_cast<int64_t>(engine_());
    }
    const uint64_t range = span + 1;
    // Largest multiple of `range` that fits; draws at or above it are thrown back.
    const uint64_t limit = UINT64_MAX - (UINT64_MAX % range + 1) % range;
    uint64_t draw;
    do {
        draw = engine_();
    } while (draw > limit);
    return static_cast<int64_t>(static_cast<uint64_t>(lo) + draw % range);
}

int SimFrame::RecordCount() const {
    switch (kind) {
        case FrameKind::kOpenHighLow:
            return static_cast<int>(ohl.size());
        case FrameKind::kTicker:
            return static_cast<int>(ticker.size());
        case FrameKind::kMarketByPrice:
            break;
    }
    return static_cast<int>(mbp.size());
}

Simulator::Simulator(const SimOptions& options)
    : options_(options), rng_(options.seed), clock_(kSessionStart) {
    std::set<int32_t> tokens;
    instruments_.reserve(static_cast<size_t>(options.instruments));
    for (int i = 0; i < options.instruments; ++i) {
        int32_t token;
        do {
            // Capital-market tokens fit the old format's 16-bit token field unchanged; a larger
            // maxToken gives tokens whose low 16 bits alone do not name the instrument.
            token = static_cast<int32_t>(rng_.Uniform(1, options.maxToken));
        } while (!tokens.insert(token).second);

        Instrument in = {};
        in.token = token;
        const int64_t closeTicks = rng_.Uniform(400, 80000);  // 20.00 to 4,000.00 rupees
        const int64_t openTicks =
            std::max<int64_t>(10, closeTicks + closeTicks * rng_.Uniform(-200, 200) / 10000);
        const int64_t highTicks = openTicks + openTicks * rng_.Uniform(0, 150) / 10000;
        const int64_t lowTicks = std::max<int64_t>(10, openTicks - openTicks * rng_.Uniform(0, 150) / 10000);
        in.close = static_cast<int32_t>(closeTicks * kTick);
        in.open = static_cast<int32_t>(openTicks * kTick);
        in.high = static_cast<int32_t>(highTicks * kTick);
        in.low = static_cast<int32_t>(lowTicks * kTick);
        in.last = static_cast<int32_t>(rng_.Uniform(lowTicks, highTicks) * kTick);
        in.lastQuantity = static_cast<int32_t>(rng_.Uniform(1, 500));
        in.lastSentQuantity = in.lastQuantity;
        in.volume = rng_.Uniform(1000, 500000);
        in.turnover = in.volume * in.open;
        // Trading status flags 21/22: mostly the normal market (22 alone), a few instruments in the
        // other states, whose net change the old format measures from the open.
        switch (rng_.Uniform(1, 20)) {
            case 1:
                in.statusBits = 1u << kFlagStatusFirst;
                break;
            case 2:
                in.statusBits = (1u << kFlagStatusFirst) | (1u << kFlagStatusSecond);
                break;
            case 3:
                in.statusBits = 0;
                break;
            default:
                in.statusBits = 1u << kFlagStatusSecond;
                break;
        }
        indexOfToken_[token] = instruments_.size();
        instruments_.push_back(in);
    }
}

bool Simulator::Next(SimFrame* frame) {
    *frame = SimFrame();
    if (ohlSent_ < instruments_.size()) {
        MakeOhlFrame(ohlSent_, frame);
        ohlSent_ += frame->ohl.size();
    } else if (!tickerQueue_.empty() && options_.tickerEvery > 0 && mbpSent_ > 0 &&
               mbpSent_ % options_.tickerEvery == 0) {
        MakeTickerFrame(frame);
    } else if (options_.mbpFrames >= 0 && mbpSent_ >= options_.mbpFrames) {
        return false;
    } else {
        MakeMbpFrame(frame);
        ++mbpSent_;
        return true;
    }
    frame->datagram = EncodeFrame(*frame);
    return true;
}

void Simulator::MakeOhlFrame(size_t first, SimFrame* frame) {
    frame->kind = FrameKind::kOpenHighLow;
    const size_t end = std::min(instruments_.size(), first + kOhlRecordsPerFrame);
    for (size_t i = first; i < end; ++i) {
        const Instrument& in = instruments_[i];
        SimOhlRecord r;
        r.token = in.token;
        r.open = in.open;
        r.high = in.high;
        r.low = in.low;
        r.close = in.close;
        frame->ohl.push_back(r);
    }
}

void Simulator::MakeTickerFrame(SimFrame* frame) {
    frame->kind = FrameKind::kTicker;
    const size_t n = std::min<size_t>(tickerQueue_.size(), kTickerRecordsPerFrame);
    for (size_t i = 0; i < n; ++i) {
        Instrument& in = instruments_[tickerQueue_[i]];
        in.tradedSinceTicker = false;
        frame->ticker.push_back(SimTickerRecord{in.token, in.lastSentQuantity});
    }
    tickerQueue_.erase(tickerQueue_.begin(), tickerQueue_.begin() + static_cast<std::ptrdiff_t>(n));
}

void Simulator::MakeMbpFrame(SimFrame* frame) {
    frame->kind = FrameKind::kMarketByPrice;
    clock_ += static_cast<int32_t>(rng_.Uniform(0, 2));
    const size_t wanted = static_cast<size_t>(rng_.Uniform(1, options_.maxRecords));
    // Records that did not fit the previous frame lead this one.
    frame->mbp.swap(carried_);
    carried_.clear();
    if (frame->mbp.size() > wanted) {
        carried_.assign(frame->mbp.begin() + static_cast<std::ptrdiff_t>(wanted), frame->mbp.end());
        frame->mbp.resize(wanted);
    }
    while (frame->mbp.size() < wanted) {
        const size_t which =
            static_cast<size_t>(rng_.Uniform(0, static_cast<int64_t>(instruments_.size()) - 1));
        frame->mbp.emplace_back();
        BuildMbpRecord(instruments_[which], &frame->mbp.back());
    }

    // Like the exchange, a frame carries as many records as compress into one datagram; the rest
    // go out first in the next frame. One record always fits.
    frame->datagram = EncodeFrame(*frame);
    if (frame->datagram.empty()) {
        size_t fits = 1, fails = frame->mbp.size();
        while (fails - fits > 1) {
            const size_t middle = (fits + fails) / 2;
            SimFrame trial;
            trial.mbp.assign(frame->mbp.begin(), frame->mbp.begin() + static_cast<std::ptrdiff_t>(middle));
            (EncodeFrame(trial).empty() ? fails : fits) = middle;
        }
        carried_.insert(carried_.begin(), frame->mbp.begin() + static_cast<std::ptrdiff_t>(fits),
                        frame->mbp.end());
        frame->mbp.resize(fits);
        frame->datagram = EncodeFrame(*frame);
    }

    for (const SimMbpRecord& record : frame->mbp) {
        Instrument& in = instruments_[indexOfToken_[record.token]];
        in.lastSentQuantity = record.tradeQuantity;
        if (!in.tradedSinceTicker) {
            in.tradedSinceTicker = true;
            tickerQueue_.push_back(indexOfToken_[record.token]);
        }
    }
}

void Simulator::BuildMbpRecord(Instrument& in, SimMbpRecord* r) {
    // One trade: the price moves up to three ticks, never below ten.
    in.last = std::max(10 * kTick, in.last + static_cast<int32_t>(rng_.Uniform(-3, 3)) * kTick);
    in.high = std::max(in.high, in.last);
    in.low = std::min(in.low, in.last);
    in.lastQuantity = static_cast<int32_t>(rng_.Uniform(1, 500));
    in.volume += in.lastQuantity;
    in.turnover += static_cast<int64_t>(in.last) * in.lastQuantity;

    r->token = in.token;
    r->tradeQuantity = in.lastQuantity;
    r->volume = static_cast<int32_t>(in.volume);
    r->lastPrice = in.last;
    r->lastTradeTime = clock_;
    r->averagePrice = static_cast<int32_t>(in.turnover / in.volume);
    r->indicatorBits = in.statusBits;

    // Five bids stepping down from just below the last price, five asks stepping up from just above
    // it; a thin book now and then shows fewer levels on a side, the rest left empty.
    const int bids = rng_.Chance(1, 10) ? static_cast<int>(rng_.Uniform(0, kBidLevels - 1)) : kBidLevels;
    const int asks = rng_.Chance(1, 10) ? static_cast<int>(rng_.Uniform(0, kBidLevels - 1)) : kBidLevels;
    int32_t bid = in.last;
    int64_t bidQuantity = 0;
    for (int k = 0; k < bids; ++k) {
        bid -= static_cast<int32_t>(rng_.Uniform(1, 2)) * kTick;
        if (bid <= 0) {
            break;
        }
        SimLevel& level = r->levels[k];
        level.orders = static_cast<int16_t>(rng_.Uniform(1, 40));
        level.quantity = level.orders * static_cast<int32_t>(rng_.Uniform(1, 200));
        level.price = bid;
        bidQuantity += level.quantity;
        r->indicatorBits |= 1u << k;
    }
    int32_t ask = in.last;
    int64_t askQuantity = 0;
    for (int k = 0; k < asks; ++k) {
        ask += static_cast<int32_t>(rng_.Uniform(1, 2)) * kTick;
        SimLevel& level = r->levels[kBidLevels + k];
        level.orders = static_cast<int16_t>(rng_.Uniform(1, 40));
        level.quantity = level.orders * static_cast<int32_t>(rng_.Uniform(1, 200));
        level.price = ask;
        askQuantity += level.quantity;
        r->indicatorBits |= 1u << (kFirstAskFlag + k);
    }
    // Totals cover the whole book, deeper than the five levels shown.
    if (bidQuantity > 0) {
        r->totalBuy = bidQuantity + rng_.Uniform(0, 200000);
        r->indicatorBits |= 1u << kFlagTotalBuyFirst;
    }
    if (askQuantity > 0) {
        r->totalSell = askQuantity + rng_.Uniform(0, 200000);
        r->indicatorBits |= 1u << kFlagTotalSell;
    }
}

std::vector<uint8_t> EncodeFrame(const SimFrame& frame) {
    bcst::Bytes payload;
    int16_t type = kMessageTypeMbp;
    switch (frame.kind) {
        case FrameKind::kOpenHighLow:
            type = kMessageTypeOhl;
            for (const SimOhlRecord& in : frame.ohl) {
                bcst::AppendRecord(payload, NEW_MKT_OHL_DATA{in.token, in.open, in.high, in.low, in.close,
                                                             in.extra1, in.extra2});
            }
            break;
        case FrameKind::kTicker:
            type = kMessageTypeTicker;
            for (const SimTickerRecord& in : frame.ticker) {
                bcst::AppendRecord(payload, NEW_MKT_TICKER_DATA{in.token, 0, in.value, 0});
            }
            break;
        case FrameKind::kMarketByPrice:
            for (const SimMbpRecord& in : frame.mbp) {
                NEW_MKT_MBP_DATA out;
                memset(&out, 0, sizeof out);
                out.token = in.token;
                out.volumeTradedToday = in.volume;
                out.lastTradedPrice = in.lastPrice;
                out.lastTradeTime = in.lastTradeTime;
                out.averageTradePrice = in.averagePrice;
                out.totalBuyQuantity = in.totalBuy;
                out.totalSellQuantity = in.totalSell;
                for (int b = 0; b < kIndicatorBytes; ++b) {
                    out.indicatorBits[b] = static_cast<uint8_t>(in.indicatorBits >> (8 * b));
                }
                for (int k = 0; k < kLevels; ++k) {
                    out.mbpLevels[k].quantity = in.levels[k].quantity;
                    out.mbpLevels[k].price = in.levels[k].price;
                    out.mbpLevels[k].numberOfOrders = in.levels[k].orders;
                }
                bcst::AppendRecord(payload, out);
            }
            break;
    }
    return bcst::EncodeFrame(type, static_cast<int16_t>(frame.RecordCount()), payload);
}

std::string RecordsAsJsonLines(const SimFrame& frame, int64_t index) {
    JsonWriter json;
    for (const SimOhlRecord& r : frame.ohl) {
        json.BeginObject();
        json.Text("kind", "ohl");
        json.Number("datagram", index);
        json.Number("token", r.token);
        json.Number("openPrice", r.open);
        json.Number("highPrice", r.high);
        json.Number("lowPrice", r.low);
        json.Number("closingPrice", r.close);
        json.Number("ohlExtra1", r.extra1);
        json.Number("ohlExtra2", r.extra2);
        json.EndObject();
        json.EndLine();
    }
    for (const SimTickerRecord& r : frame.ticker) {
        json.BeginObject();
        json.Text("kind", "ticker");
        json.Number("datagram", index);
        json.Number("token", r.token);
        json.Number("tickerValue", r.value);
        json.EndObject();
        json.EndLine();
    }
    for (const SimMbpRecord& r : frame.mbp) {
        json.BeginObject();
        json.Text("kind", "mbp_in");
        json.Number("datagram", index);
        json.Number("token", r.token);
        json.Number("volumeTradedToday", r.volume);
        json.Number("lastTradedPrice", r.lastPrice);
        json.Number("lastTradeTime", r.lastTradeTime);
        json.Number("averageTradePrice", r.averagePrice);
        json.Number("totalBuyQuantity", r.totalBuy);
        json.Number("totalSellQuantity", r.totalSell);
        json.Number("indicatorBits", r.indicatorBits);
        json.BeginArray("levels");
        for (const SimLevel& level : r.levels) {
            json.BeginObject();
            json.Number("quantity", level.quantity);
            json.Number("price", level.price);
            json.Number("numberOfOrders", level.orders);
            json.EndObject();
        }
        json.EndArray();
        json.EndObject();
        json.EndLine();
    }
    return json.str();
}

}  // namespace bcst
