// The bridge's shared file mappings (the counters file and the store file): how such a file comes into
// being, the guard that keeps a store into it from killing the process, and what an operator may have
// done to it since. An operator may truncate such a file under the running bridge; a store into a page
// past the new end of the file then raises SIGBUS. The guard's handler swaps the whole mapping for
// anonymous memory, so the store completes and the process lives on, and marks the mapping lost; the
// owner's tick chore notices, logs it and writes the file again from the values it keeps in process
// memory.
#pragma once

#include <sys/stat.h>

#include <cstddef>
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
