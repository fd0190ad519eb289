// Once the instrument store holds every token, no datagram allocates: neither a frame of any of the
// three types on its way through the intake, conversion and sending, nor a datagram relayed or
// forwarded by the receive loop on real loopback sockets. This executable replaces the global
// operator new and delete with counting versions to prove it.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

#include "app/log.h"
#include "app/relay.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "support/expected_messages.h"
#include "support/test_support.h"

namespace {

std::atomic<bool> gCounting{false};
std::atomic<long> gAllocations{0};

void* CountedAllocation(size_t size) {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

void* CountedAlignedAllocation(size_t size, std::align_val_t alignment) {
    if (gCounting.load(std::memory_order_relaxed)) {
        gAllocations.fetch_add(1, std::memory_order_relaxed);
    }
    const size_t align = static_cast<size_t>(alignment);
    void* p = std::aligned_alloc(align, (size + align - 1) / align * align);
    if (p == nullptr) {
        throw std::bad_alloc();
    }
    return p;
}

}  // namespace

void* operator new(size_t size) {
    return CountedAllocation(size);
}
void* operator new[](size_t size) {
    return CountedAllocation(size);
}
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAllocation(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t size, const std::nothrow_t&) noexcept {
    try {
        return CountedAllocation(size);
    } catch (...) {
        return nullptr;
    }
}
void* operator new(size_t size, std::align_val_t alignment) {
    return CountedAlignedAllocation(size, alignment);
}
void* operator new[](size_t size, std::align_val_t alignment) {
    return CountedAlignedAllocation(size, alignment);
}
void operator delete(void* p) noexcept {
    std::free(p);
}
void operator delete[](void* p) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept {
    std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete(void* p, size_t, std::align_val_t) noexcept {
    std::free(p);
}
void operator delete[](void* p, size_t, std::align_val_t) noexcept {
    std::free(p);
}

using namespace bcsttest;

namespace {

constexpr int16_t kMbp = 10500;
constexpr int16_t kTicker = 10600;
constexpr int16_t kOhl = 10750;
constexpr int kInstruments = 120;

// Allocations made by `work` (which must not allocate for itself).
template <typename Work>
long AllocationsDuring(Work&& work) {
    const long before = gAllocations.load();
    gCounting = true;
    work();
    gCounting = false;
    return gAllocations.load() - before;
}

int32_t TokenOf(int i) {
    return 1000 + 7 * i;
}

// A frame placed at the start of a zeroed receive-sized buffer, as the relay loop hands it over.
std::vector<char> InReceiveBuffer(const Bytes& frame) {
    std::vector<char> buffer(kReceiveBufferSize, 0);
    EXPECT_LE(frame.size(), buffer.size());
    memcpy(buffer.data(), frame.data(), std::min(frame.size(), buffer.size()));
    return buffer;
}

Bytes OhlFrame(int first, int count, int32_t round) {
    Bytes payload;
    for (int i = first; i < first + count; ++i) {
        const int32_t base = 10000 + 10 * i + round;
        const Bytes one = EncodeOhlRecord(TokenOf(i), base, base + 50, base - 50, base - 5, 0, 0);
        payload.insert(payload.end(), one.begin(), one.end());
    }
    return MakeFrame(kOhl, static_cast<int16_t>(count), CompressBlock(payload));
}

Bytes TickerFrame(int first, int count, int32_t round) {
    Bytes payload;
    for (int i = first; i < first + count; ++i) {
        const Bytes one = EncodeTickerRecord(TokenOf(i), 100 + i + round);
        payload.insert(payload.end(), one.begin(), one.end());
    }
    return MakeFrame(kTicker, static_cast<int16_t>(count), CompressBlock(payload));
}

// `count` market-by-price records of instruments in the store, with indicator bits that reach every
// status and flag code and prices on both sides of the closing price. Depth is the same in every
// record of a frame, so that 42 records compress into one datagram.
Bytes MbpFrame(int first, int count, int32_t round) {
    std::vector<FeedRecord> records;
    for (int i = 0; i < count; ++i) {
        const int which = (first + i) % kInstruments;
        FeedRecord r = SampleRecord(TokenOf(which), round);
        r.lastTradedPrice = 10000 + 10 * which + (i % 3 - 1) * 20;
        r.indicator[0] = static_cast<uint8_t>(37 * i + round);
        r.indicator[1] = static_cast<uint8_t>(11 * i);
        r.indicator[2] = static_cast<uint8_t>(i << 2);
        records.push_back(r);
    }
    return MakeFrame(kMbp, static_cast<int16_t>(count), CompressBlock(EncodeFeedRecords(records)));
}

void SetSegment(const char* segment) {
    snprintf(gsBcastParam.MARKET_SEGMENT, sizeof gsBcastParam.MARKET_SEGMENT, "%s", segment);
    ChooseOutputSegment(gsBcastParam.MARKET_SEGMENT);
}

class NoAllocation : public ::testing::Test {
  protected:
    void SetUp() override { ResetBridgeState("CM"); }
    void TearDown() override {
        for (int* fd : {&gReceiveSocketFD, &gSenderSocketFD}) {
            if (*fd >= 0) {
                close(*fd);
                *fd = -1;
            }
        }
        ResetInstrumentStore();
    }

    // Every instrument into the store (allocating one entry each), checked.
    void FillStore() {
        for (int first = 0; first < kInstruments; first += 40) {
            auto ohl = InReceiveBuffer(OhlFrame(first, 40, 0));
            auto ticker = InReceiveBuffer(TickerFrame(first, 40, 0));
            ASSERT_EQ(ProcessNewMktData(ohl.data()), 0);
            ASSERT_EQ(ProcessNewMktData(ticker.data()), 0);
        }
        ASSERT_EQ(gOHLMapData.size(), static_cast<size_t>(kInstruments));
    }

    ScopedWorkingDir dir_;  // set-up and error logs, if any, land here
};

TEST_F(NoAllocation, CountingIsLiveAndNewTokensTakeNoHeap) {
    // The counter sees an allocation made while it counts...
    EXPECT_EQ(AllocationsDuring([] {
                  int* volatile kept = new int(7);
                  delete kept;
              }),
              1);
    // ...and the store takes a new token's entry from memory it reserved once, not from the heap.
    auto frame = InReceiveBuffer(OhlFrame(0, 3, 0));
    EXPECT_EQ(AllocationsDuring([&] { ProcessNewMktData(frame.data()); }), 0);
    EXPECT_EQ(gOHLMapData.size(), 3u);
}

TEST_F(NoAllocation, FramesOfAllThreeTypesOnceTheStoreHoldsEveryToken) {
    ASSERT_NO_FATAL_FAILURE(FillStore());

    // Store updates, then full and odd-sized market-by-price frames, in both message layouts and for
    // a segment that frames no message.
    std::vector<std::vector<char>> frames;
    for (int round = 1; round <= 3; ++round) {
        frames.push_back(InReceiveBuffer(OhlFrame(0, 40, round)));
        frames.push_back(InReceiveBuffer(TickerFrame(40, 80, round)));
        frames.push_back(InReceiveBuffer(MbpFrame(round * 17, 42, round)));
        frames.push_back(InReceiveBuffer(MbpFrame(round * 5, 5, round)));
        frames.push_back(InReceiveBuffer(MbpFrame(round * 3, 1, round)));
    }
    const long mbpFramesPerPass = 9;
    const long datagramsPerPass = 3 * (21 + 3 + 1);
    LoopbackOutput output("239.40.7.4");  // sent for real; nobody reads them
    ASSERT_TRUE(output.ready()) << gcaLogMessage;
    const std::string logAfterSetup = ReadFile(FindLogFile(dir_.dir().path()));

    struct Case {
        const char* segment;
    };
    for (const Case& c : {Case{"CM"}, Case{"FO"}, Case{"CD"}, Case{"CO"}, Case{"cm"}}) {
        SCOPED_TRACE(c.segment);
        SetSegment(c.segment);
        const int64_t received = glReceivedPktCount.load();
        const int64_t sent = glSentPktCount.load();
        const long allocations = AllocationsDuring([&] {
            for (int pass = 0; pass < 20; ++pass) {
                for (std::vector<char>& frame : frames) {
                    ProcessNewMktData(frame.data());
                }
            }
        });
        EXPECT_EQ(allocations, 0);
        // The frames really went the whole way.
        EXPECT_EQ(glReceivedPktCount.load() - received, 20 * mbpFramesPerPass);
        EXPECT_EQ(glSentPktCount.load() - sent, 20 * datagramsPerPass);
    }
    EXPECT_EQ(gOHLMapData.size(), static_cast<size_t>(kInstruments));
    EXPECT_EQ(ReadFile(FindLogFile(dir_.dir().path())), logAfterSetup) << "nothing on this path may log";
}

TEST_F(NoAllocation, ReceiveLoopOnLoopbackSocketsInBothModes) {
    ASSERT_NO_FATAL_FAILURE(FillStore());

    snprintf(gsBcastParam.RECV_MULTICAST_ADDR, sizeof gsBcastParam.RECV_MULTICAST_ADDR, "239.40.7.1");
    snprintf(gsBcastParam.SEND_MULTICAST_ADDR, sizeof gsBcastParam.SEND_MULTICAST_ADDR, "239.40.7.2");
    snprintf(gsBcastParam.LOCAL_IP_TO_HOST, sizeof gsBcastParam.LOCAL_IP_TO_HOST, "127.0.0.1");
    snprintf(gsBcastParam.LOCAL_IP_TO_VELT, sizeof gsBcastParam.LOCAL_IP_TO_VELT, "127.0.0.1");
    const uint16_t recvPort = FreeUdpPort();
    const uint16_t sendWirePort = FreeUdpPort();
    gsBcastParam.RECV_MULTICAST_PORT = static_cast<int16_t>(recvPort);
    gsBcastParam.SEND_MULTICAST_PORT = static_cast<int16_t>(ConfiguredSendPortFor(sendWirePort));
    ASSERT_EQ(InitializeRecvSocket(), 0) << gcaLogMessage;
    ASSERT_EQ(InitializeSendSocket(), 0) << gcaLogMessage;
    MulticastReceiver out("239.40.7.2", sendWirePort);
    MulticastSender in("239.40.7.1", recvPort);
    const std::string log = ReadFile(FindLogFile(dir_.dir().path()));

    // Relays one datagram that is already waiting, so the receive never blocks the test.
    auto relayWaiting = [&]() {
        struct pollfd ready = {gReceiveSocketFD, POLLIN, 0};
        ASSERT_EQ(poll(&ready, 1, 5000), 1) << "datagram did not arrive";
        long allocations = AllocationsDuring([] { RelayOneDatagram(); });
        EXPECT_EQ(allocations, 0);
    };

    const Bytes mbp = MbpFrame(7, 42, 1);
    const Bytes ohl = OhlFrame(40, 40, 1);
    const Bytes ticker = TickerFrame(0, 40, 1);
    const std::vector<Bytes> plain = {Bytes(100, 0xAB), Bytes(1000, 0x5C), Bytes(), Bytes(512, 0x01)};

    struct Mode {
        int16_t flag;
        const std::vector<Bytes>* datagrams;
        long expectedOut;
    };
    const std::vector<Bytes> relayed = {ohl, mbp, ticker, mbp};
    for (const Mode& mode : {Mode{1, &relayed, 2 * 21}, Mode{0, &plain, 4}}) {
        SCOPED_TRACE(mode.flag == 1 ? "relay mode" : "pass-through mode");
        gsBcastParam.NEW_MKT_DATA_FLAG = mode.flag;
        const int64_t sent = glSentPktCount.load();
        for (int pass = 0; pass < 5; ++pass) {
            for (const Bytes& datagram : *mode.datagrams) {
                ASSERT_TRUE(in.Send(datagram));
                ASSERT_NO_FATAL_FAILURE(relayWaiting());
            }
        }
        EXPECT_EQ(glSentPktCount.load() - sent, 5 * mode.expectedOut);
        const std::vector<Bytes> got =
            out.ReceiveCount(static_cast<size_t>(5 * mode.expectedOut), std::chrono::seconds(10));
        EXPECT_EQ(got.size(), static_cast<size_t>(5 * mode.expectedOut));
        for (const Bytes& d : got) {
            EXPECT_EQ(d.size(), 512u);
        }
    }
    EXPECT_EQ(ReadFile(FindLogFile(dir_.dir().path())), log) << "nothing after set-up may log";
}

}  // namespace
