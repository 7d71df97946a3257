// The MIT fixed-point codec: impedance setpoints to the 8-byte command
// payload, and the motor's 8-byte feedback payload to a MotorState.
// Pure functions: no I/O, no allocation, single-precision arithmetic done one
// operation at a time in the order written (the build keeps contraction off).
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <span>

namespace velkarin::damiao {

// Scaling ranges of one motor model: position, velocity and torque are
// symmetric (-max..+max), the two gains run from 0 to their max.
struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = 500.0f;
    float kd_max = 5.0f;
    float t_max = 10.0f;
};

struct MitSetpoint {
    float q = 0.0f;
    float dq = 0.0f;
    float kp = 0.0f;
    float kd = 0.0f;
    float tau = 0.0f;
};

// One decoded feedback frame.
struct MotorState {
    std::uint8_t motor_id = 0;  // low nibble of byte 0
    std::uint8_t error = 0;     // high nibble of byte 0, passed on uninterpreted
    float position = 0.0f;
    float velocity = 0.0f;
    float torque = 0.0f;
    std::uint8_t t_mos = 0;
    std::uint8_t t_rotor = 0;
};

using MitPayload = std::array<std::uint8_t, 8>;

// The first limit range that fails encode's precondition, named by its two
// bounds as computed: (-max, max) for a symmetric range, (0, max) for a gain.
struct InvalidRange {
    float min;
    float max;
};

// A feedback payload with fewer than the 8 bytes the layout needs.
struct FeedbackTooShort {
    std::size_t len;
};

namespace mit {

inline constexpr std::uint32_t kPositionCounts = 65535;  // 16 bits
inline constexpr std::uint32_t kFieldCounts = 4095;      // 12 bits

// Clamp to [lo, hi], scale to 0..n and truncate toward zero. NaN and
// negative results become 0; the conversion saturates at 2^32 - 1.
std::uint32_t quantize(float x, float lo, float hi, std::uint32_t n);

// raw * (hi - lo) / n + lo, each step rounded to single precision.
float dequantize(std::uint32_t raw, float lo, float hi, std::uint32_t n);

// Fails when any limit is negative or NaN (checked in field order, before any
// arithmetic); setpoint values are never an error: they clamp, NaN encodes as 0.
std::expected<MitPayload, InvalidRange> encode(const MitLimits& limits, const MitSetpoint& sp);

// Decodes bytes 0..7; bytes beyond the eighth are ignored. Fails, without
// reading past the data, on a payload shorter than 8 bytes.
std::expected<MotorState, FeedbackTooShort> decode_feedback(const MitLimits& limits,
                                                            std::span<const std::uint8_t> data);

}  // namespace mit
}  // namespace velkarin::damiao
