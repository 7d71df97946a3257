// MitLimits as a person writes them in a program: the Python class's repr,
// which the tools print as "the limits to use".
#pragma once

#include <string>

#include "codec.hpp"

namespace velkarin::damiao::mit {

// "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)": each
// field in the shortest digits that read back as the same 32-bit float.
std::string limits_text(const MitLimits& limits);

}  // namespace velkarin::damiao::mit
