// Which process wrote a file: a process's identity from /proc, so that a pid reused by a later process
// is not taken for the writer.
#pragma once

#include <cstdint>

// The start of process `pid` (0: this process) in clock ticks after boot, field 22 of /proc/<pid>/stat:
// what tells the process that wrote a file from a later one that got the same pid. False when the file
// cannot be read, with the errno of opening it in `*openError` (0 when it opened but held no field 22).
// `state` (when given) gets the process's state letter, field 3 ('Z' for a zombie).
bool ProcessStartTicks(int32_t pid, uint64_t* ticks, int* openError, char* state = nullptr);

// Whether `pid` is still the process that started at `startTicks` (0: any process with the pid): a pid
// that is gone, a zombie, or a pid that a later process took over, is not running.
bool ProcessRunning(int32_t pid, uint64_t startTicks);
