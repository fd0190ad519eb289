// The standby role: what the file says, asked by the relay step before every send.
#include "app/role.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "app/counters.h"
#include "app/log.h"
#include "app/log_texts.h"

namespace {

// Formatted once at start-up, so the tick's stat allocates nothing.
char gStandbyPath[32] = "";
bool gStandby = false;

enum class FileState { kPresent, kAbsent, kUnknown };

FileState StandbyFileState() {
    struct stat status;
    if (stat(gStandbyPath, &status) == 0) {
        return FileState::kPresent;
    }
    return errno == ENOENT || errno == ENOTDIR ? FileState::kAbsent : FileState::kUnknown;
}

void TakeRole(bool standby) {
    gStandby = standby;
    CounterSet(kCounterStandby, standby ? 1 : 0);
}

}  // namespace

void InitializeRole(int16_t instance) {
    snprintf(gStandbyPath, sizeof gStandbyPath, "BcstBridge%d.standby", instance);
    const FileState state = StandbyFileState();
    const int error = errno;
    TakeRole(state != FileState::kAbsent);
    if (state == FileState::kPresent) {
        LogFormattedMessage(kLogRoleStandbyAtStart, gStandbyPath);
    } else if (state == FileState::kUnknown) {
        LogFormattedMessage(kLogRoleUnknownAtStart, gStandbyPath, strerror(error));
    }
}

void RoleTick(int64_t nowNs) {
    if (gStandbyPath[0] == '\0') {
        return;
    }
    const FileState state = StandbyFileState();
    if (state == FileState::kUnknown || (state == FileState::kPresent) == gStandby) {
        return;
    }
    const bool standby = state == FileState::kPresent;
    TakeRole(standby);
    CounterAdd(kCounterRoleChanges);
    CounterSet(kCounterRoleChangedNs, nowNs);
    if (standby) {
        LogFormattedMessage(kLogRoleStandby, gStandbyPath);
    } else {
        LogFormattedMessage(kLogRoleActive, gStandbyPath,
                            static_cast<long long>(CounterValue(kCounterWithheld)));
    }
}

bool WithholdSend(int datagrams) {
    if (!gStandby) {
        return false;
    }
    CounterAdd(kCounterWithheld, datagrams);
    return true;
}

void ResetRole() {
    gStandbyPath[0] = '\0';
    TakeRole(false);
}
