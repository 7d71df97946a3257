// The MIT fixed-point codec, both sides: setpoints to and from the 8-byte
// command payload, motor states to and from the 8-byte feedback payload.
// Pure functions: no I/O, no allocation, single-precision arithmetic done one
// operation at a time in the order written (the build keeps contraction off).
#pragma once

#include <cstdint>
#include <expected>
#include <span>

#include "../payload.hpp"

namespace velkarin::damiao {

// The motor firmware scales the two MIT gains over these ranges, whatever
// the model.
inline constexpr float kFirmwareKpMax = 500.0f;
inline constexpr float kFirmwareKdMax = 5.0f;

// Scaling ranges of one motor model: position, velocity and torque are
// symmetric (-max..+max), the two gains run from 0 to their max.
struct MitLimits {
    float p_max = 12.5f;
    float v_max = 30.0f;
    float kp_max = kFirmwareKpMax;
    float kd_max = kFirmwareKdMax;
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

using MitPayload = Payload;

// The first limit range that fails encode's precondition, named by its two
// bounds as computed: (-max, max) for a symmetric range, (0, max) for a gain.
struct InvalidRange {
    float min;
    float max;
};

namespace mit {

// Widths of the packed quantities: position 16 bits, every other one 12.
inline constexpr unsigned kPositionBits = 16;
inline constexpr unsigned kFieldBits = 12;
inline constexpr std::uint32_t kPositionCounts = (1u << kPositionBits) - 1;  // 65535
inline constexpr std::uint32_t kFieldCounts = (1u << kFieldBits) - 1;        // 4095

// A motor's own MIT limits: its PMAX, VMAX and TMAX registers, and the
// firmware's fixed gain ranges.
constexpr MitLimits firmware_limits(float p_max, float v_max, float t_max) {
    return {p_max, v_max, kFirmwareKpMax, kFirmwareKdMax, t_max};
}

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
std::expected<MotorState, PayloadTooShort> decode_feedback(const MitLimits& limits,
                                                           std::span<const std::uint8_t> data);

// The motor's side. decode_command is the inverse of encode: it reads bytes
// 0..7 (failing on fewer) and dequantizes each field over the range encode
// used, as decode_feedback does; no limit is checked.
std::expected<MitSetpoint, PayloadTooShort> decode_command(const MitLimits& limits,
                                                           std::span<const std::uint8_t> data);

// The inverse of decode_feedback: the low 4 bits of `error` and `motor_id`,
// position, velocity and torque quantized (clamped, NaN as the range's
// bottom), the temperature bytes as they are.
MitPayload encode_feedback(const MitLimits& limits, const MotorState& state);

}  // namespace mit
}  // namespace velkarin::damiao
