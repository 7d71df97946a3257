// The command line of velkarin-sim: the interface, the motors and the faults
// to start with.
#pragma once

#include <expected>
#include <span>
#include <string>
#include <string_view>

#include "sim/simulator.hpp"

namespace velkarin::sim {

struct Options {
    std::string iface;
    SimConfig sim;
    std::string flash_path;  // empty: no flash file
};

// --help was asked for: print usage() and exit 0.
struct HelpRequested {};

struct ArgError {
    std::string message;  // one line, without the program name
};

// Parses argv[1..]. Errors name the offending argument.
std::expected<Options, std::variant<HelpRequested, ArgError>> parse_args(
    std::span<const std::string_view> args);

std::string usage();

}  // namespace velkarin::sim
