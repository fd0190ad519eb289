// The instance's only reporting channel: time-stamped entries in its daily log file.
#pragma once

#include <sys/uio.h>

#include <atomic>
#include <cstdint>
#include <ctime>

constexpr int kLogMessageSize = 1024;

extern char gcaLogMessage[kLogMessageSize];  // every report is composed here, then LogMessage()
extern int16_t gshRunningInstanceNo;         // instance number reduced to 16 bits; names the log

// Copies of one message text beyond this many within one second are not written; once the second is
// over one entry "<text> (repeated N more times)" stands for them, written at the next entry or, when
// none comes, by LogTick.
constexpr int kLogRepeatLimit = 100;

// Appends "\n<h>:<m>:<s> - <message>" to BcstBridge<instance>_<day>_<month>_<year>.log in the working
// directory, in local time, then clears gcaLogMessage. The file stays open between entries and is
// opened anew when the name changes (a new day) or the file was moved or deleted. 1 (buffer kept)
// for a null message or when the file cannot be opened; the entry then goes to standard error. A
// copy held back as a repeat counts as written. The message is written as data, whatever its length.
int LogMessage(char* message);

// Copies `text` into gcaLogMessage and logs it.
void LogFixedMessage(const char* text);

// Formats into gcaLogMessage and logs it.
void LogFormattedMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The log's chore in the loop's tick: counts the statistics handler's entries that missed the file,
// and once the second in which copies were held back is over, writes their summaries (at once, when
// no entry came to do it). Costs two loads and a test when there is nothing to do.
void LogTick();

// Forgets the copies counted in the current second without writing their summaries: a fresh start
// for a test.
void ForgetLogRepeats();

// Local time broken down to what log names and entries need.
struct LogClock {
    int year, month, day, hour, minute, second;
};

// The log's clock, seconds since the epoch; read by the statistics handler too, so it must be
// async-signal-safe. Tests set one of their own to cross a date change.
using LogTimeSource = time_t (*)();
extern LogTimeSource gLogTimeSource;

// The local date of the log's clock as yyyymmdd: the day the instrument store's file is of.
uint32_t LogClockDate();

// Local time from an epoch second and an offset from UTC, by integer arithmetic only, so that a
// signal handler can use it.
LogClock BreakDownLocalTime(time_t epochSeconds, long offsetFromUtc);

// Refreshes the UTC offset that the signal handler uses for its time stamps (also done by every
// LogMessage).
void RefreshLocalTimeOffset();

// Appends one log entry for `clock` through a descriptor of its own, in a single write;
// async-signal-safe. 0 on success, 1 otherwise (the entry then goes to standard error, and is counted
// by the next LogTick: a signal handler writes no counter).
int AppendLogEntry(const LogClock& clock, const char* message, size_t length);

// Logs `text` with the current time without touching gcaLogMessage; async-signal-safe. When it
// interrupts the relay thread while that writes entries (LogMessage, LogTick), the entry is written
// as soon as those are done.
int LogFromSignalHandler(const char* text);

// Appends the parts to the append-mode file `fd` in one write. A short write (a full disk) is cut off
// again when nothing else was appended behind it, so the next entry or line never continues a cut
// one. Async-signal-safe. 0 when everything was written.
int AppendWhole(int fd, struct iovec* parts, int count);
