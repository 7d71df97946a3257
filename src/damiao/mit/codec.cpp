// The MIT fixed-point codec: the command and feedback layouts as tables of
// bit fields, read and written by the same few helpers in both directions.
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

// A field of a payload read as one big-endian 64-bit word: `offset` bits
// below the top, `width` bits wide. Values wider than the field lose their
// high bits.
struct Field {
    unsigned offset;
    unsigned width;
};

constexpr std::uint32_t full_scale(Field f) { return (std::uint32_t{1} << f.width) - 1; }
constexpr unsigned shift_of(Field f) { return 64 - f.offset - f.width; }

std::uint32_t get(std::uint64_t word, Field f) {
    return static_cast<std::uint32_t>(word >> shift_of(f)) & full_scale(f);
}

void put(std::uint64_t& word, Field f, std::uint32_t v) {
    word |= std::uint64_t{v & full_scale(f)} << shift_of(f);
}

std::uint64_t word_of(std::span<const std::uint8_t> data) {
    std::uint64_t word = 0;
    for (std::size_t i = 0; i < 8; ++i) word = word << 8 | data[i];
    return word;
}

MitPayload payload_of(std::uint64_t word) {
    MitPayload out{};
    for (std::size_t i = 0; i < 8; ++i) out[i] = static_cast<std::uint8_t>(word >> (56 - 8 * i));
    return out;
}

// A packed quantity: its bits, and the limit its range comes from, either
// symmetric (-max..max) or a gain's (0..max).
struct Scaled {
    Field field;
    float MitLimits::*limit;
    bool symmetric;
};

struct Range {
    float lo;
    float hi;
};

Range range_of(const Scaled& s, const MitLimits& limits) {
    const float max = limits.*s.limit;
    return s.symmetric ? Range{-max, max} : Range{0.0f, max};
}

std::uint32_t to_counts(float x, const Scaled& s, const MitLimits& limits) {
    const Range r = range_of(s, limits);
    return quantize(x, r.lo, r.hi, full_scale(s.field));
}

float from_counts(std::uint64_t word, const Scaled& s, const MitLimits& limits) {
    const Range r = range_of(s, limits);
    return dequantize(get(word, s.field), r.lo, r.hi, full_scale(s.field));
}

// A packed quantity and the member of `Record` it carries.
template <typename Record>
struct Carried {
    Scaled scaled;
    float Record::*value;
};

// The command payload, q dq kp kd tau from the top: also the order in which
// encode checks the limits.
constexpr Carried<MitSetpoint> kCommand[] = {
    {{{0, kPositionBits}, &MitLimits::p_max, true}, &MitSetpoint::q},
    {{{16, kFieldBits}, &MitLimits::v_max, true}, &MitSetpoint::dq},
    {{{28, kFieldBits}, &MitLimits::kp_max, false}, &MitSetpoint::kp},
    {{{40, kFieldBits}, &MitLimits::kd_max, false}, &MitSetpoint::kd},
    {{{52, kFieldBits}, &MitLimits::t_max, true}, &MitSetpoint::tau},
};

// The feedback payload: status and id nibbles, position, velocity, torque,
// then the two temperature bytes.
constexpr Field kError{0, 4};
constexpr Field kMotorId{4, 4};
constexpr Field kTMos{48, 8};
constexpr Field kTRotor{56, 8};
constexpr Carried<MotorState> kFeedback[] = {
    {{{8, kPositionBits}, &MitLimits::p_max, true}, &MotorState::position},
    {{{24, kFieldBits}, &MitLimits::v_max, true}, &MotorState::velocity},
    {{{36, kFieldBits}, &MitLimits::t_max, true}, &MotorState::torque},
};

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
    // lo <= hi is -max <= max for a symmetric range and 0 <= max for a gain;
    // false for a NaN, true for -0.0. The first bad range is the one reported.
    for (const auto& f : kCommand) {
        const Range r = range_of(f.scaled, limits);
        if (!(r.lo <= r.hi)) return std::unexpected(InvalidRange{r.lo, r.hi});
    }
    // For clamped inputs the counts fit their fields: nothing is lost.
    std::uint64_t word = 0;
    for (const auto& f : kCommand) put(word, f.scaled.field, to_counts(sp.*f.value, f.scaled, limits));
    return payload_of(word);
}

std::expected<MitSetpoint, PayloadTooShort> decode_command(const MitLimits& limits,
                                                           std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    const std::uint64_t word = word_of(data);
    MitSetpoint sp;
    for (const auto& f : kCommand) sp.*f.value = from_counts(word, f.scaled, limits);
    return sp;
}

std::expected<MotorState, PayloadTooShort> decode_feedback(const MitLimits& limits,
                                                           std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    const std::uint64_t word = word_of(data);
    MotorState s;
    s.motor_id = static_cast<std::uint8_t>(get(word, kMotorId));
    s.error = static_cast<std::uint8_t>(get(word, kError));
    for (const auto& f : kFeedback) s.*f.value = from_counts(word, f.scaled, limits);
    s.t_mos = static_cast<std::uint8_t>(get(word, kTMos));
    s.t_rotor = static_cast<std::uint8_t>(get(word, kTRotor));
    return s;
}

MitPayload encode_feedback(const MitLimits& limits, const MotorState& state) {
    std::uint64_t word = 0;
    put(word, kError, state.error);
    put(word, kMotorId, state.motor_id);
    for (const auto& f : kFeedback) put(word, f.scaled.field, to_counts(state.*f.value, f.scaled, limits));
    put(word, kTMos, state.t_mos);
    put(word, kTRotor, state.t_rotor);
    return payload_of(word);
}

}  // namespace velkarin::damiao::mit
