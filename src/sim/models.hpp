// The simulated Damiao models: the MIT mapping ranges of each preset plus the
// mechanical and electrical figures the firmware model and its registers use.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "damiao/mit/codec.hpp"

namespace velkarin::sim {

// Figures at the output shaft. They are plausible for each size of motor, not
// measurements: enough for a tracking loop to behave like one on a real motor.
struct MotorModel {
    std::string_view name;     // preset name, lower case
    damiao::MitLimits limits;  // MIT mapping ranges (PMAX/VMAX/TMAX registers start here)
    double inertia;            // kg m^2, rotor reflected through the gear
    double damping;            // N m s / rad, viscous
    double torque_limit;       // N m, peak; never above limits.t_max
    float gear_ratio;
    std::uint32_t pole_pairs;
    float phase_resistance;  // ohm
    float phase_inductance;  // H
    float flux_linkage;      // Wb
    float torque_constant;   // N m / A at the output
};

std::span<const MotorModel> all_models();

// The model called `name`, compared without regard to case ("DM4310" finds
// dm4310), or nullptr.
const MotorModel* find_model(std::string_view name);

}  // namespace velkarin::sim
