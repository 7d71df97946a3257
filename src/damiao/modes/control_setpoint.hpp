// A setpoint for one of the motor's four firmware control modes, and the
// command frame each mode is sent in, built by a driver and read by a motor.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>
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

// Identifier offsets added to the motor id (the sum is masked to 11 bits;
// motor_ids.hpp turns them into identifiers).
inline constexpr std::uint16_t kMitBase = 0x000;
inline constexpr std::uint16_t kPosVelBase = 0x100;
inline constexpr std::uint16_t kVelBase = 0x200;
inline constexpr std::uint16_t kForcePosBase = 0x300;

inline constexpr std::array<ControlMode, 4> kAllModes{ControlMode::Mit, ControlMode::PosVel,
                                                      ControlMode::Vel, ControlMode::ForcePos};

// The offset of `mode`'s frames.
constexpr std::uint16_t offset_of(ControlMode mode) {
    switch (mode) {
        case ControlMode::Mit: return kMitBase;
        case ControlMode::PosVel: return kPosVelBase;
        case ControlMode::Vel: return kVelBase;
        case ControlMode::ForcePos: return kForcePosBase;
    }
    return kMitBase;
}

// The names programs give the modes: "mit", "pos_vel", "vel", "force_pos";
// nothing for another register value.
std::optional<std::string_view> name_of(std::uint32_t mode);
// A mode by that name or by its number ("mit" or "1"), or nothing.
std::optional<ControlMode> control_mode_named(std::string_view text);

// FORCE_POS counts: hundredths of the speed limit and ten-thousandths of the
// peak torque, capped.
inline constexpr float kForcePosSpeedScale = 100.0f;
inline constexpr float kForcePosTorqueScale = 10000.0f;
inline constexpr std::uint16_t kForcePosCountCap = 10000;

// Clamp (NaN passes), scale in single precision, truncate toward zero (NaN
// and negatives give 0), cap at kForcePosCountCap.
std::uint16_t force_pos_speed_count(float velocity_limit);  // [0, 100] * 100
std::uint16_t force_pos_torque_count(float torque_ratio);   // [0, 1] * 10000

// Little-endian frames of the non-MIT modes.
Payload pos_vel_payload(const setpoints::PosVel& s);
Payload vel_payload(const setpoints::Vel& s);
Payload force_pos_payload(const setpoints::ForcePos& s);

// The motor's side: a mode frame's payload read back. Each reads bytes 0..7
// and fails on fewer; float values come back bit for bit, NaN included.
std::expected<setpoints::PosVel, PayloadTooShort> parse_pos_vel(std::span<const std::uint8_t> data);
// Bytes 4-7 are not looked at.
std::expected<setpoints::Vel, PayloadTooShort> parse_vel(std::span<const std::uint8_t> data);

// A FORCE_POS payload as it arrives: the two counts as sent, neither capped
// nor scaled back; what a count above the cap means is the motor's business.
struct ForcePosFrame {
    float position;
    std::uint16_t speed_count;
    std::uint16_t torque_count;
};
std::expected<ForcePosFrame, PayloadTooShort> parse_force_pos(std::span<const std::uint8_t> data);

}  // namespace modes
}  // namespace velkarin::damiao
