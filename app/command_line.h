// bcstbridge's command line besides the instance number: --help, --version, --check N and --busy-poll.
#pragma once

#include <cstdio>

// Runs the option of a command line whose first argument starts with "--". Returns the exit status:
// 0 after --help, --version or a clean --check; 1 after a --check with warnings or a wrong option
// (with the usage line on standard error).
int RunBridgeOption(int argc, char** argv);

// Takes "--busy-poll" out of the command line wherever it stands (its first occurrence; a second one is
// left as a wrong option), so that the rest reads as without it. Whether it was there.
bool TakeBusyPollOption(int* argc, char** argv);

// "usage: bcstbridge <instance> | --check <instance> | --help | --version", on `stream`.
void PrintBridgeUsage(FILE* stream);

// Reads the instance's line as the bridge would (nothing logged, no socket opened), prints each field
// on `out`, and then each warning on `err`, every one naming its field: a value too long for its field,
// fewer or more than eight fields, a carriage return at the end of the line, a segment other than CM,
// FO, CD or CO, a port text that is not a whole number from 1 to 65535 (with the port the bridge would
// use), a port 0, a send port that goes on the wire below 1024, a flag other than Y or N, addresses that
// are not multicast or not this host's, another instance receiving on the same port. 0 when there is
// nothing to warn about, 1 otherwise.
int CheckInstance(const char* argument, FILE* out, FILE* err);
