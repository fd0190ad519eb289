// Invariant: any BCSTBRIDGE.INI reads safely; texts end inside their fields; 0, or 1 with a known message.
//
// Input: the whole configuration file, read for instances 1, 2 and 3 in turn, each time into an
// all-zero record as at start-up.
#include <fcntl.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "app/log.h"
#include "config/config.h"
#include "fuzz/scratch_dir.h"

namespace {

bcst::ScratchDir& Scratch() {
    static bcst::ScratchDir dir;
    return dir;
}

void WriteConfiguration(const uint8_t* data, size_t size) {
    const int fd = openat(Scratch().fd(), kConfigFileName, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        __builtin_trap();
    }
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, data + done, size - done);
        if (n <= 0) {
            __builtin_trap();
        }
        done += static_cast<size_t>(n);
    }
    close(fd);
}

template <size_t N>
bool Terminated(const char (&field)[N]) {
    return memchr(field, '\0', N) != nullptr;
}

// Lines as a line reader sees them: each line feed ends one, and a last line without one counts.
size_t LineCount(const uint8_t* data, size_t size) {
    size_t lines = 0;
    for (size_t i = 0; i < size; ++i) {
        lines += data[i] == '\n';
    }
    return lines + (size > 0 && data[size - 1] != '\n' ? 1 : 0);
}

bool KnownFailure(int instance) {
    char missing[kLogMessageSize];
    snprintf(missing, sizeof missing, "Input instance %d not available in BCSTBRIDGE.INI config file",
             instance);
    const char* const known[] = {
        "Error while opening BCSTBRIDGE.INI config file",
        "Error during copying config parameters into Global Structure",
        "Error during copying last config parameters into Global Structure",
        missing,
    };
    for (const char* text : known) {
        if (strcmp(gcaLogMessage, text) == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    gshRunningInstanceNo = 1;
    WriteConfiguration(data, size);
    const size_t lines = LineCount(data, size);

    Scratch().Enter();
    for (int instance = 1; instance <= 3; ++instance) {
        memset(&gsBcastParam, 0, sizeof gsBcastParam);
        memset(gcaLogMessage, 0, sizeof gcaLogMessage);
        const int result = ReadConfigurationFromFile(instance);

        const BCAST_PARAM& p = gsBcastParam;
        if (!Terminated(p.MARKET_SEGMENT) || !Terminated(p.RECV_MULTICAST_ADDR) ||
            !Terminated(p.SEND_MULTICAST_ADDR) || !Terminated(p.LOCAL_IP_TO_HOST) ||
            !Terminated(p.LOCAL_IP_TO_VELT)) {
            __builtin_trap();
        }
        if (p.NEW_MKT_DATA_FLAG != 0 && p.NEW_MKT_DATA_FLAG != 1) {
            __builtin_trap();
        }
        if (result == 1) {
            if (!KnownFailure(instance)) {
                __builtin_trap();
            }
        } else if (result == 0) {
            // Every successful path ends with a logged entry, which clears the message buffer.
            if (gcaLogMessage[0] != '\0') {
                __builtin_trap();
            }
        } else {
            __builtin_trap();
        }
        // The record line is there exactly when the instance's line exists.
        const bool missing = strncmp(gcaLogMessage, "Input instance", 14) == 0;
        if (missing != (lines < static_cast<size_t>(instance) + 1)) {
            __builtin_trap();
        }
    }
    Scratch().Leave();
    Scratch().Clear();
    return 0;
}
