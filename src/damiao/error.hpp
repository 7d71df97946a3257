// The driver's one error type: every failing driver operation returns one of
// these, and each renders as a single line of text (the Python message).
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <variant>
#include <vector>

#include "mit/codec.hpp"
#include "register_kind.hpp"
#include "registers.hpp"
#include "../transport/transport_error.hpp"

namespace velkarin::damiao {

namespace errors {

// A bus failure inside a driver operation, passed on unchanged.
struct Transport { transport::TransportError error; };
struct UnknownRegister { std::uint8_t reg; };
struct ReadOnlyRegister { std::uint8_t reg; };
struct RegisterKindMismatch { std::uint8_t reg; RegisterKind expected; RegisterKind got; };
struct UnexpectedReply { std::vector<std::uint8_t> data; };
struct ModeVerifyFailed { std::uint8_t written; std::uint8_t reported; };
// A register read back after a write holds another value than was written.
struct WriteVerifyFailed {
    std::uint8_t reg;
    std::uint16_t motor_id;  // the motor as it is after the write
    RegisterValue written;
    RegisterValue reported;
};
// The motor's limits cannot be used for MIT encoding (a negative or NaN
// range); nothing was sent.
struct InvalidLimits { InvalidRange range; };
// A reply on the master id too short to hold a feedback payload.
struct ShortReply { std::size_t len; };
// Two motors of one cycle (at places `first` and `second` of its list) answer
// on the same identifier of one bus, so their replies cannot be told apart;
// nothing was sent.
struct DuplicateMasterId { std::uint16_t id; std::size_t first; std::size_t second; };
// A cycle was given a different number of outcome slots than commands;
// nothing was sent.
struct OutcomeCount { std::size_t commands; std::size_t outcomes; };
// A group's cycle was given a different number of commands than members.
struct CommandCount { std::size_t members; std::size_t commands; };
// More buses than one wait takes, or more motors than a cycle counts.
struct GroupTooLarge { std::size_t buses, motors, max_buses, max_motors; };

}  // namespace errors

class Error {
public:
    using Variant = std::variant<errors::Transport, errors::UnknownRegister,
                                 errors::ReadOnlyRegister, errors::RegisterKindMismatch,
                                 errors::UnexpectedReply, errors::ModeVerifyFailed,
                                 errors::InvalidLimits, errors::ShortReply,
                                 errors::DuplicateMasterId, errors::OutcomeCount,
                                 errors::CommandCount, errors::GroupTooLarge,
                                 errors::WriteVerifyFailed>;

    template <typename Case>
    Error(Case c) : v_(std::move(c)) {}
    // Every transport call site wraps its error this way.
    Error(transport::TransportError e) : v_(errors::Transport{e}) {}

    const Variant& get() const { return v_; }
    template <typename Case>
    const Case* as() const { return std::get_if<Case>(&v_); }

    // The one-line text; never fails, never truncates.
    std::string text() const;

private:
    Variant v_;
};

template <typename T>
using Result = std::expected<T, Error>;

}  // namespace velkarin::damiao
