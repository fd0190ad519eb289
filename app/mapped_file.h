// The bridge's shared file mappings (the counters file and the store file): how such a file comes into
// being, the guard that keeps a store into it from killing the process, the keeper that notices what
// an operator did to it since and has its owner write it again, and the bounded read of such a file
// as a whole (the tools' and the restore's). An operator may truncate such a file under the running bridge; a
// store into a page past the new end of the file then raises SIGBUS. The guard's handler swaps the whole
// mapping for anonymous memory, so the store completes and the process lives on, and marks the mapping lost;
// the owner's tick chore (KeepMappedFile) notices, has the owner write the file again from the values it
// keeps in process memory, and tells the owner what to log.
#pragma once

#include <sys/stat.h>

#include <cstddef>
#include <cstdint>
#include <string>

// Watches [base, base + length): a SIGBUS inside it replaces the range with anonymous memory. The
// first call installs the handler. 0 on success, 1 when no slot or no handler could be had.
int GuardMapping(void* base, size_t length);

// Stops watching the mapping at `base` (before it is unmapped).
void UnguardMapping(void* base);

// True once a SIGBUS hit the mapping at `base`; cleared by UnguardMapping.
bool MappingLost(const void* base);

// A file being created for a shared mapping, under a temporary name beside its own so that a reader
// never finds it half written.
struct NewMappedFile {
    std::string temporary;
    int fd = -1;
    void* mapping = nullptr;
    size_t mapLength = 0;
};

// Creates `<name>.<pid>.tmp`, takes an exclusive flock on it when `lock` says so, reserves `size`
// bytes on disk (a store into a mapped page of a full disk would raise SIGBUS), maps `mapLength`
// bytes shared (at least `size`; the file may grow under the rest) and guards the mapping. 0 with
// `*file` ready to fill; 1 with the failing step in `*what` ("open", "lock", "reserve" or "map") and
// errno set, nothing left behind.
int CreateMappedFile(const std::string& name, size_t size, size_t mapLength, bool lock, NewMappedFile* file,
                     const char** what);

// Renames a filled file into place as `name` and gives the identity it has there. 1 with "rename" in
// `*what` and errno set, after undoing it all (unmapped, closed, removed).
int PublishMappedFile(NewMappedFile* file, const std::string& name, struct stat* identity, const char** what);

// What became of the file published as `name` with `identity` and mapped at `mapping`, at least
// `size` bytes long: "truncated" (shorter, or a store met its end), "removed" (or moved away),
// "replaced" (another file under its name), or null while it is as the bridge left it. One stat.
const char* MappedFileChange(const std::string& name, const void* mapping, const struct stat& identity,
                             size_t size);

// ---- the keeper: one per mapped file that its owner writes again when it is lost -------------------

// What the owner published and the keeper watches. The owner sets `name`, `identity` and `mapping`
// when it publishes its file, and `kept` once it runs with one.
struct MappedFileKeeper {
    std::string name;
    struct stat identity = {};      // of the file under `name` when the owner wrote or opened it
    const void* mapping = nullptr;  // the owner's mapping of it; null while the file is lost
    int64_t lastRetryNs = 0;
    bool kept = false;          // the owner runs with the file: a lost one is written again
    bool reportedLost = false;  // writing it again failed and the owner said so; retried every second
};

// What KeepMappedFile found and did, for the owner to log.
struct MappedFileVerdict {
    // Null while the file is as the owner left it (or lost, with its next try not yet due); else
    // "truncated", "removed", "replaced", or "unwritable" for a file lost earlier and tried again.
    const char* happened = nullptr;
    bool writtenAgain = false;   // the owner wrote it again: one log entry says so
    bool reportFailure = false;  // it could not, for the first time since it was last written: the owner
                                 // logs why (later failures are silent)
};

// The keeper's chore at the loop's tick: one stat. When the file was truncated, replaced or removed,
// or was lost earlier and a second has passed since the last try, forgets the mapping and has
// `writeAgain` (the owner's: it drops its own mapping, writes the file from memory and publishes it
// into the keeper; 0 on success) write it again, handed `context`. `size`: the bytes the file must at
// least have.
MappedFileVerdict KeepMappedFile(MappedFileKeeper* keeper, int64_t nowNs, size_t size,
                                 int (*writeAgain)(const void* context), const void* context);

// ---- reading such a file as a whole (read, not mapped: a file cut short meanwhile cannot fault) ------

// Opens `path` read-only when it is a regular file, with its status in `*status`. The descriptor, or
// -1 with the errno of the open in `*error` (0: not a regular file).
int OpenWholeFile(const std::string& path, struct stat* status, int* error);

// Reads [0, length) of `fd` into `buffer`, fewer bytes at the file's end (`*got`). 0, or the errno of
// a read that failed (what came before it stays in `buffer`).
int ReadFilePrefix(int fd, void* buffer, size_t length, size_t* got);
