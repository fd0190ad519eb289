// Memory faulted in ahead of need, on a thread of its own.
//
// A page fault on fresh memory can take milliseconds: a huge page is zeroed and may first have to be
// compacted, and a virtual machine's host may back the guest's memory only on its first touch (3 ms
// for one 2 MiB page, measured on the 2-core test machine). That is too long for the relay loop, even
// once a tick, so the store names the memory its inserts will need soon and this thread asks the
// kernel to fault it in (MADV_POPULATE_WRITE). The thread never reads or writes the memory itself:
// the relay thread stays the only user of what lies there.
#pragma once

#include <cstddef>

// Standing requests, one per kind of memory; a later request of a kind replaces the one before.
enum PopulateKind { kPopulateEntries, kPopulateNextTable, kPopulateKinds };

// Asks for [base, base + length) to be faulted in, in the background. Returns at once and never
// waits: when the thread holds the requests just then, the next tick asks again. The thread starts at
// the first request; on a kernel without MADV_POPULATE_WRITE (before 5.14) nothing is faulted in
// ahead, and the inserts fault in their pages themselves.
void PopulateInBackground(PopulateKind kind, void* base, size_t length);

// True while the thread has nothing to do and is not faulting anything in. Mapping or unmapping
// memory waits for the faulting in of every range to finish (the kernel's lock on the address space),
// so the relay thread maps and unmaps only then, and tries again at the next tick otherwise.
bool PopulateIdle();
