// Whether a motor's new CAN id or master id would collide with the
// identifiers of the other motors on its bus.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace velkarin::damiao {

struct MotorIds {
    std::uint16_t can_id;     // ESC_ID: it listens on this and its mode offsets
    std::uint16_t master_id;  // MST_ID: it answers on this
};

// Why motor `now`, given the ids `proposed`, could not share the bus with
// `others` (the other motors found on it); nothing when it can. Only what
// the change brings is judged, so an old clash elsewhere does not block
// fixing an id. Refused are: the register-request id; a master id that is
// another motor's master id, or one of the identifiers another motor or this
// one takes commands on (the replies would command it); a CAN id whose
// command identifiers (command_ids) include another motor's master id (its
// replies would command this motor) or any identifier another motor takes
// commands on.
std::optional<std::string> id_conflict(MotorIds now, MotorIds proposed,
                                       std::span<const MotorIds> others);

// Why `motors` could not share one bus, by the same rule with every id
// judged: the first motor that collides with one before it, and why;
// nothing when they can.
std::optional<std::string> motor_set_conflict(std::span<const MotorIds> motors);

}  // namespace velkarin::damiao
