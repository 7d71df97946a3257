// A setpoint for one of the motor's four firmware control modes, and the
// command frame each mode is sent in.
#pragma once

#include <array>
#include <cstdint>
#include <variant>

#include "../mit/codec.hpp"

namespace velkarin::damiao {

// Values of the control-mode register (register 10).
enum class ControlMode : std::uint8_t { Mit = 1, PosVel = 2, Vel = 3, ForcePos = 4 };

namespace setpoints {
struct Mit { MitSetpoint sp; };
struct PosVel { float position; float velocity; };
struct Vel { float velocity; };
struct ForcePos { float position; float velocity_limit; float torque_ratio; };
}  // namespace setpoints

class ControlSetpoint {
public:
    using Variant = std::variant<setpoints::Mit, setpoints::PosVel, setpoints::Vel,
                                 setpoints::ForcePos>;

    template <typename V>
    ControlSetpoint(V v) : v_(v) {}

    const Variant& get() const { return v_; }
    // 1 MIT, 2 POS_VEL, 3 VEL, 4 FORCE_POS: the variant's place plus one.
    std::uint8_t mode() const { return static_cast<std::uint8_t>(v_.index() + 1); }

private:
    Variant v_;
};

namespace modes {

// Identifier offsets added to the motor id (the sum is masked to 11 bits).
inline constexpr std::uint16_t kPosVelBase = 0x100;
inline constexpr std::uint16_t kVelBase = 0x200;
inline constexpr std::uint16_t kForcePosBase = 0x300;

// FORCE_POS counts: clamp (NaN passes), scale in single precision, truncate
// toward zero (NaN and negatives give 0), cap at 10000.
std::uint16_t force_pos_speed_count(float velocity_limit);  // [0, 100] * 100
std::uint16_t force_pos_torque_count(float torque_ratio);   // [0, 1] * 10000

// Little-endian frames of the non-MIT modes.
std::array<std::uint8_t, 8> pos_vel_payload(const setpoints::PosVel& s);
std::array<std::uint8_t, 8> vel_payload(const setpoints::Vel& s);
std::array<std::uint8_t, 8> force_pos_payload(const setpoints::ForcePos& s);

}  // namespace modes
}  // namespace velkarin::damiao
