// bcstbridge: one instance of the market-data broadcast bridge; usage: bcstbridge <instance>, or
// --check <instance>, --busy-poll, --help, --version (app/command_line.h).
#include "app/bridge.h"

int main(int argc, char** argv) {
    return BridgeMain(argc, argv);
}
