// One command for one motor, of any kind the driver sends: the four special
// commands, an MIT setpoint, or a setpoint in any control mode.
#pragma once

#include <variant>

#include "mit/codec.hpp"
#include "modes/control_setpoint.hpp"

namespace velkarin::damiao {

namespace commands {
struct Enable {};
struct Disable {};
struct SetZero {};
struct ClearError {};
}  // namespace commands

using Command = std::variant<commands::Enable, commands::Disable, commands::SetZero,
                             commands::ClearError, MitSetpoint, ControlSetpoint>;

}  // namespace velkarin::damiao
