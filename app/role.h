// The instance's role in a hot-standby pair. While BcstBridge<instance>.standby exists in the working
// directory the instance is standby: it receives, refuses, keeps its store and converts as always,
// but every datagram it would send is withheld (counted, never sent). Without the file it is active,
// as a bridge has always been. An operator, or keepalived's notify script, creates and removes the
// file; the bridge only looks at it: once at start-up, before anything could be sent, and then from
// the loop's tick, never per datagram.
#pragma once

#include <cstdint>

// Takes the role the file gives at start-up (one log entry when it is standby). A file that cannot
// be checked for another reason than its absence counts as present: a restarted bridge never
// publishes by surprise, and the tick looks again a tick later.
void InitializeRole(int16_t instance);

// The role's chore in the loop's tick: one stat of the file. A change of role takes effect at once,
// with one log entry, and is counted; a check that fails for another reason than the file's absence
// keeps the role as it is.
void RoleTick(int64_t nowNs);

// Asked by the relay step before it sends `datagrams`: true while the instance is standby, the
// datagrams then counted as withheld (and not sent); false while active.
bool WithholdSend(int datagrams);

// Back to active with no file watched (tests).
void ResetRole();
