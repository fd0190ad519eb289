// Output framing and pairing: records (1, 2), (3, 4), ... each pair one 512-byte datagram, the segment
// code and message length chosen by MARKET_SEGMENT, send failures logged without stopping the walk.
#include "mbp/framing.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "app/counters.h"
#include "app/log.h"
#include "app/relay.h"
#include "app/role.h"
#include "app/statistics.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"
#include "support/expected_messages.h"
#include "support/test_support.h"

using namespace bcsttest;

namespace {

const char kSendErrorLine[] = "SendMulticastData : Send Error ";
const char kNullLine[] = "ProcessMBPData : Input parameter is NULL ";

std::vector<Bytes> gCaptured;  // what the latest call put on the wire
bool gFailSends = false;       // when set, the send call reports gFailResult
int gFailResult = -1;          // 0 or -1: both are failures
int gFailingAttempt = -1;      // only this attempt (0-based) fails; -1: every attempt

// A send call's stand-in for the per-datagram walk.
int Capture(const char* data, int length) {
    const int attempt = static_cast<int>(gCaptured.size());
    gCaptured.emplace_back(data, data + length);
    if (gFailSends && (gFailingAttempt < 0 || gFailingAttempt == attempt)) {
        return gFailResult;
    }
    return length;
}

// The records go out through the bridge's own sending socket on loopback and are read off the wire.
class Framing : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetBridgeState("CM");
        gCaptured.clear();
        gFailSends = false;
        gFailResult = -1;
        gFailingAttempt = -1;
        output_ = std::make_unique<LoopbackOutput>("239.40.9.2");
        ASSERT_TRUE(output_->ready()) << gcaLogMessage;
        RemoveLogFiles(workingDir_.dir().path());  // the socket's set-up entries
    }
    void TearDown() override { output_.reset(); }

    static void SetSegment(const char* segment) {
        memset(gsBcastParam.MARKET_SEGMENT, 0, sizeof gsBcastParam.MARKET_SEGMENT);
        strncpy(gsBcastParam.MARKET_SEGMENT, segment, sizeof gsBcastParam.MARKET_SEGMENT - 1);
        ChooseOutputSegment(gsBcastParam.MARKET_SEGMENT);
    }

    // What the calls since the last look put on the wire.
    void TakeSent() { gCaptured = output_->Take(); }

    std::vector<std::string> Log() const {
        const std::string file = FindLogFile(workingDir_.dir().path());
        return file.empty() ? std::vector<std::string>{} : LogMessages(ReadFile(file));
    }

    // Records with tokens 101, 102, ... and distinct field values.
    static std::vector<FeedRecord> Records(int count) {
        std::vector<FeedRecord> records;
        for (int i = 0; i < count; ++i) {
            records.push_back(SampleRecord(101 + i, 7 * i));
        }
        return records;
    }

    ScopedWorkingDir workingDir_;
    std::unique_ptr<LoopbackOutput> output_;
};

// Token of slot 0 or 1 and the record count, read from a captured datagram by the wire offsets.
uint16_t CmSlotToken(const Bytes& d, int slot) {
    return GetBe16(d, 6 + 50 + 212 * static_cast<size_t>(slot));
}
uint32_t FoSlotToken(const Bytes& d, int slot) {
    return GetBe32(d, 6 + 50 + 214 * static_cast<size_t>(slot));
}
uint16_t RecordCountOf(const Bytes& d) {
    return GetBe16(d, 6 + 48);
}

TEST_F(Framing, PairsRecordsIntoDatagramsInOrder) {
    struct Case {
        const char* segment;
        int count;
    };
    for (const Case c : {Case{"CM", 1}, Case{"CM", 2}, Case{"CM", 3}, Case{"CM", 42}, Case{"FO", 1},
                         Case{"FO", 2}, Case{"FO", 3}, Case{"FO", 42}}) {
        SCOPED_TRACE(std::string(c.segment) + " count " + std::to_string(c.count));
        SetSegment(c.segment);
        gCaptured.clear();
        glSentPktCount = 0;
        Bytes data = EncodeFeedRecords(Records(c.count));
        EXPECT_EQ(ProcessMBPData(reinterpret_cast<char*>(data.data()), c.count), 0);
        TakeSent();

        const size_t datagrams = static_cast<size_t>((c.count + 1) / 2);
        ASSERT_EQ(gCaptured.size(), datagrams);
        EXPECT_EQ(glSentPktCount.load(), static_cast<int64_t>(datagrams));
        const bool cm = std::string(c.segment) == "CM";
        for (size_t k = 0; k < datagrams; ++k) {
            const Bytes& d = gCaptured[k];
            ASSERT_EQ(d.size(), 512u);
            const int first = static_cast<int>(2 * k);
            const bool pair = first + 1 < c.count;
            EXPECT_EQ(RecordCountOf(d), pair ? 2 : 1) << "datagram " << k;
            EXPECT_EQ(cm ? CmSlotToken(d, 0) : FoSlotToken(d, 0), static_cast<uint32_t>(101 + first)) << k;
            EXPECT_EQ(cm ? CmSlotToken(d, 1) : FoSlotToken(d, 1),
                      pair ? static_cast<uint32_t>(102 + first) : 0u)
                << k;
        }
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(Framing, DatagramsMatchTheWireLayoutOfEachSegment) {
    // Store empty: prices and ticker 0, so the capital-market net change is " " and 0.
    std::vector<FeedRecord> records = Records(3);
    records[0].indicator[0] = 0x21;  // flags 0 and 5: level 1 flag 3
    records[0].indicator[1] = 0x04;  // flag 10: level 6 flag 2
    records[0].indicator[2] = 0x38;  // flags 19, 20, 21: sell 2, buy 1, status 6
    records[1].indicator[2] = 0x44;  // flags 18 and 22: buy 2, status 2
    records[2].reserved = 0xEE;      // never read
    Bytes data = EncodeFeedRecords(records);
    auto slot = [&](int i) { return ExpectedCmSlot{records[static_cast<size_t>(i)], StoreEntry{}, ' ', 0}; };
    auto foSlot = [&](int i) { return ExpectedFoSlot{records[static_cast<size_t>(i)], StoreEntry{}}; };

    struct Case {
        const char* segment;
        std::vector<Bytes> expected;
    };
    const std::vector<Case> cases = {
        {"CM", {ExpectedCmDatagram({slot(0), slot(1)}), ExpectedCmDatagram({slot(2)})}},
        {"FO", {ExpectedFoDatagram(2, {foSlot(0), foSlot(1)}), ExpectedFoDatagram(2, {foSlot(2)})}},
        {"CD", {ExpectedFoDatagram(6, {foSlot(0), foSlot(1)}), ExpectedFoDatagram(6, {foSlot(2)})}},
        {"CO", {ExpectedFoDatagram(8, {foSlot(0), foSlot(1)}), ExpectedFoDatagram(8, {foSlot(2)})}},
        {"XX", {ExpectedUnknownSegmentDatagram(), ExpectedUnknownSegmentDatagram()}},
        {"cm", {ExpectedUnknownSegmentDatagram(), ExpectedUnknownSegmentDatagram()}},
        {"", {ExpectedUnknownSegmentDatagram(), ExpectedUnknownSegmentDatagram()}},
        {"CMX", {ExpectedUnknownSegmentDatagram(), ExpectedUnknownSegmentDatagram()}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("segment \"") + c.segment + "\"");
        SetSegment(c.segment);
        gCaptured.clear();
        EXPECT_EQ(ProcessMBPData(reinterpret_cast<char*>(data.data()), 3), 0);
        TakeSent();
        ASSERT_EQ(gCaptured.size(), c.expected.size());
        for (size_t k = 0; k < c.expected.size(); ++k) {
            EXPECT_EQ(gCaptured[k], c.expected[k]) << "datagram " << k << "\ngot:\n"
                                                   << HexDump(gCaptured[k]) << "\nexpected:\n"
                                                   << HexDump(c.expected[k]);
        }
    }
    EXPECT_TRUE(Log().empty());
}

TEST_F(Framing, MessageBytesEndWhereTheSegmentSaysAndTheRestIsZero) {
    // Fields at the very end of slot 2 are non-zero, so the copied length shows at its last byte.
    StoreEntry entry{0x04040404, 0x01010101, 0x02020202, 0x03030303, 0x05050505};
    for (int32_t token : {101, 102}) {
        gOHLMapData[token] =
            NEW_MKT_MAP_DATA{token, entry.open, entry.high, entry.low, entry.close, 0, 0, entry.ticker};
    }
    Bytes data = EncodeFeedRecords(Records(2));
    struct Case {
        const char* segment;
        uint8_t code;
        size_t end;  // first byte after the message
    };
    for (const Case c : {Case{"CM", 4, 480}, Case{"FO", 2, 484}, Case{"CD", 6, 484}, Case{"CO", 8, 484}}) {
        SCOPED_TRACE(c.segment);
        SetSegment(c.segment);
        gCaptured.clear();
        ProcessMBPData(reinterpret_cast<char*>(data.data()), 2);
        TakeSent();
        ASSERT_EQ(gCaptured.size(), 1u);
        const Bytes& d = gCaptured[0];
        ASSERT_EQ(d.size(), 512u);
        EXPECT_EQ(d[0], c.code);
        EXPECT_EQ(d[1], 0);
        EXPECT_EQ(GetBe16(d, 2), 1);
        EXPECT_EQ(d[4], 0);
        EXPECT_EQ(d[5], 0);
        // The low price of slot 2 fills the message's last four bytes.
        EXPECT_EQ(GetBe32(d, c.end - 4), 0x03030303u);
        EXPECT_EQ(Bytes(d.begin() + static_cast<long>(c.end), d.end()), Bytes(512 - c.end, 0));
    }
}

// Each layout's packet function may be called on its own whatever the configured segment: the
// datagram is framed for the configured segment, as AddBcastHeaderData frames a message, with the
// configured length of the converted message and zeros after it.
TEST_F(Framing, APacketFunctionCalledDirectlyIsFramedForTheConfiguredSegment) {
    Bytes data = EncodeFeedRecords(Records(2));
    char* records = reinterpret_cast<char*>(data.data());
    const auto sendOne = [&](const char* segment, int (*send)(char*, int)) {
        SetSegment(segment);
        gCaptured.clear();
        EXPECT_EQ(send(records, 2), 0);
        TakeSent();
        EXPECT_EQ(gCaptured.size(), 1u);
        return gCaptured.empty() ? Bytes(512, 0xEE) : gCaptured[0];
    };
    const Bytes cm = sendOne("CM", PrepareAndSendOldMBPPacketCM);
    const Bytes fo = sendOne("FO", PrepareAndSendOldMBPPacketFO);

    // The capital-market message framed as derivatives: code 2, 478 bytes of which the last four
    // lie past the 474-byte message and are zero.
    const Bytes cmAsFo = sendOne("FO", PrepareAndSendOldMBPPacketCM);
    ASSERT_EQ(cmAsFo.size(), 512u);
    EXPECT_EQ(cmAsFo[0], 2);
    EXPECT_EQ(GetBe16(cmAsFo, 2), 1);
    EXPECT_EQ(Bytes(cmAsFo.begin() + 6, cmAsFo.begin() + 480), Bytes(cm.begin() + 6, cm.begin() + 480));
    EXPECT_EQ(Bytes(cmAsFo.begin() + 480, cmAsFo.end()), Bytes(32, 0));

    // The derivatives message framed as capital market: code 4, its first 474 bytes, then zeros.
    const Bytes foAsCm = sendOne("CM", PrepareAndSendOldMBPPacketFO);
    ASSERT_EQ(foAsCm.size(), 512u);
    EXPECT_EQ(foAsCm[0], 4);
    EXPECT_EQ(Bytes(foAsCm.begin() + 6, foAsCm.begin() + 480), Bytes(fo.begin() + 6, fo.begin() + 480));
    EXPECT_EQ(Bytes(foAsCm.begin() + 480, foAsCm.end()), Bytes(32, 0));

    // AddBcastHeaderData frames a message from anywhere into a cleared tail.
    std::vector<char> frame(kFrameAreaSize, 0x5A);
    SetSegment("CM");
    EXPECT_EQ(AddBcastHeaderData(reinterpret_cast<const char*>(fo.data() + 6), frame.data()), 0);
    EXPECT_EQ(Bytes(frame.begin(), frame.begin() + 512), foAsCm);
    EXPECT_EQ(std::vector<char>(frame.begin() + 512, frame.end()), std::vector<char>(4, 0));
}

TEST_F(Framing, NullRecordsAreReportedAndNothingIsSent) {
    for (int count : {1, 2, 0, -1}) {
        EXPECT_EQ(ProcessMBPData(nullptr, count), 1);
    }
    TakeSent();
    EXPECT_TRUE(gCaptured.empty());
    EXPECT_EQ(glSentPktCount.load(), 0);
    EXPECT_EQ(Log(), std::vector<std::string>(4, kNullLine));
}

TEST_F(Framing, NoRecordsSendNothing) {
    Bytes data = EncodeFeedRecords(Records(2));
    for (const char* segment : {"CM", "FO", "XX"}) {
        SetSegment(segment);
        for (int count : {0, -1, -2, -32768}) {
            EXPECT_EQ(ProcessMBPData(reinterpret_cast<char*>(data.data()), count), 0)
                << segment << " " << count;
        }
    }
    TakeSent();
    EXPECT_TRUE(gCaptured.empty());
    EXPECT_EQ(glSentPktCount.load(), 0);
    EXPECT_TRUE(Log().empty());
}

TEST_F(Framing, FailedSendsAreLoggedAndTheRestStillGoOut) {
    Bytes data = EncodeFeedRecords(Records(5));
    struct Case {
        const char* segment;
        int result;          // what the failing send call returns
        int failingAttempt;  // -1: every attempt fails
        size_t failures;
    };
    for (const Case c : {Case{"CM", -1, 1, 1}, Case{"FO", -1, 0, 1}, Case{"CM", 0, 2, 1},
                         Case{"FO", -1, -1, 3}, Case{"CM", 0, -1, 3}}) {
        SCOPED_TRACE(std::string(c.segment) + " result " + std::to_string(c.result) + " attempt " +
                     std::to_string(c.failingAttempt));
        const size_t logBefore = Log().size();
        SetSegment(c.segment);
        gCaptured.clear();
        glSentPktCount = 0;
        gFailSends = true;
        gFailResult = c.result;
        gFailingAttempt = c.failingAttempt;
        OutputBatch batch;
        ConvertMBPRecords(OutputSegment(), reinterpret_cast<const NEW_MKT_MBP_DATA*>(data.data()), 5, &batch);
        glSentPktCount = SendEachDatagram(Capture, batch.frames, batch.count, kOutputFrameSize);

        // All three pairs were converted and handed to the send call, in order.
        ASSERT_EQ(gCaptured.size(), 3u);
        const bool cm = std::string(c.segment) == "CM";
        for (size_t k = 0; k < 3; ++k) {
            EXPECT_EQ(gCaptured[k].size(), 512u);
            EXPECT_EQ(cm ? CmSlotToken(gCaptured[k], 0) : FoSlotToken(gCaptured[k], 0), 101 + 2 * k);
        }
        EXPECT_EQ(glSentPktCount.load(), static_cast<int64_t>(3 - c.failures));
        const std::vector<std::string> log = Log();
        ASSERT_EQ(log.size(), logBefore + c.failures);
        for (size_t i = logBefore; i < log.size(); ++i) {
            EXPECT_EQ(log[i], kSendErrorLine);
        }
    }
}

// Each send path forced in turn. Whatever the path, the same datagrams must arrive in the same order
// from the same port, each counted once, and a failure must be logged per datagram that did not leave.
class SendPaths : public Framing {
  protected:
    // Converts and sends `count` records, then takes the `expected` datagrams and any stray one after.
    std::vector<Bytes> SendAndCollect(const Bytes& data, int count, size_t expected) {
        ProcessMBPData(const_cast<char*>(reinterpret_cast<const char*>(data.data())), count);
        std::vector<Bytes> got;
        Bytes d;
        uint16_t from = 0;
        while (output_->receiver().Receive(
            &d, got.size() < expected ? std::chrono::milliseconds(5000) : std::chrono::milliseconds(30),
            &from)) {
            EXPECT_EQ(from, output_->wirePort());
            got.push_back(d);
        }
        return got;
    }
};

constexpr SendPath kAllPaths[] = {SendPath::kSegmented, SendPath::kMultiMessage, SendPath::kPerDatagram};

TEST_F(SendPaths, EveryPathPutsTheSameDatagramsOnTheWire) {
    // Loopback segments: set-up found the best path.
    EXPECT_EQ(CurrentSendPath(), SendPath::kSegmented);
    std::vector<FeedRecord> records = Records(42);
    for (size_t i = 0; i < records.size(); ++i) {
        records[i].indicator[2] = static_cast<uint8_t>(0x04 * (i % 5));
    }
    const Bytes data = EncodeFeedRecords(records);
    auto cmSlot = [&](int i) {
        return ExpectedCmSlot{records[static_cast<size_t>(i)], StoreEntry{}, ' ', 0};
    };
    auto foSlot = [&](int i) { return ExpectedFoSlot{records[static_cast<size_t>(i)], StoreEntry{}}; };
    for (const char* segment : {"CM", "FO", "XX"}) {
        SetSegment(segment);
        for (int count : {1, 2, 3, 41, 42}) {
            std::vector<Bytes> expected;
            for (int i = 0; i < count; i += 2) {
                const bool pair = i + 1 < count;
                if (std::string(segment) == "CM") {
                    expected.push_back(pair ? ExpectedCmDatagram({cmSlot(i), cmSlot(i + 1)})
                                            : ExpectedCmDatagram({cmSlot(i)}));
                } else if (std::string(segment) == "FO") {
                    expected.push_back(pair ? ExpectedFoDatagram(2, {foSlot(i), foSlot(i + 1)})
                                            : ExpectedFoDatagram(2, {foSlot(i)}));
                } else {
                    expected.push_back(ExpectedUnknownSegmentDatagram());
                }
            }
            for (const SendPath path : kAllPaths) {
                SCOPED_TRACE(std::string(segment) + " count " + std::to_string(count) + " path " +
                             std::to_string(static_cast<int>(path)));
                SetSendPath(path);
                glSentPktCount = 0;
                const std::vector<Bytes> got = SendAndCollect(data, count, expected.size());
                ASSERT_EQ(got.size(), expected.size());
                for (size_t k = 0; k < got.size(); ++k) {
                    ASSERT_EQ(got[k], expected[k]) << "datagram " << k << "\n" << HexDump(got[k]);
                }
                EXPECT_EQ(glSentPktCount.load(), static_cast<int64_t>(expected.size()));
                EXPECT_EQ(CurrentSendPath(), path) << "a working path is kept";
            }
        }
    }
    EXPECT_TRUE(Log().empty());

    // A standby instance: no path puts anything on the wire, every datagram is counted as withheld.
    SetSegment("CM");
    WriteFile(workingDir_.dir().File("BcstBridge1.standby"), "");
    InitializeRole(1);
    for (const SendPath path : kAllPaths) {
        SCOPED_TRACE(static_cast<int>(path));
        SetSendPath(path);
        glSentPktCount = 0;
        const int64_t withheld = CounterValue(kCounterWithheld);
        EXPECT_TRUE(SendAndCollect(data, 42, 0).empty());
        EXPECT_EQ(glSentPktCount.load(), 0);
        EXPECT_EQ(CounterValue(kCounterWithheld), withheld + 21);
    }
    ResetRole();
}

TEST_F(SendPaths, FailuresAreLoggedPerDatagramAndRefusedPathsFallBackOnce) {
    const Bytes data = EncodeFeedRecords(Records(42));

    // A socket that checksums nothing cannot segment: the kernel refuses the first batch, which then
    // leaves once, the next way, and the bridge stays on that way without a word in the log.
    const int noChecksum = 1;
    ASSERT_EQ(setsockopt(gSenderSocketFD, SOL_SOCKET, SO_NO_CHECK, &noChecksum, sizeof noChecksum), 0);
    SetSendPath(SendPath::kSegmented);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        glSentPktCount = 0;
        const std::vector<Bytes> got = SendAndCollect(data, 42, 21);
        ASSERT_EQ(got.size(), 21u);
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(CmSlotToken(got[k], 0), 101 + 2 * k) << "in order, none twice";
        }
        EXPECT_EQ(glSentPktCount.load(), 21);
        EXPECT_EQ(CurrentSendPath(), SendPath::kMultiMessage);
    }
    EXPECT_TRUE(Log().empty());

    // A send that fails outright on every path: one entry per datagram, nothing counted, no path
    // given up for it.
    close(gSenderSocketFD);
    for (const SendPath path : kAllPaths) {
        SCOPED_TRACE(static_cast<int>(path));
        SetSendPath(path);
        glSentPktCount = 0;
        const size_t before = Log().size();
        EXPECT_TRUE(SendAndCollect(data, 5, 0).empty());
        EXPECT_EQ(glSentPktCount.load(), 0);
        EXPECT_EQ(Log().size(), before + 3);
        EXPECT_EQ(Log().back(), kSendErrorLine);
        EXPECT_EQ(CurrentSendPath(), path);
    }
}

}  // namespace
