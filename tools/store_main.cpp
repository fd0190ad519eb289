// bcst-store: what a bridge instance holds in its store file, read without a lock and without
// disturbing the running writer.
#include <cinttypes>
#include <cstdio>
#include <string>

#include "feed/store_file.h"
#include "tools/cli.h"
#include "tools/json.h"

int main(int argc, char** argv) {
    bcst::SetProgramName("bcst-store");
    CLI::App app{
        "Shows the instruments a bcstbridge instance holds in its store file, as the file holds them: "
        "open, high, low and closing prices, the two other open/high/low values and the ticker value.",
        bcst::ProgramName()};
    std::string file;
    int instance = 0;
    int64_t token = 0;
    bool json = false;
    auto* fileOption = app.add_option("file", file, "a store file (BcstBridge<N>.store)");
    app.add_option("-i,--instance", instance, "the store file of instance N in the working directory")
        ->check(bcst::IntegerIn(1, 2147483647))
        ->excludes(fileOption);
    app.add_option("-t,--token", token, "only the entry of this token")
        ->check(bcst::IntegerIn(INT32_MIN, INT32_MAX));
    app.add_flag("--json", json, "one line of JSON instead of a table");
    if (const int status = bcst::ParseCommandLine(app, argc, argv); status >= 0) {
        return status;
    }
    if (file.empty() && instance == 0) {
        return bcst::UsageError("name a store file or --instance N (see --help)");
    }
    if (file.empty()) {
        file = StoreFileName(static_cast<int16_t>(static_cast<uint16_t>(instance)));
    }

    // Read, never locked or mapped: the bridge holds the lock and the file may change while it is read.
    std::string bytes, reason, note;
    StoreFileImage image;
    if (ReadStoreFileBytes(file, &bytes, &reason, &note) != 0 ||
        ValidateStoreImage(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), &image,
                           &reason) != 0) {
        return bcst::Fail("%s: %s", file.c_str(), reason.c_str());
    }
    if (!note.empty()) {
        bcst::Note("%s: %s", file.c_str(), note.c_str());
    }
    const BCST_STORE_HEADER& h = image.header;
    const std::string day = std::to_string(h.tradingDate % 100) + "-" +
                            std::to_string(h.tradingDate / 100 % 100) + "-" +
                            std::to_string(h.tradingDate / 10000);
    const bool one = app.count("--token") > 0;
    bcst::JsonWriter out;
    if (json) {
        out.BeginObject();
        out.Text("file", file);
        out.Number("instance", h.instance);
        out.Text("day", day);
        out.Number("pid", h.pid);
        out.Number("entries", h.count);
        out.BeginArray("instruments");
    } else {
        printf("%s: instance %d, day %s, %u entries, written by pid %d\n", file.c_str(), h.instance,
               day.c_str(), h.count, h.pid);
        printf("%11s %11s %11s %11s %11s %11s %11s %11s\n", "token", "open", "high", "low", "close", "extra1",
               "extra2", "ticker");
    }
    uint32_t shown = 0;
    for (uint32_t i = 0; i < h.count; ++i) {
        const NEW_MKT_MAP_DATA e = StoreImageEntry(image, i);
        if (one && e.token != token) {
            continue;
        }
        ++shown;
        if (!json) {
            printf("%11d %11d %11d %11d %11d %11d %11d %11d\n", e.token, e.openPrice, e.highPrice, e.lowPrice,
                   e.closingPrice, e.ohlExtra1, e.ohlExtra2, e.tickerValue);
            continue;
        }
        out.BeginObject();
        out.Number("token", e.token);
        out.Number("openPrice", e.openPrice);
        out.Number("highPrice", e.highPrice);
        out.Number("lowPrice", e.lowPrice);
        out.Number("closingPrice", e.closingPrice);
        out.Number("ohlExtra1", e.ohlExtra1);
        out.Number("ohlExtra2", e.ohlExtra2);
        out.Number("tickerValue", e.tickerValue);
        out.EndObject();
    }
    if (json) {
        out.EndArray();
        out.EndObject();
        out.EndLine();
        fputs(out.str().c_str(), stdout);
    }
    if (one && shown == 0) {
        return bcst::Fail("%s: no entry for token %" PRId64, file.c_str(), token);
    }
    return bcst::kExitSuccess;
}
