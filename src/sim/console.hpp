// The stdin console: one line, one command, to change faults at run time and
// look at a motor. Every command ends its answer with "ok" or "error: ...".
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "sim/simulator.hpp"

namespace velkarin::sim {

// The grammar, as --help and the console's own "help" print it.
std::string console_help();

// Runs one console line against `sim` at `now` and returns the lines to
// print: for "state", one line per motor first; then "ok" or "error: why".
// A blank line or one starting with '#' gives no lines at all.
std::vector<std::string> run_console_line(Simulator& sim, std::string_view line, TimePoint now);

// "motor 1: enabled mode 1 status 0x1 position 0.1234 velocity ... t_rotor 25",
// the first word the status's name (disabled, enabled, over-voltage, ...).
std::string describe(const SimMotor& motor);

}  // namespace velkarin::sim
