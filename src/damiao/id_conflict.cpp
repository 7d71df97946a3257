// The collision rule for CAN ids and master ids, over the core's command identifiers.
#include "damiao/id_conflict.hpp"

#include <algorithm>

#include "damiao/motor_ids.hpp"
#include "damiao/registers.hpp"
#include "damiao/text/can_id_text.hpp"

namespace velkarin::damiao {
namespace {

using transport::CanId;

bool takes_commands_on(std::uint16_t can_id, CanId id) {
    return mode_of_command_id(can_id, id).has_value();
}

std::string text(CanId id) { return can_id_text(static_cast<std::uint16_t>(id.value)); }

// The rule for the ids of `proposed` that are new: its CAN id if new_can, its
// master id if new_master.
std::optional<std::string> judge(MotorIds proposed, bool new_can, bool new_master,
                                 std::span<const MotorIds> others) {
    const CanId requests = CanId::standard(registers::kRequestId);
    const CanId answers_on = reply_id_of(proposed.master_id);
    const auto listens_on = command_ids(proposed.can_id);

    if ((new_can && CanId::standard_low_bits(proposed.can_id) == requests) ||
        (new_master && answers_on == requests))
        return text(requests) + " carries register requests";
    if ((new_can || new_master) && takes_commands_on(proposed.can_id, answers_on))
        return "the motor would answer on " + text(answers_on) + ", where it takes commands";
    for (const auto& other : others) {
        const std::string motor = "motor " + can_id_text(other.can_id);
        const CanId other_answers_on = reply_id_of(other.master_id);
        if (new_master && answers_on == other_answers_on)
            return motor + " already answers on " + text(answers_on);
        if (new_master && takes_commands_on(other.can_id, answers_on))
            return motor + " listens on " + text(answers_on) + ": the replies would command it";
        if (!new_can) continue;
        if (proposed.can_id == other.can_id) return motor + " already has CAN id " + can_id_text(other.can_id);
        if (takes_commands_on(proposed.can_id, other_answers_on))
            return motor + " answers on " + text(other_answers_on) + ", which would command this motor";
        const auto shared = std::ranges::find_if(
            listens_on, [&](CanId id) { return takes_commands_on(other.can_id, id); });
        if (shared != listens_on.end())
            return motor + " listens on " + text(*shared) + " too: commands for one would reach the other";
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> id_conflict(MotorIds now, MotorIds proposed,
                                       std::span<const MotorIds> others) {
    return judge(proposed, proposed.can_id != now.can_id, proposed.master_id != now.master_id, others);
}

std::optional<std::string> motor_set_conflict(std::span<const MotorIds> motors) {
    for (std::size_t i = 0; i < motors.size(); ++i)
        if (auto why = judge(motors[i], true, true, motors.first(i)))
            return "motor " + can_id_text(motors[i].can_id) + " (master id " +
                   can_id_text(motors[i].master_id) + "): " + *why;
    return std::nullopt;
}

}  // namespace velkarin::damiao
