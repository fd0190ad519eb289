// The instance's only reporting channel: time-stamped entries in its daily log file.
#pragma once

#include <atomic>
#include <cstdint>
#include <ctime>

constexpr int kLogMessageSize = 1024;

extern char gcaLogMessage[kLogMessageSize];  // every report is composed here, then LogMessage()
extern int16_t gshRunningInstanceNo;         // instance number reduced to 16 bits; names the log

// Appends "\n<h>:<m>:<s> - <message>" to BcstBridge<instance>_<day>_<month>_<year>.log in the working
// directory, in local time, then clears gcaLogMessage. 1 (buffer kept) for a null message or when the
// file cannot be opened. The message is written as data, whatever its length.
int LogMessage(char* message);

// Copies `text` into gcaLogMessage and logs it.
void LogFixedMessage(const char* text);

// Formats into gcaLogMessage and logs it.
void LogFormattedMessage(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Local time broken down to what log names and entries need.
struct LogClock {
    int year, month, day, hour, minute, second;
};

// Local time from an epoch second and an offset from UTC, by integer arithmetic only, so that a
// signal handler can use it.
LogClock BreakDownLocalTime(time_t epochSeconds, long offsetFromUtc);

// Refreshes the UTC offset that the signal handler uses for its time stamps (also done by every
// LogMessage).
void RefreshLocalTimeOffset();

// Appends one log entry for `clock` in a single write; async-signal-safe. 0 on success, 1 otherwise.
int AppendLogEntry(const LogClock& clock, const char* message, size_t length);

// Logs `text` with the current time without touching gcaLogMessage; async-signal-safe.
int LogFromSignalHandler(const char* text);
