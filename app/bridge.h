// Start-up of one bridge instance and its endless receive loop.
#pragma once

// The process entry: returns 1 when start-up fails; once the loop runs it never returns.
int BridgeMain(int argc, char** argv);

// Relay mode: receives one datagram into the loop's buffer and hands it to the frame intake.
// Pass-through mode: receives what is queued (at least one datagram) and forwards it, each datagram
// as exactly 512 bytes. Returns the receive result (the (first) datagram's length, cut to 512 in
// pass-through mode; kReceiveNothing when nothing came within the receive's wait; or -1).
int RelayOneDatagram();

// The loop, once both sockets are up: RelayOneDatagram, then the tick when it is due, forever.
[[noreturn]] void RunRelayLoop();
