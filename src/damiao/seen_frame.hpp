// A frame seen on the bus, read for one motor with its ids and limits: what
// another program commands it and what it answers, for watching a bus
// without sending on it. Nothing here judges the values; a frame that is
// none of this motor's reads as nothing.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "../transport/can_frame.hpp"
#include "mit/codec.hpp"
#include "modes/control_setpoint.hpp"
#include "special_commands.hpp"

namespace velkarin::damiao {

struct SeenFeedback {
    MotorState state;
};

// A command frame on one of the motor's mode identifiers; FORCE_POS counts
// are scaled back to the speed limit (rad/s) and the torque ratio.
struct SeenSetpoint {
    ControlSetpoint setpoint;
};

struct SeenSpecial {
    SpecialCommand command;
};

// A register request for this motor on 0x7FF, or the motor's register reply
// on its master id: bytes 0-1 name the motor, byte 2 is a known op.
struct SeenRegister {
    bool reply;
    std::uint8_t op;
    std::uint8_t reg;
    std::uint32_t value;
};

using SeenFrame = std::variant<std::monostate, SeenFeedback, SeenSetpoint, SeenSpecial, SeenRegister>;

struct WatchedMotor {
    std::uint16_t motor_id;
    std::uint16_t master_id;
    MitLimits limits;
};

SeenFrame read_seen_frame(const WatchedMotor& motor, transport::CanId id, std::span<const std::uint8_t> data);

// The identifiers read_seen_frame reads for `motor`: its four command
// identifiers (MIT first), its master id, and 0x7FF; a receive filter of
// these passes everything there is to see of it.
std::array<transport::CanId, 6> seen_frame_ids(const WatchedMotor& motor);

// "read", "write", "store", "refresh"; nothing for another op.
std::optional<std::string_view> register_op_name(std::uint8_t op);
// "enable", "disable", "zero", "clear".
std::string_view special_command_name(SpecialCommand command);

}  // namespace velkarin::damiao
