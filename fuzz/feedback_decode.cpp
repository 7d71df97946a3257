// Fuzz target: decode_feedback on arbitrary limits and arbitrary reply bytes.
// Input: 20 bytes of limits (five floats, raw bits), then the reply payload.
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>

#include "damiao/mit/codec.hpp"
#include "fuzz_check.hpp"

namespace {

using velkarin::damiao::MitLimits;
using velkarin::damiao::MotorState;
namespace mit = velkarin::damiao::mit;

// Bit for bit, except that any NaN equals any NaN: which payload a NaN limit
// leaves in the result is the FPU's business, not the codec's.
bool same_bits(float a, float b) {
    if (std::isnan(a) || std::isnan(b)) return std::isnan(a) && std::isnan(b);
    return std::bit_cast<std::uint32_t>(a) == std::bit_cast<std::uint32_t>(b);
}

bool same_state(const MotorState& a, const MotorState& b) {
    return a.motor_id == b.motor_id && a.error == b.error && same_bits(a.position, b.position) &&
           same_bits(a.velocity, b.velocity) && same_bits(a.torque, b.torque) &&
           a.t_mos == b.t_mos && a.t_rotor == b.t_rotor;
}

// A dequantized value lies in [-m, m] up to the rounding of three float
// operations, for a limit small enough that raw * 2m cannot overflow.
bool within_range(float v, float m) {
    if (!(m >= 0.0f && m < 1e30f)) return true;  // no bound to hold it to
    const float slack = m * 1e-6f + 1e-38f;
    return v >= -m - slack && v <= m + slack;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    velkarin::fuzz::g_input = input;
    if (input.size() < sizeof(MitLimits)) return -1;  // not a usable input: keep out of the corpus

    MitLimits limits;
    static_assert(sizeof limits == 5 * sizeof(float));
    std::memcpy(&limits, input.data(), sizeof limits);
    // The payload ends where the input ends, so any read past it is an
    // out-of-bounds read of libFuzzer's own allocation.
    const auto payload = input.subspan(sizeof limits);

    const auto state = mit::decode_feedback(limits, payload);
    if (payload.size() < 8) {
        FUZZ_CHECK(!state.has_value());
        FUZZ_CHECK(state.error().len == payload.size());
        return 0;
    }
    FUZZ_CHECK(state.has_value());
    const MotorState& s = *state;

    // Byte 0: error in the high nibble, motor id in the low one.
    FUZZ_CHECK(s.motor_id <= 15 && s.error <= 15);
    FUZZ_CHECK((s.error << 4 | s.motor_id) == payload[0]);
    // The temperatures pass through untouched.
    FUZZ_CHECK(s.t_mos == payload[6] && s.t_rotor == payload[7]);

    // Bytes 1..5 read as one big-endian 40-bit word: position 16 bits, then
    // velocity and torque 12 bits each. The decoder must agree field by field.
    std::uint64_t word = 0;
    for (std::size_t i = 1; i <= 5; ++i) word = word << 8 | payload[i];
    const auto position_raw = static_cast<std::uint32_t>(word >> 24 & 0xFFFF);
    const auto velocity_raw = static_cast<std::uint32_t>(word >> 12 & 0xFFF);
    const auto torque_raw = static_cast<std::uint32_t>(word & 0xFFF);
    FUZZ_CHECK(same_bits(s.position, mit::dequantize(position_raw, -limits.p_max, limits.p_max,
                                                     mit::kPositionCounts)));
    FUZZ_CHECK(same_bits(s.velocity, mit::dequantize(velocity_raw, -limits.v_max, limits.v_max,
                                                     mit::kFieldCounts)));
    FUZZ_CHECK(same_bits(s.torque, mit::dequantize(torque_raw, -limits.t_max, limits.t_max,
                                                   mit::kFieldCounts)));

    FUZZ_CHECK(within_range(s.position, limits.p_max));
    FUZZ_CHECK(within_range(s.velocity, limits.v_max));
    FUZZ_CHECK(within_range(s.torque, limits.t_max));
    // Raw 0 is the bottom of the range, exactly, whenever the span is finite.
    if (position_raw == 0 && std::isfinite(limits.p_max - -limits.p_max))
        FUZZ_CHECK(s.position == -limits.p_max);

    // The motor's side writes the nibbles and temperature bytes back as read.
    const auto again = mit::encode_feedback(limits, s);
    FUZZ_CHECK(again[0] == payload[0] && again[6] == payload[6] && again[7] == payload[7]);

    // Only the first eight bytes count: a longer payload decodes the same.
    const auto first8 = mit::decode_feedback(limits, payload.first(8));
    FUZZ_CHECK(first8.has_value() && same_state(*first8, s));
    return 0;
}
