// Start-up of one bridge instance and its endless receive loop.
#pragma once

// The process entry: returns 1 when start-up fails; once the loop runs it never returns.
int BridgeMain(int argc, char** argv);

// Receives one datagram into the loop's buffer and relays or forwards it. Returns the receive
// result (the datagram's length or -1). The loop is this, forever.
int RelayOneDatagram();
