// bcstbridge: one instance of the market-data broadcast bridge; usage: bcstbridge <instance>.
#include "app/bridge.h"

int main(int argc, char** argv) {
    return BridgeMain(argc, argv);
}
