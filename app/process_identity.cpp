// A process's identity as /proc shows it.
#include "app/process_identity.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool ProcessStartTicks(int32_t pid, uint64_t* ticks, int* openError, char* state) {
    char path[64];
    if (pid == 0) {
        snprintf(path, sizeof path, "/proc/self/stat");
    } else {
        snprintf(path, sizeof path, "/proc/%d/stat", pid);
    }
    *openError = 0;
    const int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *openError = errno;
        return false;
    }
    char text[1024];
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0) {
        return false;
    }
    text[n] = '\0';
    const char* field = strrchr(text, ')');  // the command name may hold blanks and parentheses
    if (state != nullptr && field != nullptr && field[1] == ' ') {
        *state = field[2];  // field 3
    }
    for (int i = 2; field != nullptr && i < 22; ++i) {
        field = strchr(field + 1, ' ');
    }
    if (field == nullptr) {
        return false;
    }
    *ticks = strtoull(field + 1, nullptr, 10);
    return true;
}

bool ProcessRunning(int32_t pid, uint64_t startTicks) {
    if (pid <= 0 || (kill(pid, 0) != 0 && errno != EPERM)) {
        return false;
    }
    uint64_t ticks = 0;
    int openError = 0;
    char state = '?';
    if (!ProcessStartTicks(pid, &ticks, &openError, &state)) {
        return openError != 0 && openError != ENOENT;  // hidden from us (hidepid): the signal test has to do
    }
    // A killed process that its parent has not yet reaped still has its pid, but runs no more.
    return (startTicks == 0 || ticks == startTicks) && state != 'Z' && state != 'X';
}
