// One command for one motor, of any kind that the motor answers with a
// feedback frame: the four special commands, a refresh request (which
// commands nothing), an MIT setpoint, or a setpoint in any control mode.
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
// A register request on 0x7FF asking for one feedback frame: how a tool
// watches a motor without commanding it.
struct Refresh {};
}  // namespace commands

using Command = std::variant<commands::Enable, commands::Disable, commands::SetZero,
                             commands::ClearError, commands::Refresh, MitSetpoint, ControlSetpoint>;

}  // namespace velkarin::damiao
