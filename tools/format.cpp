// Decoded records printed for bcst-dump: one text line, a verbose block, or one JSON object per record.
#include "tools/decode.h"

#include <cinttypes>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include "tools/json.h"

namespace bcst {

namespace {

std::string TimeText(const DatagramContext& c) {
    if (!c.haveTime) {
        return "";
    }
    struct tm local;
    const time_t seconds = c.time.tv_sec;
    localtime_r(&seconds, &local);
    return Printf("%02d:%02d:%02d.%06ld ", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<long>(c.time.tv_usec));
}

// Text with every byte outside printable ASCII shown as \xNN, safe for a terminal.
std::string Printable(const std::string& text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        out += byte >= 0x20 && byte < 0x7F ? std::string(1, c) : Printf("\\x%02x", byte);
    }
    return out;
}

// "quantity@price" of a depth level, or "-" when the level is empty.
std::string LevelText(const Record& r, int level) {
    if (static_cast<size_t>(level) >= r.levels.size()) {
        return "-";
    }
    int64_t quantity = 0, price = 0;
    for (const Field& f : r.levels[static_cast<size_t>(level)]) {
        if (f.name == "quantity") {
            quantity = f.number;
        } else if (f.name == "price") {
            price = f.number;
        }
    }
    return quantity == 0 && price == 0 ? "-" : Printf("%" PRId64 "@%" PRId64, quantity, price);
}

}  // namespace

std::string FormatJson(const Record& record, const DatagramContext& context) {
    JsonWriter json;
    json.BeginObject();
    json.Text("kind", record.kind);
    json.Number("datagram", context.index);
    json.Number("length", static_cast<int64_t>(context.length));
    if (record.kind == "malformed") {
        json.Text("reason", record.reason);
    }
    if (record.zeroFilledBytes > 0) {
        json.Number("zeroFilledBytes", record.zeroFilledBytes);
    }
    for (const Field& f : record.fields) {
        if (f.isText) {
            json.Text(f.name.c_str(), f.text);
        } else {
            json.Number(f.name.c_str(), f.number);
        }
    }
    if (!record.levels.empty()) {
        json.BeginArray("levels");
        for (const Fields& level : record.levels) {
            json.BeginObject();
            for (const Field& f : level) {
                json.Number(f.name.c_str(), f.number);
            }
            json.EndObject();
        }
        json.EndArray();
    }
    json.EndObject();
    json.EndLine();
    return json.str();
}

std::string FormatLine(const Record& r, const DatagramContext& c) {
    std::string line = TimeText(c) + Printf("#%" PRId64 " ", c.index);
    auto n = [&r](const char* name) { return r.Number(name); };
    if (r.kind == "malformed") {
        line += Printf("malformed (%zu bytes): ", c.length) + r.reason;
    } else if (r.noRecord && r.kind != "mbp_out") {
        line += Printf("%-7s record count %" PRId64 ": taken, no record applied", r.kind.c_str(),
                       n("recordCount"));
    } else if (r.kind == "ohl") {
        line += Printf("ohl     token %" PRId64 " open %" PRId64 " high %" PRId64 " low %" PRId64
                       " close %" PRId64,
                       n("token"), n("openPrice"), n("highPrice"), n("lowPrice"), n("closingPrice"));
    } else if (r.kind == "ticker") {
        line += Printf("ticker  token %" PRId64 " value %" PRId64, n("token"), n("tickerValue"));
    } else if (r.kind == "mbp_in") {
        line += Printf("mbp_in  token %" PRId64 " ltp %" PRId64 " vol %" PRId64 " atp %" PRId64
                       " ltt %" PRId64 " bits 0x%06" PRIx64,
                       n("token"), n("lastTradedPrice"), n("volumeTradedToday"), n("averageTradePrice"),
                       n("lastTradeTime"), n("indicatorBits"));
        line += " bid " + LevelText(r, 0) + " ask " + LevelText(r, 5);
    } else if (r.noRecord) {
        line += "mbp_out " + r.Text("segment") + " (segment code 0: no message)";
    } else {
        line += Printf("mbp_out %s slot %" PRId64 " token %" PRId64 " status %" PRId64 " ltp %" PRId64
                       " chg %s%" PRId64 " ltq %" PRId64 " vol %" PRId64 " o/h/l/c %" PRId64 "/%" PRId64
                       "/%" PRId64 "/%" PRId64,
                       r.Text("segment").c_str(), n("slot"), n("token"), n("tradingStatus"),
                       n("lastTradedPrice"), Printable(r.Text("netChangeIndicator")).c_str(),
                       n("netPriceChangeFromClosingPrice"), n("lastTradeQuantity"), n("volumeTradedToday"),
                       n("openPrice"), n("highPrice"), n("lowPrice"), n("closingPrice"));
        line += " bid " + LevelText(r, 0) + " ask " + LevelText(r, 5);
    }
    if (r.zeroFilledBytes > 0) {
        line += Printf(" [zero-filled: %d bytes past the decoded payload]", r.zeroFilledBytes);
    }
    return line + "\n";
}

std::string FormatVerbose(const Record& r, const DatagramContext& c) {
    std::string text = FormatLine(r, c);
    for (const Field& f : r.fields) {
        if (f.isText) {
            text += Printf("    %-31s \"%s\"\n", f.name.c_str(), Printable(f.text).c_str());
        } else {
            text += Printf("    %-31s %" PRId64 "\n", f.name.c_str(), f.number);
        }
    }
    if (!r.levels.empty()) {
        text += "    level    quantity       price  orders";
        text += r.levels[0].size() > 3 ? "  buySellFlag\n" : "\n";
        for (size_t k = 0; k < r.levels.size(); ++k) {
            text += Printf("    %5zu", k + 1);
            const Fields& level = r.levels[k];
            text += Printf(" %11" PRId64 " %11" PRId64 " %7" PRId64, level[0].number, level[1].number,
                           level[2].number);
            if (level.size() > 3) {
                text += Printf(" %12" PRId64, level[3].number);
            }
            text += "\n";
        }
    }
    return text;
}

}  // namespace bcst
