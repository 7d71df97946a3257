// The MIT fixed-point codec: five setpoint fields packed big-endian with
// nibble splits, and the feedback payload unpacked the same way.
#include "damiao/mit/codec.hpp"

#include <cstddef>
#include <limits>

namespace velkarin::damiao::mit {
namespace {

// 2^32 as a float: the first value that no longer fits an unsigned 32-bit count.
constexpr float kTwoTo32 = 4294967296.0f;

// Truncates toward zero without the undefined behaviour of casting a NaN or
// out-of-range float: NaN, negatives and zero give 0, 2^32 and up saturate.
std::uint32_t saturating_u32(float v) {
    if (!(v > 0.0f)) return 0;
    if (v >= kTwoTo32) return std::numeric_limits<std::uint32_t>::max();
    return static_cast<std::uint32_t>(v);
}

// The range check of encode: -max <= max for a symmetric range, 0 <= max for a
// gain. Both comparisons are false for a NaN, and -0.0 passes either.
bool symmetric_ok(float max) { return -max <= max; }
bool gain_ok(float max) { return 0.0f <= max; }

}  // namespace

std::uint32_t quantize(float x, float lo, float hi, std::uint32_t n) {
    // A NaN fails both comparisons and stays NaN, to become 0 below.
    float c = x;
    if (x < lo) {
        c = lo;
    } else if (x > hi) {
        c = hi;
    }
    const float shifted = c - lo;
    const float scaled = shifted * static_cast<float>(n);
    const float v = scaled / (hi - lo);
    return saturating_u32(v);
}

float dequantize(std::uint32_t raw, float lo, float hi, std::uint32_t n) {
    const float span = hi - lo;
    const float scaled = static_cast<float>(raw) * span;
    const float unit = scaled / static_cast<float>(n);
    return unit + lo;
}

std::expected<MitPayload, InvalidRange> encode(const MitLimits& limits, const MitSetpoint& sp) {
    // Field order p, v, kp, kd, t: the first bad range is the one reported.
    if (!symmetric_ok(limits.p_max)) return std::unexpected(InvalidRange{-limits.p_max, limits.p_max});
    if (!symmetric_ok(limits.v_max)) return std::unexpected(InvalidRange{-limits.v_max, limits.v_max});
    if (!gain_ok(limits.kp_max)) return std::unexpected(InvalidRange{0.0f, limits.kp_max});
    if (!gain_ok(limits.kd_max)) return std::unexpected(InvalidRange{0.0f, limits.kd_max});
    if (!symmetric_ok(limits.t_max)) return std::unexpected(InvalidRange{-limits.t_max, limits.t_max});

    // Only the low 16 bits of q and the low 12 bits of the others go on the
    // wire; for clamped inputs nothing is lost.
    const std::uint32_t q = quantize(sp.q, -limits.p_max, limits.p_max, kPositionCounts) & 0xFFFFu;
    const std::uint32_t dq = quantize(sp.dq, -limits.v_max, limits.v_max, kFieldCounts) & 0xFFFu;
    const std::uint32_t kp = quantize(sp.kp, 0.0f, limits.kp_max, kFieldCounts) & 0xFFFu;
    const std::uint32_t kd = quantize(sp.kd, 0.0f, limits.kd_max, kFieldCounts) & 0xFFFu;
    const std::uint32_t tau = quantize(sp.tau, -limits.t_max, limits.t_max, kFieldCounts) & 0xFFFu;

    return MitPayload{
        static_cast<std::uint8_t>(q >> 8),
        static_cast<std::uint8_t>(q),
        static_cast<std::uint8_t>(dq >> 4),
        static_cast<std::uint8_t>(((dq & 0xFu) << 4) | (kp >> 8)),
        static_cast<std::uint8_t>(kp),
        static_cast<std::uint8_t>(kd >> 4),
        static_cast<std::uint8_t>(((kd & 0xFu) << 4) | (tau >> 8)),
        static_cast<std::uint8_t>(tau),
    };
}

std::expected<MotorState, FeedbackTooShort> decode_feedback(const MitLimits& limits,
                                                            std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(FeedbackTooShort{data.size()});

    const std::uint32_t position_raw = (std::uint32_t{data[1]} << 8) | data[2];
    const std::uint32_t velocity_raw = (std::uint32_t{data[3]} << 4) | (data[4] >> 4);
    const std::uint32_t torque_raw = (std::uint32_t{data[4] & 0x0Fu} << 8) | data[5];

    MotorState s;
    s.motor_id = static_cast<std::uint8_t>(data[0] & 0x0Fu);
    s.error = static_cast<std::uint8_t>(data[0] >> 4);
    s.position = dequantize(position_raw, -limits.p_max, limits.p_max, kPositionCounts);
    s.velocity = dequantize(velocity_raw, -limits.v_max, limits.v_max, kFieldCounts);
    s.torque = dequantize(torque_raw, -limits.t_max, limits.t_max, kFieldCounts);
    s.t_mos = data[6];
    s.t_rotor = data[7];
    return s;
}

}  // namespace velkarin::damiao::mit
