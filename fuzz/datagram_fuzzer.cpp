// Invariant: any datagram is safe; output datagrams are 512 bytes and framed; ceil(n/2) per accepted MBP
// frame, whose payload lies inside the datagram; nothing after the datagram's end changes the outcome;
// the relay step's result and counts agree with the conversion's verdict.
//
// Input: byte 0 chooses MARKET_SEGMENT ("CM", "FO" or the unknown "XX"); the rest is the datagram,
// laid into a 2,500-byte receive buffer as the relay loop does (cut at 2,500 bytes) and handed over
// with its length. Each input runs twice: with zeros after the datagram and with other bytes there.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "app/log.h"
#include "app/relay.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "fuzz/scratch_dir.h"

namespace {

struct Segment {
    const char* text;
    uint8_t code;
    int messageBytes;
    uint16_t messageLength;  // the header's messageLength field
};
constexpr Segment kSegments[] = {{"CM", 4, 474, 466}, {"FO", 2, 478, 470}, {"XX", 0, 0, 0}};

const Segment* gSegment = nullptr;

uint16_t BigEndian16(const char* at) {
    return static_cast<uint16_t>(static_cast<uint8_t>(at[0]) << 8 | static_cast<uint8_t>(at[1]));
}

// Checks one output datagram of the segment's framing.
void CheckDatagram(const char* data, int length) {
    if (length != 512) {
        __builtin_trap();
    }
    const char head[6] = {static_cast<char>(gSegment->code), 0, 0, 1, 0, 0};
    if (memcmp(data, head, sizeof head) != 0) {
        __builtin_trap();
    }
    for (int i = 6 + gSegment->messageBytes; i < length; ++i) {
        if (data[i] != 0) {
            __builtin_trap();
        }
    }
    if (gSegment->messageBytes != 0) {
        const char* message = data + 6;
        const uint16_t records = BigEndian16(message + 48);
        if (BigEndian16(message + 18) != 7208 || BigEndian16(message + 46) != gSegment->messageLength ||
            (records != 1 && records != 2)) {
            __builtin_trap();
        }
        for (int i = 0; i < 8; ++i) {  // the reserved prefix
            if (message[i] != 0) {
                __builtin_trap();
            }
        }
    }
}

// A fixed store for every run, so each input reproduces on its own: small and large keys, the 16-bit
// aliases of large tokens, and closing prices that push the net change to its limits.
void ResetStore() {
    ResetInstrumentStore();
    const NEW_MKT_MAP_DATA entries[] = {
        {0, 0, 0, 0, 0, 0, 0, 0},
        {1, 100, 210, 90, 200, 0, 0, 11},
        {1000, 9500, 10500, 9000, 10000, 0, 0, 77},
        {40000, 1, 2, 3, 4, 0, 0, 4444},
        {-25536, 350, 450, 300, 400, 0, 0, 5555},
        {65537, 7000, 7100, 6900, 7050, 0, 0, 6666},
        {-1, INT32_MAX, INT32_MAX, INT32_MIN, 1, 0, 0, -1},
        {INT32_MAX, INT32_MIN, 0, 0, -1, 0, 0, INT32_MAX},
        {INT32_MIN, INT32_MAX, 0, 0, INT32_MIN, 0, 0, INT32_MIN},
    };
    for (const NEW_MKT_MAP_DATA& entry : entries) {
        gOHLMapData[entry.token] = entry;
    }
    gOHLMapIterator = gOHLMapData.end();
}

bcst::ScratchDir& Scratch() {
    static bcst::ScratchDir dir;
    return dir;
}

alignas(64) char gReceiveBuffer[kReceiveBufferSize];
alignas(64) char gDecoded[kDecompressBufferSize];
OutputBatch gBatch;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    gSegment = &kSegments[data[0] % 3];
    memset(&gsBcastParam, 0, sizeof gsBcastParam);
    memcpy(gsBcastParam.MARKET_SEGMENT, gSegment->text, strlen(gSegment->text) + 1);
    gsBcastParam.NEW_MKT_DATA_FLAG = 1;
    gshRunningInstanceNo = 1;

    const size_t length = size - 1 < sizeof gReceiveBuffer ? size - 1 : sizeof gReceiveBuffer;
    int16_t type = 0;
    int16_t compressed = 0;
    int16_t count = 0;
    memcpy(&type, data + 1, length < 2 ? length : 2);
    if (length >= 4) {
        memcpy(&compressed, data + 3, sizeof compressed);
    }
    if (length >= 6) {
        memcpy(&count, data + 5, sizeof count);
    }

    ChooseOutputSegment(gSegment->text);
    int outcome[2][4];  // verdict, records, datagrams, store size
    for (int pass = 0; pass < 2; ++pass) {
        memset(gReceiveBuffer, pass == 0 ? 0 : 0xA5, sizeof gReceiveBuffer);
        memcpy(gReceiveBuffer, data + 1, length);
        ResetStore();
        const FrameClass c =
            ConvertNewMktData(gReceiveBuffer, static_cast<int>(length), OutputSegment(), gDecoded, &gBatch);
        for (int k = 0; k < gBatch.count; ++k) {
            CheckDatagram(gBatch.Datagram(k), kOutputFrameSize);
        }
        if (c.verdict == FrameVerdict::kAccepted && c.type == 10500) {
            if (type != 10500 || count <= 0 || count > 42 || gBatch.count != (count + 1) / 2 ||
                compressed <= 0 || static_cast<size_t>(compressed) + 6 > length) {
                __builtin_trap();
            }
        } else if (gBatch.count != 0) {
            __builtin_trap();
        }
        if (length >= 1 && length < 6 &&
            c.verdict != FrameVerdict::kRefusedBadLength) {  // cut inside the header
            __builtin_trap();
        }
        outcome[pass][0] = static_cast<int>(c.verdict);
        outcome[pass][1] = c.records;
        outcome[pass][2] = gBatch.count;
        outcome[pass][3] = static_cast<int>(gOHLMapData.size());
    }
    if (memcmp(outcome[0], outcome[1], sizeof outcome[0]) != 0) {
        __builtin_trap();
    }

    // The relay step on the same datagram (its sends find no socket and are logged as failures): its
    // result and counts follow the verdict. The one-argument form reads the whole zero-filled buffer,
    // as tools and tests hand frames over.
    const auto verdict = static_cast<FrameVerdict>(outcome[0][0]);
    const bool logged =
        verdict == FrameVerdict::kRefusedBadLength || verdict == FrameVerdict::kRefusedDecodeFailure;
    for (int form = 0; form < 2; ++form) {
        memset(gReceiveBuffer, 0, sizeof gReceiveBuffer);
        memcpy(gReceiveBuffer, data + 1, length);
        ResetStore();
        glReceivedPktCount = 0;
        Scratch().Enter();
        const int result = form == 0 ? ProcessNewMktData(gReceiveBuffer, static_cast<int>(length))
                                     : ProcessNewMktData(gReceiveBuffer);
        Scratch().Leave();
        if (result != 0 && result != 1) {
            __builtin_trap();
        }
        if (form == 0 &&
            (result != (logged ? 1 : 0) || glReceivedPktCount.load() != (outcome[0][2] > 0 ? 1 : 0))) {
            __builtin_trap();
        }
    }

    static unsigned runs = 0;
    if (++runs % 4096 == 0) {
        Scratch().Clear();
    }
    return 0;
}
