// The I/O side of velkarin-sim: the CAN socket, stdin, signals and the clock
// around a Simulator.
#pragma once

#include "sim/args.hpp"

namespace velkarin::sim {

// Takes the flash file (if any), opens the interface, prints the ready line
// and serves the bus until SIGINT or SIGTERM. Returns the process exit code:
// 0 after a signal, 2 when the flash file is refused or the interface cannot
// be opened, 1 on a failure of the bus while running.
int run(const Options& options);

}  // namespace velkarin::sim
