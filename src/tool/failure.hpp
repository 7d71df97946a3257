// What went wrong in a velkarin-tool command: its kind, which decides the
// exit status, one line for the person, and the core error it came from.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>

#include "damiao/error.hpp"
#include "tool/propagate.hpp"
#include "transport/duration.hpp"

namespace velkarin::tool {

struct Failure {
    enum class Kind : std::uint8_t {
        NoAnswer,     // a motor did not answer in time
        WrongAnswer,  // it answered, but not with what was written or asked for
        Bus,          // a send or receive on the interface failed
        Interface,    // the interface is missing, down, or not a CAN interface
        IdConflict,   // the ids asked for would collide with another motor's
        Output,       // stdout or a file could not be opened or written
        Interrupted,  // a stop signal (Ctrl-C) ended the command
    };

    Kind kind;
    std::string message;
    std::optional<damiao::Error> cause;  // the core's error behind it, if any

    // The bus error behind it (ENETDOWN, ENOBUFS, ...), or nullptr.
    const transport::TransportError* transport_error() const;
};

template <typename T>
using ToolResult = std::expected<T, Failure>;

inline std::unexpected<Failure> fail(Failure::Kind kind, std::string message) {
    return std::unexpected(Failure{kind, std::move(message), std::nullopt});
}

// The failure of `what` ("a read of PMAX", "the enable command") for motor
// `id` from the core's error: a time-out is NoAnswer, EINTR Interrupted, any
// other bus error Bus, a reply that does not decode or verify WrongAnswer.
Failure failure_of(const damiao::Error& e, std::uint16_t id, std::string_view what,
                   transport::Duration timeout);

inline constexpr int kExitDone = 0;
inline constexpr int kExitFailed = 1;  // the bus, a motor or the output failed
inline constexpr int kExitUsage = 2;   // the command line is wrong; nothing was sent

// 1 for every failure but an interruption, which is 128 + the signal that
// stopped the command, as a shell reports it (130 for SIGINT).
int exit_status(const Failure& f, int stop_signal);

// "50 ms"
std::string duration_text(transport::Duration d);

}  // namespace velkarin::tool
