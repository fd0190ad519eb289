// Start-up in its fixed order (handler, instance and its locks, configuration, the store's restore, the
// role, receiver, sender, counters), then the relay loop.
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
#include "app/relay.h"
#include "app/role.h"
#include "app/statistics.h"
#include "app/tick.h"
#include "config/config.h"
#include "feed/store.h"
#include "net/multicast.h"

int BridgeMain(int argc, char** argv) {
    const bool busyPoll = TakeBusyPollOption(&argc, argv);
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
    ChooseOutputSegment(gsBcastParam.MARKET_SEGMENT);
    RestoreInstrumentStore(gshRunningInstanceNo, LogClockDate());
    PublishStoreFigures();
    // Before the sockets: nothing can be sent before the role is known.
    InitializeRole(gshRunningInstanceNo);
    // Before the sockets' entries, so that the sender's line still ends the start-up.
    if (busyPoll) {
        SetReceivePolling(true);
        LogFixedMessage(kLogBusyPolling);
    }
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
    CountersSetSendPath(static_cast<uint8_t>(CurrentSendPath()));

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
