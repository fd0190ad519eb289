// Shared file mappings: their creation, their guard (SIGBUS on a truncated file: the range becomes
// anonymous memory and is marked lost), what became of their files and their keeper, and the bounded
// whole-file read.
#include "app/mapped_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>

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

int CreateMappedFile(const std::string& name, size_t size, size_t mapLength, bool lock, NewMappedFile* file,
                     const char** what) {
    file->temporary = name + "." + std::to_string(getpid()) + ".tmp";
    file->mapLength = mapLength;
    file->fd = open(file->temporary.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    if (file->fd < 0) {
        *what = "open";
        return 1;
    }
    int error = 0;
    if (lock && flock(file->fd, LOCK_EX | LOCK_NB) != 0) {
        error = errno;
        *what = "lock";
    }
    if (error == 0) {
        error = posix_fallocate(file->fd, 0, static_cast<off_t>(size));
        *what = "reserve";
    }
    if (error == 0) {
        void* mapping = mmap(nullptr, mapLength, PROT_READ | PROT_WRITE, MAP_SHARED, file->fd, 0);
        error = mapping == MAP_FAILED ? errno : 0;
        *what = "map";
        file->mapping = mapping == MAP_FAILED ? nullptr : mapping;
    }
    if (error != 0) {
        close(file->fd);
        unlink(file->temporary.c_str());
        file->fd = -1;
        errno = error;
        return 1;
    }
    GuardMapping(file->mapping, mapLength);
    return 0;
}

int PublishMappedFile(NewMappedFile* file, const std::string& name, struct stat* identity,
                      const char** what) {
    if (rename(file->temporary.c_str(), name.c_str()) == 0 && stat(name.c_str(), identity) == 0) {
        return 0;
    }
    const int error = errno;
    UnguardMapping(file->mapping);
    munmap(file->mapping, file->mapLength);
    close(file->fd);
    unlink(file->temporary.c_str());
    file->mapping = nullptr;
    file->fd = -1;
    *what = "rename";
    errno = error;
    return 1;
}

const char* MappedFileChange(const std::string& name, const void* mapping, const struct stat& identity,
                             size_t size) {
    if (MappingLost(mapping)) {
        return "truncated";
    }
    struct stat named;
    if (stat(name.c_str(), &named) != 0) {
        return "removed";
    }
    if (named.st_ino != identity.st_ino || named.st_dev != identity.st_dev) {
        return "replaced";
    }
    return static_cast<size_t>(named.st_size) < size ? "truncated" : nullptr;
}

MappedFileVerdict KeepMappedFile(MappedFileKeeper* keeper, int64_t nowNs, size_t size,
                                 int (*writeAgain)(const void* context), const void* context) {
    MappedFileVerdict verdict;
    if (!keeper->kept) {
        return verdict;
    }
    if (keeper->mapping == nullptr) {
        // Lost earlier and not yet written again: once a second.
        if (nowNs - keeper->lastRetryNs < 1000000000) {
            return verdict;
        }
        verdict.happened = "unwritable";
    } else {
        verdict.happened = MappedFileChange(keeper->name, keeper->mapping, keeper->identity, size);
        if (verdict.happened == nullptr) {
            return verdict;
        }
    }
    keeper->mapping = nullptr;  // the values stay in the owner's memory
    keeper->lastRetryNs = nowNs;
    if (writeAgain(context) == 0) {
        keeper->reportedLost = false;
        verdict.writtenAgain = true;
    } else if (!keeper->reportedLost) {
        keeper->reportedLost = true;
        verdict.reportFailure = true;
    }
    return verdict;
}

int OpenWholeFile(const std::string& path, struct stat* status, int* error) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *error = errno;
        return -1;
    }
    if (fstat(fd, status) != 0 || !S_ISREG(status->st_mode)) {
        close(fd);
        *error = 0;
        return -1;
    }
    return fd;
}

int ReadFilePrefix(int fd, void* buffer, size_t length, size_t* got) {
    auto* bytes = static_cast<unsigned char*>(buffer);
    *got = 0;
    while (*got < length) {
        const ssize_t n = pread(fd, bytes + *got, length - *got, static_cast<off_t>(*got));
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n < 0) {
            return errno;
        }
        if (n == 0) {
            break;
        }
        *got += static_cast<size_t>(n);
    }
    return 0;
}
