// Payloads of the POS_VEL, VEL and FORCE_POS command frames: little-endian
// IEEE 754 singles and the two FORCE_POS counts.
#include "damiao/modes/control_setpoint.hpp"

#include <bit>
#include <cstddef>

namespace velkarin::damiao::modes {
namespace {

constexpr float kSpeedLimitMax = 100.0f;
constexpr float kSpeedScale = 100.0f;
constexpr float kTorqueRatioMax = 1.0f;
constexpr float kTorqueScale = 10000.0f;
constexpr std::uint16_t kCountCap = 10000;

// Clamps to [lo, hi]; a NaN fails both comparisons and passes through, to be
// turned into 0 by the conversion below.
float clamp_nan_passing(float x, float lo, float hi) {
    if (x < lo) return lo;
    if (x > hi) return hi;
    return x;
}

// Truncates toward zero into 0..kCountCap without the undefined behaviour of
// casting a NaN or out-of-range float: NaN and negatives give 0, anything at
// or above the cap gives the cap.
std::uint16_t saturating_count(float scaled) {
    if (!(scaled > 0.0f)) return 0;
    if (scaled >= static_cast<float>(kCountCap)) return kCountCap;
    return static_cast<std::uint16_t>(scaled);
}

void put_u16(std::array<std::uint8_t, 8>& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void put_f32(std::array<std::uint8_t, 8>& out, std::size_t at, float f) {
    const auto bits = std::bit_cast<std::uint32_t>(f);
    put_u16(out, at, static_cast<std::uint16_t>(bits));
    put_u16(out, at + 2, static_cast<std::uint16_t>(bits >> 16));
}

}  // namespace

std::uint16_t force_pos_speed_count(float velocity_limit) {
    const float clamped = clamp_nan_passing(velocity_limit, 0.0f, kSpeedLimitMax);
    return saturating_count(clamped * kSpeedScale);
}

std::uint16_t force_pos_torque_count(float torque_ratio) {
    const float clamped = clamp_nan_passing(torque_ratio, 0.0f, kTorqueRatioMax);
    return saturating_count(clamped * kTorqueScale);
}

std::array<std::uint8_t, 8> pos_vel_payload(const setpoints::PosVel& s) {
    std::array<std::uint8_t, 8> out{};
    put_f32(out, 0, s.position);
    put_f32(out, 4, s.velocity);
    return out;
}

std::array<std::uint8_t, 8> vel_payload(const setpoints::Vel& s) {
    std::array<std::uint8_t, 8> out{};  // bytes 4-7 stay zero
    put_f32(out, 0, s.velocity);
    return out;
}

std::array<std::uint8_t, 8> force_pos_payload(const setpoints::ForcePos& s) {
    std::array<std::uint8_t, 8> out{};
    put_f32(out, 0, s.position);
    put_u16(out, 4, force_pos_speed_count(s.velocity_limit));
    put_u16(out, 6, force_pos_torque_count(s.torque_ratio));
    return out;
}

}  // namespace velkarin::damiao::modes
