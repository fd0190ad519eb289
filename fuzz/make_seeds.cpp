// Writes the datagram fuzzer's seed corpus: valid frames of the three feed message types, each behind
// the fuzzer's segment selector byte. Usage: bcst_make_seeds <directory>
#include <lz4.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

void PutLe(Bytes& b, size_t at, uint64_t value, int width) {
    for (int i = 0; i < width; ++i) {
        b.at(at + static_cast<size_t>(i)) = static_cast<uint8_t>(value >> (8 * i));
    }
}

// A 140-byte market-by-price record; `seed` varies the trade fields and the indicator bits.
Bytes MbpRecord(int32_t token, int seed) {
    Bytes r(140, 0);
    PutLe(r, 0, static_cast<uint32_t>(token), 4);
    PutLe(r, 4, 5000u + static_cast<uint32_t>(seed), 4);                   // volume traded today
    PutLe(r, 8, 10000u + 37u * static_cast<uint32_t>(seed), 4);            // last traded price
    PutLe(r, 12, 1700000000u + static_cast<uint32_t>(seed), 4);            // last trade time
    PutLe(r, 16, 9990u + static_cast<uint32_t>(seed), 4);                  // average trade price
    PutLe(r, 20, 0x0102030405060708ULL + static_cast<uint64_t>(seed), 8);  // total buy quantity
    PutLe(r, 28, 0x1112131415161718ULL, 8);                                // total sell quantity
    r[36] = static_cast<uint8_t>(0x21 * seed);
    r[37] = static_cast<uint8_t>(0x15 + seed);
    r[38] = static_cast<uint8_t>(0x20 << (seed % 3));  // trading status flags 21, 22
    for (size_t k = 0; k < 10; ++k) {
        PutLe(r, 40 + 10 * k, 100 * (k + 1), 4);
        PutLe(r, 44 + 10 * k, 10000 - 5 * k, 4);
        PutLe(r, 48 + 10 * k, k + 1, 2);
    }
    return r;
}

Bytes Compress(const Bytes& payload) {
    Bytes out(static_cast<size_t>(LZ4_compressBound(static_cast<int>(payload.size()))));
    const int n = LZ4_compress_default(reinterpret_cast<const char*>(payload.data()),
                                       reinterpret_cast<char*>(out.data()), static_cast<int>(payload.size()),
                                       static_cast<int>(out.size()));
    out.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return out;
}

// Selector byte (0 "CM", 1 "FO", 2 unknown segment), then the frame: type, length, count, payload.
Bytes Seed(uint8_t selector, uint16_t type, int count, const Bytes& payload) {
    const Bytes compressed = Compress(payload);
    Bytes seed(7, 0);
    seed[0] = selector;
    PutLe(seed, 1, type, 2);
    PutLe(seed, 3, compressed.size(), 2);
    PutLe(seed, 5, static_cast<uint16_t>(count), 2);
    seed.insert(seed.end(), compressed.begin(), compressed.end());
    return seed;
}

Bytes MbpPayload(const std::vector<int32_t>& tokens) {
    Bytes payload;
    int seed = 0;
    for (int32_t token : tokens) {
        const Bytes r = MbpRecord(token, seed++);
        payload.insert(payload.end(), r.begin(), r.end());
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

    Bytes ohl;  // token, open, high, low, close and two extra words per record
    for (int32_t token : {1000, 40000, -25536, 65537}) {
        for (int32_t value : {token, 9500, 10500, 9000, 10000, 1, 2}) {
            const size_t at = ohl.size();
            ohl.resize(at + 4);
            PutLe(ohl, at, static_cast<uint32_t>(value), 4);
        }
    }
    Bytes ticker;  // token, unread word, ticker value, unread word
    for (int32_t token : {1000, 40000, 1, 65537}) {
        for (int32_t value : {token, 0, 4242, 0}) {
            const size_t at = ticker.size();
            ticker.resize(at + 4);
            PutLe(ticker, at, static_cast<uint32_t>(value), 4);
        }
    }
    std::vector<int32_t> many;
    for (int i = 0; i < 42; ++i) {
        many.push_back(1000 + i);
    }

    bool ok = true;
    ok &= Write(dir + "/ohl", Seed(0, 10750, 4, ohl));
    ok &= Write(dir + "/ticker", Seed(1, 10600, 4, ticker));
    ok &= Write(dir + "/mbp-cm-1", Seed(0, 10500, 1, MbpPayload({1000})));
    ok &= Write(dir + "/mbp-cm-3", Seed(0, 10500, 3, MbpPayload({40000, 65537, 1})));
    ok &= Write(dir + "/mbp-fo-2", Seed(1, 10500, 2, MbpPayload({1000, -25536})));
    ok &= Write(dir + "/mbp-xx-1", Seed(2, 10500, 1, MbpPayload({7})));
    ok &= Write(dir + "/mbp-fo-42", Seed(1, 10500, 42, MbpPayload(many)));
    return ok ? 0 : 1;
}
