// The command line of velkarin-tool: global options, one command and its
// arguments, checked whole before anything touches the bus.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "damiao/motor_ids.hpp"
#include "damiao/registers.hpp"
#include "damiao/special_commands.hpp"

namespace velkarin::tool {

// What a command line that says nothing else gets; the help shows these.
inline constexpr std::string_view kDefaultIface = "can0";
inline constexpr std::uint64_t kDefaultTimeoutMs = 50;
inline constexpr double kDefaultRateHz = 100.0;

struct Global {
    std::string iface{kDefaultIface};
    std::uint64_t timeout_ms = kDefaultTimeoutMs;  // bounds each exchange
    bool json = false;
    bool fd = false;  // CAN FD frames with bit-rate switch, for motors set to an FD can_br
};

// monitor's rate and duration: a round at least every 100 s and at most
// every 100 us, for at most a day, so that every period and end time is a
// whole number of clock ticks that fits the clock.
inline constexpr double kMinRateHz = 0.01;
inline constexpr double kMaxRateHz = 10'000.0;
inline constexpr double kMaxDurationS = 86'400.0;

namespace commands {
struct Scan {
    std::uint16_t first = damiao::kFirstScanId;
    std::uint16_t last = damiao::kLastScanId;
};
struct Info { std::uint16_t id; };
struct Get { std::uint16_t id; std::vector<const damiao::RegisterInfo*> registers; };
struct Set {
    std::uint16_t id;
    const damiao::RegisterInfo* reg;
    damiao::RegisterValue value;
    bool save = false;
};
struct Mode { std::uint16_t id; std::uint8_t mode; };
struct Save { std::uint16_t id; };
struct Special {
    damiao::SpecialCommand kind;
    std::uint16_t id;
    std::optional<std::uint16_t> master;  // unset: read from the motor
};
struct Monitor {
    std::vector<std::uint16_t> ids;
    double rate_hz = kDefaultRateHz;
    std::optional<double> duration_s;  // unset: until Ctrl-C
    std::optional<std::string> csv;
};
struct Doctor {
    bool explain = false;  // each finding with its likely cause
};
}  // namespace commands

using Command = std::variant<commands::Scan, commands::Info, commands::Get, commands::Set,
                             commands::Mode, commands::Save, commands::Special,
                             commands::Monitor, commands::Doctor>;

struct Invocation {
    Global global;
    Command command;
};

// --help anywhere: whose help to print (help_text), "" for the program's.
struct HelpRequested { std::string command; };
// Anything else wrong with the command line, in one line.
struct UsageError {
    std::string message;
    std::string command;  // the command whose --help would help, or "" for the program's

    // The message and, once, where the help is: "... (velkarin-tool set --help)".
    std::string text() const;
};

// Parses argv[1..]. Register names and numbers, ids and values are checked
// here, against the register table and its documented ranges.
std::expected<Invocation, std::variant<HelpRequested, UsageError>> parse_command_line(
    std::span<const std::string_view> args);

}  // namespace velkarin::tool
