// Log writer: one append-mode open, one write and one close per entry, so a day change moves to a
// new file and nothing stays open between entries.
#include "app/log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/text.h"

char gcaLogMessage[kLogMessageSize];
int16_t gshRunningInstanceNo;

namespace {

// Seconds east of UTC, kept by the relay thread for the statistics handler, which cannot call
// localtime.
std::atomic<long> gLocalTimeOffset{0};
static_assert(std::atomic<long>::is_always_lock_free, "read from a signal handler");

long OffsetOf(time_t now, struct tm* local) {
    localtime_r(&now, local);
    return local->tm_gmtoff;
}

}  // namespace

LogClock BreakDownLocalTime(time_t epochSeconds, long offsetFromUtc) {
    const int64_t local = static_cast<int64_t>(epochSeconds) + offsetFromUtc;
    int64_t days = local / 86400;
    int64_t secondsOfDay = local % 86400;
    if (secondsOfDay < 0) {
        secondsOfDay += 86400;
        days -= 1;
    }
    // Civil date from days since 1970-01-01 (proleptic Gregorian, eras of 400 years).
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const int64_t dayOfEra = days - era * 146097;
    const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const int64_t monthIndex = (5 * dayOfYear + 2) / 153;
    LogClock clock;
    clock.day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    clock.month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    clock.year = static_cast<int>(yearOfEra + era * 400 + (clock.month <= 2 ? 1 : 0));
    clock.hour = static_cast<int>(secondsOfDay / 3600);
    clock.minute = static_cast<int>(secondsOfDay / 60 % 60);
    clock.second = static_cast<int>(secondsOfDay % 60);
    return clock;
}

void RefreshLocalTimeOffset() {
    struct tm local;
    gLocalTimeOffset.store(OffsetOf(time(nullptr), &local), std::memory_order_relaxed);
}

int AppendLogEntry(const LogClock& clock, const char* message, size_t length) {
    char name[96];
    bcst::TextBuffer file{name, sizeof name - 1};
    file.Append("BcstBridge");
    file.AppendDecimal(gshRunningInstanceNo);
    file.Put('_');
    file.AppendDecimal(clock.day);
    file.Put('_');
    file.AppendDecimal(clock.month);
    file.Put('_');
    file.AppendDecimal(clock.year);
    file.Append(".log");
    name[file.length] = '\0';

    char stamp[32];
    bcst::TextBuffer head{stamp, sizeof stamp};
    head.Put('\n');
    head.AppendDecimal(clock.hour);
    head.Put(':');
    head.AppendDecimal(clock.minute);
    head.Put(':');
    head.AppendDecimal(clock.second);
    head.Append(" - ");

    const int saved = errno;
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        errno = saved;
        return 1;
    }
    // One gathering write: an entry written by the statistics handler cannot land inside another.
    struct iovec parts[2] = {{stamp, head.length}, {const_cast<char*>(message), length}};
    const ssize_t want = static_cast<ssize_t>(head.length + length);
    ssize_t written = writev(fd, parts, 2);
    while (written < 0 && errno == EINTR) {
        written = writev(fd, parts, 2);
    }
    close(fd);
    errno = saved;
    return written == want ? 0 : 1;
}

int LogMessage(char* message) {
    if (message == nullptr) {
        return 1;
    }
    struct tm local;
    const time_t now = time(nullptr);
    gLocalTimeOffset.store(OffsetOf(now, &local), std::memory_order_relaxed);
    const LogClock clock{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                         local.tm_hour,        local.tm_min,     local.tm_sec};
    if (AppendLogEntry(clock, message, strlen(message)) != 0) {
        return 1;
    }
    memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    return 0;
}

int LogFromSignalHandler(const char* text) {
    const LogClock clock =
        BreakDownLocalTime(time(nullptr), gLocalTimeOffset.load(std::memory_order_relaxed));
    return AppendLogEntry(clock, text, strlen(text));
}

void LogFixedMessage(const char* text) {
    snprintf(gcaLogMessage, sizeof gcaLogMessage, "%s", text);
    LogMessage(gcaLogMessage);
}

void LogFormattedMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(gcaLogMessage, sizeof gcaLogMessage, format, args);
    va_end(args);
    LogMessage(gcaLogMessage);
}
