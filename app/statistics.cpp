// SIGUSR1 statistics report. Runs inside the signal handler, so it uses only async-signal-safe calls:
// its own formatting, open/write/close, and the log writer's signal-safe entry path, which never
// touches the descriptor the relay thread keeps open.
#include "app/statistics.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "app/log.h"
#include "app/log_texts.h"
#include "app/text.h"

std::atomic<int64_t> glReceivedPktCount{0};
std::atomic<int64_t> glSentPktCount{0};

int FormatStatisticsLine(char* out, int16_t instance, int64_t received, int64_t sent) {
    bcst::TextBuffer line{out, kStatisticsLineMax};
    line.Append("Host");
    line.AppendDecimal(instance);
    line.Put(',');
    line.AppendDecimal(received, 15);
    line.Put(',');
    line.AppendDecimal(sent, 15);
    line.Append(", Running\n");
    return static_cast<int>(line.length);
}

void SignalHandler(int signalNumber) {
    if (signalNumber != SIGUSR1) {
        return;
    }
    const int saved = errno;
    const int fd = open(kStatisticsFileName, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        LogFromSignalHandler(kLogStatisticsOpenError);
        errno = saved;
        return;
    }
    char line[kStatisticsLineMax];
    const int length =
        FormatStatisticsLine(line, gshRunningInstanceNo, glReceivedPktCount.load(std::memory_order_relaxed),
                             glSentPktCount.load(std::memory_order_relaxed));
    // One write: lines of instances sharing the file never interleave, and a line cut by a full disk
    // is taken off again, so the next report does not continue it.
    struct iovec whole = {line, static_cast<size_t>(length)};
    AppendWhole(fd, &whole, 1);
    close(fd);
    errno = saved;
}

int CatchSignal() {
    RefreshLocalTimeOffset();
    struct sigaction action = {};
    action.sa_handler = SignalHandler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;  // a receive interrupted by the report resumes, never fails
    return sigaction(SIGUSR1, &action, nullptr) == 0 ? 0 : 1;
}
