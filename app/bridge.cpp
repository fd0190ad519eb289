// Start-up in its fixed order (handler, instance and its locks, configuration, the store's restore, the
// role, receiver, sender, counters) and the relay loop: every datagram either goes to the frame intake or
// out again as exactly 512 bytes.
#include "app/bridge.h"

#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>

#include "app/command_line.h"
#include "app/counters.h"
#include "app/instance_lock.h"
#include "app/log.h"
#include "app/log_texts.h"
#include "app/role.h"
#include "app/statistics.h"
#include "app/tick.h"
#include "config/config.h"
#include "feed/frame.h"
#include "feed/store.h"
#include "mbp/framing.h"
#include "net/multicast.h"

namespace {

// The loop's receive buffer. The intake is told the datagram's length and reads nothing past it;
// the bytes after the datagram are kept zero all the same (what the previous datagram left beyond
// the new one's end is cleared), so nothing of one datagram ever lies behind the next.
alignas(64) char gReceiveBuffer[kReceiveBufferSize];
int gReceiveDirty = 0;

// Pass-through receives what is queued straight into the datagrams it sends on: each cut to, or
// zero-filled up to, exactly one output frame.
alignas(64) char gForwardFrames[kMaxBatchDatagrams * kOutputFrameSize];
int gForwardLengths[kMaxBatchDatagrams];

// A tick that fell due while the receive waited runs before the datagram is handled, not after it: a
// change of role then holds for every datagram received more than one tick interval after it.
inline void TickBeforeHandling() {
    TickIfDue(gCountersDatagramStart);
}

int ForwardQueuedDatagrams() {
    const int received =
        ReceiveMulticastBatch(gForwardFrames, kOutputFrameSize, kMaxBatchDatagrams, gForwardLengths);
    if (received < 0) {
        return received;
    }
    TickBeforeHandling();
    for (int i = 0; i < received; ++i) {
        char* frame = gForwardFrames + static_cast<std::ptrdiff_t>(i) * kOutputFrameSize;
        memset(frame + gForwardLengths[i], 0, static_cast<size_t>(kOutputFrameSize - gForwardLengths[i]));
    }
    // Counted as received before they are sent on, as one datagram at a time would be.
    CountPackets(glReceivedPktCount, received);
    CounterAdd(kCounterReceived, received);
    CountersDatagramAccepted();
    SendMulticastBatch(gForwardFrames, received, kOutputFrameSize);
    CountersDatagramDone();
    return gForwardLengths[0];
}

}  // namespace

int RelayOneDatagram() {
    if (gsBcastParam.NEW_MKT_DATA_FLAG != 1) {
        return ForwardQueuedDatagrams();
    }
    const int received = ReceiveMulticastData(gReceiveBuffer, kReceiveBufferSize);
    if (received < 0) {
        return received;
    }
    TickBeforeHandling();
    if (gReceiveDirty > received) {
        memset(gReceiveBuffer + received, 0, static_cast<size_t>(gReceiveDirty - received));
    }
    gReceiveDirty = received;

    ProcessNewMktData(gReceiveBuffer, received);
    CountersDatagramDone();
    return received;
}

int BridgeMain(int argc, char** argv) {
    if (argc >= 2 && strncmp(argv[1], "--", 2) == 0) {
        return RunBridgeOption(argc, argv);
    }
    // A wrong command line is not logged: no instance is known yet.
    if (argc != 2) {
        PrintBridgeUsage(stderr);
        return 1;
    }
    CatchSignal();  // a failed installation is silent; start-up goes on

    bool inRange = false;
    const int instance = ParseDecimalInt(argv[1], &inRange);
    if (!inRange || instance <= 0) {
        PrintBridgeUsage(stderr);
        return 1;
    }
    gshRunningInstanceNo = static_cast<int16_t>(static_cast<uint16_t>(instance));

    // One process per instance's files, taken before anything is written to them: the same instance
    // twice, or two numbers equal in 16 bits, would share a log, a counters file and a store.
    std::string refusal;
    if (LockInstance(gshRunningInstanceNo, &refusal) != 0 ||
        LockInstrumentStore(gshRunningInstanceNo, &refusal) != 0) {
        fprintf(stderr, "bcstbridge: instance %d not started: %s\n", instance, refusal.c_str());
        return 1;
    }

    if (ReadConfigurationFromFile(instance) != 0) {
        LogMessage(gcaLogMessage);
        return 1;
    }
    RestoreInstrumentStore(gshRunningInstanceNo, LogClockDate());
    PublishStoreFigures();
    // Before the sockets: nothing can be sent before the role is known.
    InitializeRole(gshRunningInstanceNo);
    if (InitializeRecvSocket() != 0) {
        LogMessage(gcaLogMessage);
        return 1;
    }
    LogFixedMessage(kLogReceiverReady);
    if (InitializeSendSocket() != 0) {
        close(gReceiveSocketFD);
        gReceiveSocketFD = -1;
        LogMessage(gcaLogMessage);
        return 1;
    }
    LogFixedMessage(kLogSenderReady);

    glReceivedPktCount.store(0);
    glSentPktCount.store(0);
    // Once both sockets are up: the live counters file (optional), then readiness for systemd
    // (nothing happens outside systemd).
    const uint8_t mode = gsBcastParam.NEW_MKT_DATA_FLAG == 1 ? kCountersModeRelay : kCountersModePassThrough;
    std::string countersError;
    if (CreateCountersFile(gshRunningInstanceNo, gsBcastParam.MARKET_SEGMENT, mode, &countersError) != 0) {
        LogFixedMessage(countersError.c_str());
    }
    sd_notify(0, "READY=1");
    RunRelayLoop();
}

void RunRelayLoop() {
    for (;;) {
        RelayOneDatagram();
        TickIfDue(CountersClock());
    }
}
