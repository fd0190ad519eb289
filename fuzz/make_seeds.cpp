// Writes the datagram fuzzer's seed corpus: valid frames of the three feed message types, each behind
// the fuzzer's segment selector byte. Usage: bcst_make_seeds <directory>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "tools/feedenc.h"

namespace {

using bcst::Bytes;

// A market-by-price record; `seed` varies the trade fields and the indicator bits.
NEW_MKT_MBP_DATA MbpRecord(int32_t token, int seed) {
    NEW_MKT_MBP_DATA r;
    std::memset(&r, 0, sizeof r);
    r.token = token;
    r.volumeTradedToday = 5000 + seed;
    r.lastTradedPrice = 10000 + 37 * seed;
    r.lastTradeTime = 1700000000 + seed;
    r.averageTradePrice = 9990 + seed;
    r.totalBuyQuantity = 0x0102030405060708LL + seed;
    r.totalSellQuantity = 0x1112131415161718LL;
    r.indicatorBits[0] = static_cast<uint8_t>(0x21 * seed);
    r.indicatorBits[1] = static_cast<uint8_t>(0x15 + seed);
    r.indicatorBits[2] = static_cast<uint8_t>(0x20 << (seed % 3));  // trading status flags 21, 22
    for (int k = 0; k < 10; ++k) {
        r.mbpLevels[k] = NEW_MKT_MBP_LEVEL{100 * (k + 1), 10000 - 5 * k, static_cast<int16_t>(k + 1)};
    }
    return r;
}

// Selector byte (0 "CM", 1 "FO", 2 unknown segment), then the frame.
Bytes Seed(uint8_t selector, int16_t type, int count, const Bytes& payload) {
    const Bytes frame = bcst::MakeFrame(type, static_cast<int16_t>(count), bcst::CompressBlock(payload));
    Bytes seed(1 + frame.size(), selector);
    std::memcpy(seed.data() + 1, frame.data(), frame.size());
    return seed;
}

Bytes MbpPayload(const std::vector<int32_t>& tokens) {
    Bytes payload;
    int seed = 0;
    for (int32_t token : tokens) {
        bcst::AppendRecord(payload, MbpRecord(token, seed++));
    }
    return payload;
}

bool Write(const std::string& path, const Bytes& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr) {
        perror(path.c_str());
        return false;
    }
    const bool ok = fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    return fclose(f) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: %s <directory>\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];

    Bytes ohl;
    for (int32_t token : {1000, 40000, -25536, 65537}) {
        bcst::AppendRecord(ohl, NEW_MKT_OHL_DATA{token, 9500, 10500, 9000, 10000, 1, 2});
    }
    Bytes ticker;
    for (int32_t token : {1000, 40000, 1, 65537}) {
        bcst::AppendRecord(ticker, NEW_MKT_TICKER_DATA{token, 0, 4242, 0});
    }
    std::vector<int32_t> many;
    for (int i = 0; i < 42; ++i) {
        many.push_back(1000 + i);
    }

    bool ok = true;
    ok &= Write(dir + "/ohl", Seed(0, kMessageTypeOhl, 4, ohl));
    ok &= Write(dir + "/ticker", Seed(1, kMessageTypeTicker, 4, ticker));
    ok &= Write(dir + "/mbp-cm-1", Seed(0, kMessageTypeMbp, 1, MbpPayload({1000})));
    ok &= Write(dir + "/mbp-cm-3", Seed(0, kMessageTypeMbp, 3, MbpPayload({40000, 65537, 1})));
    ok &= Write(dir + "/mbp-fo-2", Seed(1, kMessageTypeMbp, 2, MbpPayload({1000, -25536})));
    ok &= Write(dir + "/mbp-xx-1", Seed(2, kMessageTypeMbp, 1, MbpPayload({7})));
    ok &= Write(dir + "/mbp-fo-42", Seed(1, kMessageTypeMbp, 42, MbpPayload(many)));
    return ok ? 0 : 1;
}
