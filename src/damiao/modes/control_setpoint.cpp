// Payloads of the POS_VEL, VEL and FORCE_POS command frames, both ways:
// little-endian IEEE 754 singles and the two FORCE_POS counts.
#include "damiao/modes/control_setpoint.hpp"

#include <cstddef>

namespace velkarin::damiao::modes {
namespace {

constexpr float kSpeedLimitMax = 100.0f;
constexpr float kTorqueRatioMax = 1.0f;

// Where each field sits in its frame.
constexpr std::size_t kPosVelPositionAt = 0;
constexpr std::size_t kPosVelVelocityAt = 4;
constexpr std::size_t kVelVelocityAt = 0;
constexpr std::size_t kForcePosPositionAt = 0;
constexpr std::size_t kForcePosSpeedAt = 4;
constexpr std::size_t kForcePosTorqueAt = 6;

// Clamps to [lo, hi]; a NaN fails both comparisons and passes through, to be
// turned into 0 by the conversion below.
float clamp_nan_passing(float x, float lo, float hi) {
    if (x < lo) return lo;
    if (x > hi) return hi;
    return x;
}

// Truncates toward zero into 0..kForcePosCountCap without the undefined
// behaviour of casting a NaN or out-of-range float: NaN and negatives give 0,
// anything at or above the cap gives the cap.
std::uint16_t saturating_count(float scaled) {
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= static_cast<float>(kForcePosCountCap)) return kForcePosCountCap;
    return static_cast<std::uint16_t>(scaled);
}

}  // namespace

std::uint16_t force_pos_speed_count(float velocity_limit) {
    const float clamped = clamp_nan_passing(velocity_limit, 0.0f, kSpeedLimitMax);
    return saturating_count(clamped * kForcePosSpeedScale);
}

std::uint16_t force_pos_torque_count(float torque_ratio) {
    const float clamped = clamp_nan_passing(torque_ratio, 0.0f, kTorqueRatioMax);
    return saturating_count(clamped * kForcePosTorqueScale);
}

Payload pos_vel_payload(const setpoints::PosVel& s) {
    Payload out{};
    le::put_f32(out, kPosVelPositionAt, s.position);
    le::put_f32(out, kPosVelVelocityAt, s.velocity);
    return out;
}

Payload vel_payload(const setpoints::Vel& s) {
    Payload out{};  // bytes 4-7 stay zero
    le::put_f32(out, kVelVelocityAt, s.velocity);
    return out;
}

Payload force_pos_payload(const setpoints::ForcePos& s) {
    Payload out{};
    le::put_f32(out, kForcePosPositionAt, s.position);
    le::put_u16(out, kForcePosSpeedAt, force_pos_speed_count(s.velocity_limit));
    le::put_u16(out, kForcePosTorqueAt, force_pos_torque_count(s.torque_ratio));
    return out;
}

std::expected<setpoints::PosVel, PayloadTooShort> parse_pos_vel(std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    return setpoints::PosVel{le::f32_at(data, kPosVelPositionAt), le::f32_at(data, kPosVelVelocityAt)};
}

std::expected<setpoints::Vel, PayloadTooShort> parse_vel(std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    return setpoints::Vel{le::f32_at(data, kVelVelocityAt)};
}

std::expected<ForcePosFrame, PayloadTooShort> parse_force_pos(std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    return ForcePosFrame{le::f32_at(data, kForcePosPositionAt), le::u16_at(data, kForcePosSpeedAt),
                         le::u16_at(data, kForcePosTorqueAt)};
}

namespace {
constexpr std::array<std::string_view, 4> kModeNames{"mit", "pos_vel", "vel", "force_pos"};
}  // namespace

std::optional<std::string_view> name_of(std::uint32_t mode) {
    if (mode < 1 || mode > kModeNames.size()) return std::nullopt;
    return kModeNames[mode - 1];
}

std::optional<ControlMode> control_mode_named(std::string_view text) {
    for (std::size_t i = 0; i < kModeNames.size(); ++i)
        if (text == kModeNames[i] || (text.size() == 1 && text[0] == static_cast<char>('1' + i)))
            return static_cast<ControlMode>(i + 1);
    return std::nullopt;
}

}  // namespace velkarin::damiao::modes
