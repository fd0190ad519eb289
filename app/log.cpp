// Log writer. The relay thread keeps the day's file open and writes each entry with one write; a
// new day's name, or a file moved or deleted under it, opens the file anew. Copies of one text beyond
// kLogRepeatLimit a second are counted instead of written, so a flood of refused frames costs a
// comparison, not a write, and cannot fill the disk; the loop's tick writes their summary when the
// second is over. The statistics handler writes through a descriptor of its own.
#include "app/log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "app/counters.h"
#include "app/log_texts.h"
#include "app/text.h"

char gcaLogMessage[kLogMessageSize];
int16_t gshRunningInstanceNo;

namespace {

time_t RealTime() {
    return time(nullptr);
}

// Seconds east of UTC, kept by the relay thread for the statistics handler, which cannot call
// localtime.
std::atomic<long> gLocalTimeOffset{0};
static_assert(std::atomic<long>::is_always_lock_free, "read from a signal handler");

constexpr size_t kLogNameSize = 96;
constexpr size_t kStampSize = 32;

// The relay thread's open log file, with the name and identity it was opened under.
struct OpenLogFile {
    int fd = -1;
    char name[kLogNameSize];
    dev_t device;
    ino_t inode;
};
OpenLogFile gLogFile;

// One text's copies in the current second.
struct RepeatSlot {
    size_t length;
    long copies;
    uint64_t lastUse;
    char text[kLogMessageSize];
};
// Texts tracked per second; a flood comes from a handful of fixed texts, and a text beyond these
// slots is simply written.
constexpr int kRepeatSlots = 16;
RepeatSlot gRepeats[kRepeatSlots];
int gRepeatSlotsUsed = 0;
time_t gRepeatSecond = 0;
uint64_t gRepeatUses = 0;   // orders the slots by their last use
bool gRepeatsHeld = false;  // some text of gRepeatSecond went over the limit

// Set while the relay thread writes entries (LogMessage, LogTick), where the repeat table and the
// open file change. A statistics handler that interrupts it leaves its entry to be written right
// after, so that nothing lands inside a write or its repair.
std::atomic<int> gInRelayWrites{0};
std::atomic<const char*> gDeferredSignalText{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "set from a signal handler");

size_t FormLogFileName(const LogClock& clock, char* name) {
    bcst::TextBuffer file{name, kLogNameSize - 1};
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
    return file.length;
}

size_t FormStamp(const LogClock& clock, char* stamp) {
    bcst::TextBuffer head{stamp, kStampSize};
    head.Put('\n');
    head.AppendDecimal(clock.hour);
    head.Put(':');
    head.AppendDecimal(clock.minute);
    head.Put(':');
    head.AppendDecimal(clock.second);
    head.Append(" - ");
    return head.length;
}

// The fallback when the log file cannot be opened: the service manager's journal takes standard
// error. One line per entry, without the leading newline of the file's format. False when it could not
// be written there either.
bool WriteToStandardError(const char* stamp, size_t stampLength, const char* message, size_t length) {
    struct iovec parts[3] = {{const_cast<char*>(stamp + 1), stampLength - 1},
                             {const_cast<char*>(message), length},
                             {const_cast<char*>("\n"), 1}};
    ssize_t written;
    do {
        written = writev(STDERR_FILENO, parts, 3);
    } while (written < 0 && errno == EINTR);
    return written == static_cast<ssize_t>(stampLength - 1 + length + 1);
}

// Entries of the statistics handler that went to standard error or were lost: the handler only
// counts them here, and the relay thread, the counters' only writer, adds them at its next tick.
std::atomic<int64_t> gSignalEntriesDiverted{0};
std::atomic<int64_t> gSignalEntriesLost{0};
static_assert(std::atomic<int64_t>::is_always_lock_free, "counted from a signal handler");

// The relay thread's write of one entry through the kept-open file.
int WriteRelayEntry(const LogClock& clock, const char* message, size_t length) {
    char name[kLogNameSize];
    FormLogFileName(clock, name);
    char stamp[kStampSize];
    const size_t stampLength = FormStamp(clock, stamp);
    const int saved = errno;

    if (gLogFile.fd >= 0) {
        // A stat per entry: a file renamed or deleted by an operator (or a new working directory)
        // is noticed at the very next entry, and no entry goes to a file nobody can find.
        struct stat now;
        if (strcmp(name, gLogFile.name) != 0 || stat(name, &now) != 0 || now.st_ino != gLogFile.inode ||
            now.st_dev != gLogFile.device) {
            close(gLogFile.fd);
            gLogFile.fd = -1;
        }
    }
    if (gLogFile.fd < 0) {
        gLogFile.fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
        struct stat opened;
        if (gLogFile.fd >= 0 && fstat(gLogFile.fd, &opened) == 0) {
            memcpy(gLogFile.name, name, sizeof name);
            gLogFile.device = opened.st_dev;
            gLogFile.inode = opened.st_ino;
        } else if (gLogFile.fd >= 0) {
            close(gLogFile.fd);
            gLogFile.fd = -1;
        }
    }
    int result = 1;
    if (gLogFile.fd >= 0) {
        struct iovec parts[2] = {{stamp, stampLength}, {const_cast<char*>(message), length}};
        result = AppendWhole(gLogFile.fd, parts, 2);
    }
    // An entry the file could not take (not opened, or a full disk) goes to standard error, and is
    // counted either way: as diverted, or as lost when standard error could not take it either.
    if (result != 0) {
        CounterAdd(WriteToStandardError(stamp, stampLength, message, length) ? kCounterLogToStandardError
                                                                             : kCounterLogLost);
    }
    errno = saved;
    return result;
}

LogClock LocalClock(time_t now) {
    struct tm local;
    localtime_r(&now, &local);
    gLocalTimeOffset.store(local.tm_gmtoff, std::memory_order_relaxed);
    return LogClock{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday,
                    local.tm_hour,        local.tm_min,     local.tm_sec};
}

// Appends the summary of every text held back in the ended second.
void WriteRepeatSummaries(time_t now) {
    const LogClock clock = LocalClock(now);
    for (int i = 0; i < gRepeatSlotsUsed; ++i) {
        const RepeatSlot& slot = gRepeats[i];
        if (slot.copies <= kLogRepeatLimit) {
            continue;
        }
        char summary[kLogMessageSize + 48];
        bcst::TextBuffer line{summary, sizeof summary};
        line.Append(slot.text, slot.length);
        line.Append(kLogRepeatedBefore);
        line.AppendDecimal(slot.copies - kLogRepeatLimit);
        line.Append(kLogRepeatedAfter);
        WriteRelayEntry(clock, summary, line.length);
    }
}

// A new second: the summaries of the one that ended, then every text starts again from none.
void StartSecond(time_t now) {
    if (gRepeatsHeld) {
        gRepeatsHeld = false;
        WriteRepeatSummaries(now);
    }
    gRepeatSlotsUsed = 0;
    gRepeatSecond = now;
}

// The relay thread's own writes begin: a statistics handler's entry waits until they end.
void EnterRelayWrites() {
    gInRelayWrites.store(1, std::memory_order_relaxed);
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

// ... and end, with the entry of a statistics handler that came meanwhile.
void LeaveRelayWrites() {
    std::atomic_signal_fence(std::memory_order_seq_cst);
    gInRelayWrites.store(0, std::memory_order_relaxed);
    if (gDeferredSignalText.load(std::memory_order_relaxed) != nullptr) {
        LogFromSignalHandler(gDeferredSignalText.exchange(nullptr));
    }
}

// Counts this copy of the text; true when it goes over the limit and is to be held back.
bool HoldBack(const char* message, size_t length) {
    for (int i = 0; i < gRepeatSlotsUsed; ++i) {
        RepeatSlot& slot = gRepeats[i];
        if (slot.length == length && memcmp(slot.text, message, length) == 0) {
            slot.lastUse = ++gRepeatUses;
            if (++slot.copies <= kLogRepeatLimit) {
                return false;
            }
            CounterAdd(kCounterLogHeldBack);
            gRepeatsHeld = true;
            return true;
        }
    }
    if (length >= sizeof gRepeats[0].text) {
        return false;
    }
    // A new text takes a free slot, or else the least recently logged one still under the limit (the
    // start-up alone logs more distinct texts than there are slots); forgetting such a text only
    // restarts its count.
    int chosen = -1;
    if (gRepeatSlotsUsed < kRepeatSlots) {
        chosen = gRepeatSlotsUsed++;
    } else {
        for (int i = 0; i < kRepeatSlots; ++i) {
            if (gRepeats[i].copies <= kLogRepeatLimit &&
                (chosen < 0 || gRepeats[i].lastUse < gRepeats[chosen].lastUse)) {
                chosen = i;
            }
        }
    }
    if (chosen >= 0) {
        RepeatSlot& slot = gRepeats[chosen];
        memcpy(slot.text, message, length);
        slot.length = length;
        slot.copies = 1;
        slot.lastUse = ++gRepeatUses;
    }
    return false;
}

}  // namespace

LogTimeSource gLogTimeSource = RealTime;

uint32_t LogClockDate() {
    const time_t now = gLogTimeSource();
    struct tm local;
    localtime_r(&now, &local);
    return static_cast<uint32_t>((local.tm_year + 1900) * 10000 + (local.tm_mon + 1) * 100 + local.tm_mday);
}

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
    LocalClock(gLogTimeSource());
}

int AppendWhole(int fd, struct iovec* parts, int count) {
    ssize_t want = 0;
    for (int i = 0; i < count; ++i) {
        want += static_cast<ssize_t>(parts[i].iov_len);
    }
    ssize_t written;
    do {
        written = writev(fd, parts, count);
    } while (written < 0 && errno == EINTR);
    if (written == want) {
        return 0;
    }
    if (written > 0) {
        // Part of it went in before the disk filled up. In append mode the file offset now lies just
        // past those bytes; they are cut off again unless someone else has appended behind them.
        const off_t end = lseek(fd, 0, SEEK_CUR);
        struct stat now;
        if (end >= written && fstat(fd, &now) == 0 && now.st_size == end) {
            if (ftruncate(fd, end - written) != 0) {
                // Nothing more can be done about a file that cannot be truncated either.
            }
        }
    }
    return 1;
}

int AppendLogEntry(const LogClock& clock, const char* message, size_t length) {
    char name[kLogNameSize];
    FormLogFileName(clock, name);
    char stamp[kStampSize];
    const size_t stampLength = FormStamp(clock, stamp);

    const int saved = errno;
    const int fd = open(name, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0666);
    // One gathering write: an entry written by the statistics handler cannot land inside another.
    struct iovec parts[2] = {{stamp, stampLength}, {const_cast<char*>(message), length}};
    const int result = fd < 0 ? 1 : AppendWhole(fd, parts, 2);
    if (fd >= 0) {
        close(fd);
    }
    if (result != 0) {
        const bool diverted = WriteToStandardError(stamp, stampLength, message, length);
        (diverted ? gSignalEntriesDiverted : gSignalEntriesLost).fetch_add(1, std::memory_order_relaxed);
    }
    errno = saved;
    return result;
}

int LogMessage(char* message) {
    if (message == nullptr) {
        return 1;
    }
    EnterRelayWrites();
    const time_t now = gLogTimeSource();
    if (now != gRepeatSecond) {
        StartSecond(now);
    }
    const size_t length = strlen(message);
    int result = 0;
    if (!HoldBack(message, length)) {
        result = WriteRelayEntry(LocalClock(now), message, length);
    }
    LeaveRelayWrites();
    if (result != 0) {
        return 1;
    }
    memset(gcaLogMessage, 0, sizeof gcaLogMessage);
    return 0;
}

void LogTick() {
    if (gSignalEntriesDiverted.load(std::memory_order_relaxed) != 0 ||
        gSignalEntriesLost.load(std::memory_order_relaxed) != 0) {
        CounterAdd(kCounterLogToStandardError, gSignalEntriesDiverted.exchange(0, std::memory_order_relaxed));
        CounterAdd(kCounterLogLost, gSignalEntriesLost.exchange(0, std::memory_order_relaxed));
    }
    if (!gRepeatsHeld) {
        return;
    }
    const time_t now = gLogTimeSource();
    if (now != gRepeatSecond) {
        EnterRelayWrites();
        StartSecond(now);
        LeaveRelayWrites();
    }
}

void ForgetLogRepeats() {
    gRepeatsHeld = false;
    gRepeatSlotsUsed = 0;
}

int LogFromSignalHandler(const char* text) {
    if (gInRelayWrites.load() != 0) {
        gDeferredSignalText.store(text);
        return 0;
    }
    const LogClock clock =
        BreakDownLocalTime(gLogTimeSource(), gLocalTimeOffset.load(std::memory_order_relaxed));
    return AppendLogEntry(clock, text, strlen(text));
}

void LogFixedMessage(const char* text) {
    // A copy, not a format: refusals in a flood come through here.
    const size_t length = strnlen(text, sizeof gcaLogMessage - 1);
    memmove(gcaLogMessage, text, length);
    gcaLogMessage[length] = '\0';
    LogMessage(gcaLogMessage);
}

void LogFormattedMessage(const char* format, ...) {
    va_list args;
    va_start(args, format);
    vsnprintf(gcaLogMessage, sizeof gcaLogMessage, format, args);
    va_end(args);
    LogMessage(gcaLogMessage);
}
