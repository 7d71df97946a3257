// One command for one motor, of any kind the driver sends: the four special
// commands, an MIT setpoint, or a setpoint in any control mode.
#pragma once

#include <variant>

#include "mit/codec.hpp"
#include "modes/control_setpoint.hpp"
#include "special_commands.hpp"

namespace velkarin::damiao {

namespace commands {
struct Enable { static constexpr SpecialCommand kind = SpecialCommand::Enable; };
struct Disable { static constexpr SpecialCommand kind = SpecialCommand::Disable; };
struct SetZero { static constexpr SpecialCommand kind = SpecialCommand::SetZero; };
struct ClearError { static constexpr SpecialCommand kind = SpecialCommand::ClearError; };
}  // namespace commands

using Command = std::variant<commands::Enable, commands::Disable, commands::SetZero,
                             commands::ClearError, MitSetpoint, ControlSetpoint>;

}  // namespace velkarin::damiao
