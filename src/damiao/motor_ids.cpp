// A motor's command and reply identifiers from its ids and the mode offsets.
#include "damiao/motor_ids.hpp"

namespace velkarin::damiao {

using transport::CanId;

CanId command_id(std::uint16_t motor_id, ControlMode mode) {
    return CanId::standard_low_bits(std::uint32_t{motor_id} + modes::offset_of(mode));
}

std::array<CanId, 4> command_ids(std::uint16_t motor_id) {
    std::array<CanId, 4> out{};
    for (std::size_t i = 0; i < modes::kAllModes.size(); ++i)
        out[i] = command_id(motor_id, modes::kAllModes[i]);
    return out;
}

std::optional<ControlMode> mode_of_command_id(std::uint16_t motor_id, CanId id) {
    if (id.kind != CanId::Kind::Standard) return std::nullopt;
    for (const auto mode : modes::kAllModes)
        if (command_id(motor_id, mode) == id) return mode;
    return std::nullopt;
}

}  // namespace velkarin::damiao
