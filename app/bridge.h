// Start-up of one bridge instance, which then runs the relay loop (app/relay.h).
#pragma once

// The process entry: returns 1 when start-up fails; once the loop runs it never returns.
int BridgeMain(int argc, char** argv);
