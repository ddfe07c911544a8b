// Entry point of the host program.
#include "HostDriver.h"

int main(int argc, char** argv) {
    return RunHost(argc, argv);
}
