// Guard for the bridge's shared file mappings (the counters file and the store file). An operator may
// truncate such a file under the running bridge; a store into a page past the new end of the file
// then raises SIGBUS. The guard's handler swaps the whole mapping for anonymous memory, so the store
// completes and the process lives on, and marks the mapping lost; the owner's tick chore notices, logs
// it and writes the file again from the values it keeps in process memory.
#pragma once

#include <cstddef>

// Watches [base, base + length): a SIGBUS inside it replaces the range with anonymous memory. The
// first call installs the handler. 0 on success, 1 when no slot or no handler could be had.
int GuardMapping(void* base, size_t length);

// Stops watching the mapping at `base` (before it is unmapped).
void UnguardMapping(void* base);

// True once a SIGBUS hit the mapping at `base`; cleared by UnguardMapping.
bool MappingLost(const void* base);
