// Packet counters and the SIGUSR1 statistics report appended to UDP_STATISTICS.txt.
#pragma once

#include <atomic>
#include <cstdint>

// Written only by the relay thread, read by the statistics handler: lock-free so the handler never
// sees a torn value.
extern std::atomic<int64_t> glReceivedPktCount;
extern std::atomic<int64_t> glSentPktCount;
static_assert(std::atomic<int64_t>::is_always_lock_free, "counters are read from a signal handler");

// Single-writer increment: the relay thread is the only writer, so no locked instruction is needed.
inline void CountPacket(std::atomic<int64_t>& counter) {
    counter.store(counter.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
}
inline void CountPackets(std::atomic<int64_t>& counter, int64_t count) {
    counter.store(counter.load(std::memory_order_relaxed) + count, std::memory_order_relaxed);
}

constexpr char kStatisticsFileName[] = "UDP_STATISTICS.txt";

// Installs SignalHandler for SIGUSR1 with restart semantics. 0 on success, 1 on failure.
int CatchSignal();

// On SIGUSR1 appends "Host%d,%15ld,%15ld, Running\n" in one write; every other signal is ignored here.
void SignalHandler(int signalNumber);

// Composes the statistics line into `out` (at least kStatisticsLineMax bytes); returns its length.
constexpr int kStatisticsLineMax = 80;
int FormatStatisticsLine(char* out, int16_t instance, int64_t received, int64_t sent);
