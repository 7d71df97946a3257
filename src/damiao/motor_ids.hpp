// Which identifiers belong to a motor on the bus: the command identifiers it
// listens on (its CAN id plus each control mode's offset) and the one it
// answers on (its master id), each the low 11 bits of the sum.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "../transport/can_frame.hpp"
#include "modes/control_setpoint.hpp"

namespace velkarin::damiao {

// Every reply of a motor, feedback and register replies alike, comes on this.
constexpr transport::CanId reply_id_of(std::uint16_t master_id) {
    return transport::CanId::standard_low_bits(master_id);
}

// The identifier `mode`'s command frames for motor `motor_id` travel on (the
// special commands use the MIT one). The sum is masked, not checked: 0x300 +
// 0x7FF goes out as 0x2FF.
transport::CanId command_id(std::uint16_t motor_id, ControlMode mode);

// The four identifiers motor `motor_id` takes commands on, MIT first.
std::array<transport::CanId, 4> command_ids(std::uint16_t motor_id);

// The mode whose commands for motor `motor_id` come on `id`, or nothing when
// the motor does not listen there.
std::optional<ControlMode> mode_of_command_id(std::uint16_t motor_id, transport::CanId id);

// What a scan asks by default: every id a motor can take on a bus where 0x7FF
// carries register requests, 0 left out.
inline constexpr std::uint16_t kFirstScanId = 0x001;
inline constexpr std::uint16_t kLastScanId = 0x7FE;

}  // namespace velkarin::damiao
