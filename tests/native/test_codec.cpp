// Tests of the MIT codec: golden command payloads, golden feedback decodes,
// truncation at single-precision boundaries, the limit checks, and properties
// over generated limits and setpoints.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "damiao/mit/codec.hpp"

namespace velkarin::damiao {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

float from_bits(std::uint32_t b) { return std::bit_cast<float>(b); }
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

std::string hex(std::span<const std::uint8_t> bytes) {
    std::string out;
    for (const auto b : bytes) {
        char buf[4];
        std::snprintf(buf, sizeof buf, "%02X", b);
        if (!out.empty()) out += ' ';
        out += buf;
    }
    return out;
}

// ---- encode: golden payloads ------------------------------------------------

struct EncodeCase {
    const char* what;
    MitLimits limits;
    MitSetpoint sp;
    const char* payload;
};

class EncodeGolden : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeGolden, PacksTheFiveFieldsBigEndianWithNibbleSplits) {
    const auto& c = GetParam();
    const auto out = mit::encode(c.limits, c.sp);
    ASSERT_TRUE(out.has_value()) << c.what;
    EXPECT_EQ(hex(*out), c.payload) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, EncodeGolden,
    ::testing::Values(
        //                     q       dq      kp      kd     tau       q     dq kp  kd tau
        EncodeCase{"zero setpoint: midpoints round down, gains at 0",
                   {}, {0, 0, 0, 0, 0},          "7F FF 7F F0 00 00 07 FF"},
        EncodeCase{"every field at the top of its range",
                   {}, {12.5f, 30, 500, 5, 10},  "FF FF FF FF FF FF FF FF"},
        EncodeCase{"every field at the bottom of its range",
                   {}, {-12.5f, -30, 0, 0, -10}, "00 00 00 00 00 00 00 00"},
        // 35388.9 -> 35388 (8A3C), 2184 (888), 409.5 -> 409 (199), 819 (333), 2149.875 -> 2149 (865)
        EncodeCase{"fractions truncate toward zero",
                   {}, {1, 2, 50, 1, 0.5f},      "8A 3C 88 81 99 33 38 65"},
        EncodeCase{"out of range clamps to the ends, NaN torque encodes as 0",
                   {}, {100, -100, -5, 50, kNaN}, "FF FF 00 00 00 FF F0 00"},
        EncodeCase{"infinities clamp like any other out-of-range value",
                   {}, {kInf, -kInf, kInf, -kInf, kInf}, "FF FF 00 0F FF 00 0F FF"},
        EncodeCase{"NaN in every field encodes as all zero",
                   {}, {kNaN, kNaN, kNaN, kNaN, kNaN}, "00 00 00 00 00 00 00 00"},
        EncodeCase{"a zero limit encodes as 0 (0/0 is NaN)",
                   {0, 0, 0, 0, 0}, {1, 1, 1, 1, 1}, "00 00 00 00 00 00 00 00"},
        EncodeCase{"negative zero limits pass the check and encode as 0",
                   {-0.0f, -0.0f, -0.0f, -0.0f, -0.0f}, {0, 0, 0, 0, 0},
                   "00 00 00 00 00 00 00 00"},
        EncodeCase{"a wider symmetric range keeps the same midpoint",
                   {12.5f, 280, 500, 5, 1}, {0, 0, 0, 0, 0}, "7F FF 7F F0 00 00 07 FF"}));

// ---- quantize: truncation boundaries ----------------------------------------

struct QuantizeCase {
    const char* what;
    float x, lo, hi;
    std::uint32_t n;
    std::uint32_t expected;
};

class QuantizeBoundary : public ::testing::TestWithParam<QuantizeCase> {};

TEST_P(QuantizeBoundary, TruncatesTheSinglePrecisionResult) {
    const auto& c = GetParam();
    EXPECT_EQ(mit::quantize(c.x, c.lo, c.hi, c.n), c.expected) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Boundaries, QuantizeBoundary,
    ::testing::Values(
        // Over [0, 4095] with N 4095 the scaled value is x itself.
        QuantizeCase{"an exact count", 7.0f, 0, 4095, 4095, 7},
        QuantizeCase{"one ulp below a count truncates down", from_bits(0x40DFFFFF), 0, 4095, 4095, 6},
        QuantizeCase{"one ulp above a count", from_bits(0x40E00001), 0, 4095, 4095, 7},
        QuantizeCase{"a half truncates, never rounds", 6.5f, 0, 4095, 4095, 6},
        QuantizeCase{"symmetric midpoint 32767.5", 0.0f, -12.5f, 12.5f, 65535, 32767},
        // In double precision these land just below the count: the result
        // depends on every step being rounded to single precision.
        QuantizeCase{"position rounded per step (double gives 163)",
                     from_bits(0xC146FFBF), -12.5f, 12.5f, 65535, 164},
        QuantizeCase{"gain rounded per step (double gives 32)",
                     from_bits(0x4080F00F), 0, 500, 4095, 33},
        // Multiplying before dividing matters: divide-first gives 1147.
        QuantizeCase{"multiply by N before dividing by the span",
                     from_bits(0xC140FE39), -12.5f, 12.5f, 65535, 1148},
        QuantizeCase{"NaN gives 0", kNaN, -1, 1, 4095, 0},
        QuantizeCase{"an infinite span gives 0", 1.0f, 0, kInf, 4095, 0},
        QuantizeCase{"infinite x over an infinite span is NaN, gives 0", kInf, 0, kInf, 4095, 0},
        // N = 2^32 - 1 becomes 2^32 as a float: the top saturates.
        QuantizeCase{"2^32 saturates", 1.0f, 0, 1, 4294967295u, 4294967295u},
        QuantizeCase{"just below 2^32 converts exactly",
                     from_bits(0x3F7FFFFF), 0, 1, 4294967295u, 4294967040u},
        QuantizeCase{"half of 2^32", 0.5f, 0, 1, 4294967295u, 2147483648u}));

// ---- encode: the limit check -------------------------------------------------

struct LimitsCase {
    const char* what;
    MitLimits limits;
    float min, max;  // NaN matches NaN
};

class EncodeRejects : public ::testing::TestWithParam<LimitsCase> {};

TEST_P(EncodeRejects, NamesTheFirstBadRangeByItsComputedBounds) {
    const auto& c = GetParam();
    const auto out = mit::encode(c.limits, MitSetpoint{1, 2, 3, 4, 5});
    ASSERT_FALSE(out.has_value()) << c.what;
    const InvalidRange r = out.error();
    // NaN bounds match any NaN; everything else bit for bit, signs included.
    const auto same = [](float got, float want) {
        return std::isnan(want) ? std::isnan(got) : bits(got) == bits(want);
    };
    EXPECT_TRUE(same(r.min, c.min)) << c.what << ": min " << r.min;
    EXPECT_TRUE(same(r.max, c.max)) << c.what << ": max " << r.max;
}

INSTANTIATE_TEST_SUITE_P(
    Limits, EncodeRejects,
    ::testing::Values(
        //                                  p_max    v_max   kp_max  kd_max  t_max
        LimitsCase{"negative p_max",      {-1.0f,    30,     500,    5,      10}, 1.0f, -1.0f},
        LimitsCase{"negative kp_max",     {12.5f,    30,     -1.0f,  5,      10}, 0.0f, -1.0f},
        LimitsCase{"NaN p_max is seen before the others",
                                          {kNaN,     -1,     -1,     -1,     -1}, kNaN, kNaN},
        LimitsCase{"v_max before t_max",  {12.5f,    -2.0f,  500,    5,      -3}, 2.0f, -2.0f},
        LimitsCase{"kd_max NaN",          {12.5f,    30,     500,    kNaN,   10}, 0.0f, kNaN},
        LimitsCase{"kp_max before kd_max",{12.5f,    30,     -kInf,  -1,     10}, 0.0f, -kInf},
        LimitsCase{"t_max last",          {12.5f,    30,     500,    5,      -1e20f}, 1e20f, -1e20f},
        LimitsCase{"negative infinite v_max", {1,    -kInf,  1,      1,      1}, kInf, -kInf}));

TEST(Encode, AcceptsInfiniteAndNegativeZeroLimits) {
    EXPECT_TRUE(mit::encode({kInf, kInf, kInf, kInf, kInf}, {}).has_value());
    EXPECT_TRUE(mit::encode({-0.0f, 30, -0.0f, 5, 10}, {}).has_value());
}

// ---- decode_feedback ------------------------------------------------------------

struct DecodeCase {
    const char* what;
    std::vector<std::uint8_t> data;
    MotorState expected;
};

class DecodeGolden : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeGolden, UnpacksTheFeedbackFieldsExactly) {
    const auto& c = GetParam();
    const auto out = mit::decode_feedback(MitLimits{}, c.data);
    ASSERT_TRUE(out.has_value()) << c.what;
    const MotorState& s = *out;
    const MotorState& e = c.expected;
    EXPECT_EQ(s.motor_id, e.motor_id) << c.what;
    EXPECT_EQ(s.error, e.error) << c.what;
    EXPECT_EQ(bits(s.position), bits(e.position)) << c.what << " position " << s.position;
    EXPECT_EQ(bits(s.velocity), bits(e.velocity)) << c.what << " velocity " << s.velocity;
    EXPECT_EQ(bits(s.torque), bits(e.torque)) << c.what << " torque " << s.torque;
    EXPECT_EQ(s.t_mos, e.t_mos) << c.what;
    EXPECT_EQ(s.t_rotor, e.t_rotor) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Feedback, DecodeGolden,
    ::testing::Values(
        DecodeCase{"midpoints decode just below zero",
                   {0x01,        // error 0, motor 1
                    0x7F, 0xFF,  // position 32767
                    0x7F, 0xF7,  // velocity 2047, torque bits 11..8 = 7
                    0xFF,        // torque bits 7..0
                    0x1E, 0x28}, // t_mos 30, t_rotor 40
                   {1, 0, -0.00019073486f, -0.007326126f, -0.00244236f, 30, 40}},
        DecodeCase{"byte 0 splits into error (high) and id (low)",
                   {0x1A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00},
                   {10, 1, -12.5f, -30.0f, -10.0f, 0, 0}},
        DecodeCase{"every raw value at its top",
                   {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
                   {15, 15, 12.5f, 30.0f, 10.0f, 255, 255}},
        DecodeCase{"12 bytes decode from the first 8",
                   {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x1C, 0xAA, 0xBB, 0xCC, 0xDD},
                   {1, 1, -0.00019073486f, -0.007326126f, -0.00244236f, 30, 28}},
        // velocity 0x123 from byte 3 and the high nibble of byte 4, torque
        // 0x456 from its low nibble and byte 5: distinct nibbles catch a swap.
        DecodeCase{"the velocity/torque nibble split",
                   {0x00, 0x80, 0x00, 0x12, 0x34, 0x56, 0x00, 0x00},
                   {0, 0, 0.00019073486f, 291.0f * 60.0f / 4095.0f - 30.0f,
                    1110.0f * 20.0f / 4095.0f - 10.0f, 0, 0}}));

// Places n bytes right before a page that cannot be read, so any read past
// the data faults.
class GuardedBytes {
public:
    GuardedBytes() {
        page_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
        void* p = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        base_ = static_cast<std::uint8_t*>(p);
        mprotect(base_ + page_, page_, PROT_NONE);
    }
    ~GuardedBytes() {
        if (base_ != nullptr) munmap(base_, 2 * page_);
    }
    GuardedBytes(const GuardedBytes&) = delete;
    GuardedBytes& operator=(const GuardedBytes&) = delete;

    bool ok() const { return base_ != nullptr; }
    std::span<const std::uint8_t> tail(std::size_t n, std::uint8_t fill) {
        std::uint8_t* at = base_ + page_ - n;
        for (std::size_t i = 0; i < n; ++i) at[i] = fill;
        return {at, n};
    }

private:
    std::size_t page_ = 0;
    std::uint8_t* base_ = nullptr;
};

TEST(DecodeFeedback, FailsOnFewerThanEightBytesWithoutReadingPastThem) {
    GuardedBytes mem;
    ASSERT_TRUE(mem.ok());
    for (std::size_t n = 0; n < 8; ++n) {
        const auto out = mit::decode_feedback(MitLimits{}, mem.tail(n, 0xFF));
        ASSERT_FALSE(out.has_value()) << n;
        EXPECT_EQ(out.error().len, n);
    }
    EXPECT_FALSE(mit::decode_feedback(MitLimits{}, std::span<const std::uint8_t>{}).has_value());
    // Exactly eight bytes at the edge decode without touching the guard page.
    const auto eight = mit::decode_feedback(MitLimits{}, mem.tail(8, 0x21));
    ASSERT_TRUE(eight.has_value());
    EXPECT_EQ(eight->motor_id, 1);
    EXPECT_EQ(eight->t_rotor, 0x21);
}

// ---- properties over generated inputs -----------------------------------------

// Command-field counts as packed by encode, read back from the payload.
struct Counts {
    std::uint32_t q, dq, kp, kd, tau;
};

Counts unpack_command(const MitPayload& p) {
    return {
        (std::uint32_t{p[0]} << 8) | p[1],
        (std::uint32_t{p[2]} << 4) | (p[3] >> 4),
        (std::uint32_t{p[3] & 0x0Fu} << 8) | p[4],
        (std::uint32_t{p[5]} << 4) | (p[6] >> 4),
        (std::uint32_t{p[6] & 0x0Fu} << 8) | p[7],
    };
}

// A feedback payload that carries the command's q, dq and tau counts in the
// feedback layout (position, velocity, torque).
MitPayload as_feedback(const Counts& c) {
    return {0x00,
            static_cast<std::uint8_t>(c.q >> 8), static_cast<std::uint8_t>(c.q),
            static_cast<std::uint8_t>(c.dq >> 4),
            static_cast<std::uint8_t>(((c.dq & 0xFu) << 4) | (c.tau >> 8)),
            static_cast<std::uint8_t>(c.tau), 0x00, 0x00};
}

float clamp_to(float x, float lo, float hi) { return x < lo ? lo : (x > hi ? hi : x); }

TEST(CodecProperties, EncodeClampsAndDecodeLandsWithinOneStep) {
    std::mt19937 rng(20240607);
    std::uniform_real_distribution<float> log_limit(-3.0f, 3.0f);
    std::uniform_real_distribution<float> unit(-2.0f, 2.0f);
    for (int i = 0; i < 20000; ++i) {
        const MitLimits lim{std::pow(10.0f, log_limit(rng)), std::pow(10.0f, log_limit(rng)),
                            std::pow(10.0f, log_limit(rng)), std::pow(10.0f, log_limit(rng)),
                            std::pow(10.0f, log_limit(rng))};
        // Setpoints up to twice each limit either way, so about half clamp.
        const MitSetpoint sp{unit(rng) * lim.p_max, unit(rng) * lim.v_max, unit(rng) * lim.kp_max,
                             unit(rng) * lim.kd_max, unit(rng) * lim.t_max};
        const auto out = mit::encode(lim, sp);
        ASSERT_TRUE(out.has_value());
        const Counts c = unpack_command(*out);

        // The unmasked counts already lie in 0..N: masking never loses bits.
        EXPECT_LE(mit::quantize(sp.q, -lim.p_max, lim.p_max, 65535), 65535u);
        EXPECT_LE(mit::quantize(sp.kp, 0, lim.kp_max, 4095), 4095u);
        EXPECT_EQ(c.q, mit::quantize(sp.q, -lim.p_max, lim.p_max, 65535));
        EXPECT_EQ(c.kd, mit::quantize(sp.kd, 0, lim.kd_max, 4095));

        // Out-of-range values encode exactly as the range end.
        const MitSetpoint ends{clamp_to(sp.q, -lim.p_max, lim.p_max),
                               clamp_to(sp.dq, -lim.v_max, lim.v_max),
                               clamp_to(sp.kp, 0, lim.kp_max), clamp_to(sp.kd, 0, lim.kd_max),
                               clamp_to(sp.tau, -lim.t_max, lim.t_max)};
        EXPECT_EQ(hex(*out), hex(*mit::encode(lim, ends)));

        // Through the feedback layout and back: within one count of the
        // clamped input (plus rounding slack of the float steps).
        const auto fb = as_feedback(c);
        const auto s = mit::decode_feedback(lim, fb);
        ASSERT_TRUE(s.has_value());
        const float pq = 2 * lim.p_max / 65535, pv = 2 * lim.v_max / 4095, pt = 2 * lim.t_max / 4095;
        EXPECT_LE(ends.q - s->position, pq * 1.02f) << i;
        EXPECT_GE(ends.q - s->position, -pq * 0.02f) << i;
        EXPECT_LE(ends.dq - s->velocity, pv * 1.02f) << i;
        EXPECT_GE(ends.dq - s->velocity, -pv * 0.02f) << i;
        EXPECT_LE(ends.tau - s->torque, pt * 1.02f) << i;
        EXPECT_GE(ends.tau - s->torque, -pt * 0.02f) << i;
    }
}

TEST(CodecProperties, ANaNFieldEncodesAsTheBottomOfItsRange) {
    std::mt19937 rng(7);
    std::uniform_real_distribution<float> v(-50.0f, 50.0f);
    const MitLimits lim{};
    for (int i = 0; i < 2000; ++i) {
        MitSetpoint sp{v(rng), v(rng), v(rng), v(rng), v(rng)};
        float* fields[] = {&sp.q, &sp.dq, &sp.kp, &sp.kd, &sp.tau};
        *fields[i % 5] = kNaN;
        const Counts c = unpack_command(*mit::encode(lim, sp));
        const std::uint32_t got[] = {c.q, c.dq, c.kp, c.kd, c.tau};
        EXPECT_EQ(got[i % 5], 0u) << "field " << i % 5;
    }
}

}  // namespace
}  // namespace velkarin::damiao
