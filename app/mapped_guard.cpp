// SIGBUS on a truncated shared file mapping: the range becomes anonymous memory and is marked lost.
#include "app/mapped_guard.h"

#include <sys/mman.h>

#include <atomic>
#include <csignal>
#include <cstdint>

namespace {

struct GuardedMapping {
    std::atomic<uintptr_t> base{0};
    size_t length = 0;
    std::atomic<bool> lost{false};
};
constexpr int kGuardedMappings = 4;
GuardedMapping gMappings[kGuardedMappings];
bool gHandlerInstalled = false;

// Runs on the thread whose store faulted. mmap is a plain system call; replacing the pages over
// the same addresses lets the faulting store go through when the handler returns.
void OnBusError(int signalNumber, siginfo_t* info, void*) {
    const auto address = reinterpret_cast<uintptr_t>(info->si_addr);
    for (GuardedMapping& mapping : gMappings) {
        const uintptr_t base = mapping.base.load(std::memory_order_relaxed);
        if (base != 0 && address >= base && address - base < mapping.length) {
            void* replaced = mmap(reinterpret_cast<void*>(base), mapping.length, PROT_READ | PROT_WRITE,
                                  MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED | MAP_NORESERVE, -1, 0);
            if (replaced != MAP_FAILED) {
                mapping.lost.store(true, std::memory_order_relaxed);
                return;
            }
        }
    }
    // Not ours (or no memory to replace it with): the default action, as for any other fault.
    signal(signalNumber, SIG_DFL);
}

}  // namespace

int GuardMapping(void* base, size_t length) {
    if (!gHandlerInstalled) {
        struct sigaction action = {};
        action.sa_sigaction = OnBusError;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_SIGINFO | SA_RESTART;
        if (sigaction(SIGBUS, &action, nullptr) != 0) {
            return 1;
        }
        gHandlerInstalled = true;
    }
    for (GuardedMapping& mapping : gMappings) {
        if (mapping.base.load(std::memory_order_relaxed) == 0) {
            mapping.length = length;
            mapping.lost.store(false, std::memory_order_relaxed);
            mapping.base.store(reinterpret_cast<uintptr_t>(base), std::memory_order_release);
            return 0;
        }
    }
    return 1;
}

void UnguardMapping(void* base) {
    for (GuardedMapping& mapping : gMappings) {
        if (mapping.base.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(base)) {
            mapping.base.store(0, std::memory_order_relaxed);
            mapping.lost.store(false, std::memory_order_relaxed);
        }
    }
}

bool MappingLost(const void* base) {
    for (const GuardedMapping& mapping : gMappings) {
        if (mapping.base.load(std::memory_order_relaxed) == reinterpret_cast<uintptr_t>(base)) {
            return mapping.lost.load(std::memory_order_relaxed);
        }
    }
    return false;
}
