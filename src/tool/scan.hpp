// Finding motors: the core's scan of a range of CAN ids, then each motor's
// mode, limits and version.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "damiao/motor_scan.hpp"
#include "damiao/reported_limits.hpp"
#include "tool/result.hpp"
#include "tool/session.hpp"

namespace velkarin::tool {

using damiao::FoundMotor;

struct ScannedMotor {
    FoundMotor found;
    std::optional<std::uint32_t> mode;  // CTRL_MODE
    damiao::ReportedRanges ranges;      // PMAX, VMAX, TMAX, those that answered
    std::optional<std::uint32_t> sw_ver;
};

// damiao::find_motors on the session's bus. Errors: Bus (a send refused for
// longer than the time-out included), Interrupted.
ToolResult<std::vector<FoundMotor>> find_motors(const Session& s, std::uint16_t first,
                                                std::uint16_t last);

// find_motors, then the details of each; a register that does not answer
// stays unset. Errors: those of find_motors.
ToolResult<std::vector<ScannedMotor>> scan(const Session& s, std::uint16_t first, std::uint16_t last);

// The preset names whose p_max, v_max and t_max equal the limits a motor reports.
std::vector<std::string_view> matching_models(const damiao::MitLimits& reported);

// The mode's name (modes::name_of), or the number itself.
Value mode_value(std::uint32_t mode);

// {"id", "master_id", "mode", "pmax", "vmax", "tmax", "models", "sw_ver"}
Value scan_entry(const ScannedMotor& m);

}  // namespace velkarin::tool
