// One process per instance's files in a directory, whatever an operator does to the files.
//
// The lock is an abstract Unix socket whose name holds the working directory's device and inode and
// the instance number in 16 bits (the number the files are named by). The kernel releases it when the
// process ends, however it ends, and no file operation (rm, mv, a directory in a file's place) can
// touch it. It is scoped to the network namespace; the store file's flock covers instances that share
// a directory across namespaces.
#pragma once

#include <cstdint>
#include <string>

// Takes the lock of `instance` in the working directory. 0 when this process holds it; 1 when another
// process does (or it cannot be had), with the reason for standard error in `*refusal`.
int LockInstance(int16_t instance, std::string* refusal);

// The tick's chore: lets go of the connections that refused processes made to ask who holds the lock.
void InstanceLockTick();
