// The motor's side of the protocol against the driver's: round trips through
// the MIT codec and register frames, mode payloads read back, and the
// recognition of special commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include "damiao/mit/codec.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/registers.hpp"
#include "damiao/special_commands.hpp"

namespace velkarin::damiao {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

// ---- round trips --------------------------------------------------------------

struct RoundTripCase {
    const char* name;
    MitLimits limits;
    MitSetpoint setpoint;
    MotorState state;
    registers::Request request;
    setpoints::ForcePos mode;  // POS_VEL and VEL take its first two values
};

// `got` lies within one count of `sent` clamped to [lo, hi] (plus the
// rounding of the float steps).
void expect_one_count(float got, float sent, float lo, float hi, std::uint32_t n, const char* what) {
    EXPECT_LE(std::fabs(got - std::clamp(sent, lo, hi)), (hi - lo) / static_cast<float>(n) * 1.001f)
        << what << " came back as " << got;
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, TheMotorReadsWhatTheDriverWroteAndTheDriverWhatTheMotorWrote) {
    const auto& c = GetParam();
    const MitLimits& l = c.limits;
    const auto payload = mit::encode(l, c.setpoint);
    ASSERT_TRUE(payload.has_value());
    const auto sp = mit::decode_command(l, *payload);
    ASSERT_TRUE(sp.has_value());
    expect_one_count(sp->q, c.setpoint.q, -l.p_max, l.p_max, mit::kPositionCounts, "q");
    expect_one_count(sp->dq, c.setpoint.dq, -l.v_max, l.v_max, mit::kFieldCounts, "dq");
    expect_one_count(sp->kp, c.setpoint.kp, 0, l.kp_max, mit::kFieldCounts, "kp");
    expect_one_count(sp->kd, c.setpoint.kd, 0, l.kd_max, mit::kFieldCounts, "kd");
    expect_one_count(sp->tau, c.setpoint.tau, -l.t_max, l.t_max, mit::kFieldCounts, "tau");

    const auto s = mit::decode_feedback(l, mit::encode_feedback(l, c.state));
    ASSERT_TRUE(s.has_value());
    EXPECT_EQ(s->motor_id, c.state.motor_id & 0x0F);
    EXPECT_EQ(s->error, c.state.error & 0x0F);
    expect_one_count(s->position, c.state.position, -l.p_max, l.p_max, mit::kPositionCounts, "position");
    expect_one_count(s->velocity, c.state.velocity, -l.v_max, l.v_max, mit::kFieldCounts, "velocity");
    expect_one_count(s->torque, c.state.torque, -l.t_max, l.t_max, mit::kFieldCounts, "torque");
    EXPECT_EQ(s->t_mos, c.state.t_mos);
    EXPECT_EQ(s->t_rotor, c.state.t_rotor);

    EXPECT_EQ(registers::parse_request(registers::payload_of(c.request)), c.request);

    // Floats come back bit for bit (NaN included), counts as they were sent.
    const auto& m = c.mode;
    const auto pv = modes::parse_pos_vel(modes::pos_vel_payload({m.position, m.velocity_limit}));
    const auto v = modes::parse_vel(modes::vel_payload({m.velocity_limit}));
    const auto fp = modes::parse_force_pos(modes::force_pos_payload(m));
    ASSERT_TRUE(pv && v && fp);
    EXPECT_EQ(bits(pv->position), bits(m.position));
    EXPECT_EQ(bits(pv->velocity), bits(m.velocity_limit));
    EXPECT_EQ(bits(v->velocity), bits(m.velocity_limit));
    EXPECT_EQ(bits(fp->position), bits(m.position));
    EXPECT_EQ(fp->speed_count, modes::force_pos_speed_count(m.velocity_limit));
    EXPECT_EQ(fp->torque_count, modes::force_pos_torque_count(m.torque_ratio));
}

constexpr MitLimits kDm8009{12.5f, 45, 500, 5, 54};
constexpr MitLimits kSmall{0.5f, 0.25f, 10, 0.1f, 0.01f};

INSTANTIATE_TEST_SUITE_P(
    Table, RoundTrip,
    ::testing::Values(
        // limits, setpoint {q dq kp kd tau}, state {id err position velocity torque mos rotor},
        // register request {motor op reg value}, mode values
        RoundTripCase{"zero", {}, {0, 0, 0, 0, 0}, {1, 0, 0, 0, 0, 25, 25},
                      {1, registers::kRead, registers::CTRL_MODE, 0}, {0, 0, 0}},
        RoundTripCase{"fractions", {}, {1, 2, 50, 1, 0.5f}, {10, 1, 1.0f, -2.5f, 3.3f, 30, 40},
                      {0x0801, registers::kWrite, registers::PMAX, 0x41480000}, {1.5f, -2.0f, 0.5f}},
        RoundTripCase{"tops", {}, {12.5f, 30, 500, 5, 10}, {15, 15, 12.5f, 30, 10, 255, 255},
                      {0xFFFF, registers::kStore, registers::kStoreAll, 0}, {kNaN, -kInf, 2.0f}},
        RoundTripCase{"out_of_range_clamps", {}, {100, -100, -5, 50, 1e9f},
                      {3, 0xD, -100, 100, -1e9f, 0, 200}, {2, registers::kRefresh, 0, 0},
                      {-0.0f, 150.0f, 0.00015f}},
        RoundTripCase{"dm8009", kDm8009, {-3.1f, 40, 123.4f, 0.7f, -50}, {7, 1, 1.234f, -44.9f, 53.9f, 41, 39},
                      {0x7FF, registers::kRead, registers::xout, 0xDEADBEEF}, {-7.0f, 2.5f, kNaN}},
        RoundTripCase{"ids_keep_their_low_nibble", kSmall, {0.1f, -0.2f, 3, 0.05f, -0.004f},
                      {0x1F, 0x2E, -0.3f, 0.2f, 0.009f, 1, 2}, {0x1234, 0x44, 0xFF, 0xFFFFFFFF},
                      {1e30f, 99.99f, 0.9999f}}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MotorSide, ForcePosCountsAboveTheCapArriveAsSent) {
    const std::vector<std::uint8_t> d{0, 0, 0x80, 0x3F, 0xFF, 0xFF, 0x11, 0x27};
    const auto p = modes::parse_force_pos(d);
    ASSERT_TRUE(p.has_value());
    EXPECT_EQ(p->position, 1.0f);
    EXPECT_EQ(p->speed_count, 0xFFFF);
    EXPECT_EQ(p->torque_count, 10001);
}

// The length a parser refused, or nothing when it parsed.
template <typename R>
std::optional<std::size_t> refused(const R& r) {
    return r ? std::nullopt : std::optional<std::size_t>(r.error().len);
}

TEST(MotorSide, EveryParserRefusesFewerThanEightBytes) {
    const std::vector<std::uint8_t> seven(7, 0xFF);
    EXPECT_EQ(refused(mit::decode_command({}, seven)), 7u);
    EXPECT_EQ(refused(modes::parse_pos_vel(seven)), 7u);
    EXPECT_EQ(refused(modes::parse_vel(seven)), 7u);
    EXPECT_EQ(refused(modes::parse_force_pos(seven)), 7u);
    EXPECT_EQ(refused(registers::parse_request(seven)), 7u);
}

// ---- special commands ---------------------------------------------------------

struct SpecialCase {
    const char* name;
    std::vector<std::uint8_t> data;
    std::optional<SpecialCommand> command;
};

class SpecialRecognition : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialRecognition, KnowsExactlyTheFourCommands) {
    EXPECT_EQ(special_command_of(GetParam().data), GetParam().command);
}

const std::vector<std::uint8_t> kSevenFf(7, 0xFF);
std::vector<std::uint8_t> ff_then(std::vector<std::uint8_t> tail) {
    std::vector<std::uint8_t> v = kSevenFf;
    v.insert(v.end(), tail.begin(), tail.end());
    return v;
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, SpecialRecognition,
    ::testing::Values(
        SpecialCase{"enable", ff_then({0xFC}), SpecialCommand::Enable},
        SpecialCase{"disable", ff_then({0xFD}), SpecialCommand::Disable},
        SpecialCase{"set_zero", ff_then({0xFE}), SpecialCommand::SetZero},
        SpecialCase{"clear_error", ff_then({0xFB}), SpecialCommand::ClearError},
        SpecialCase{"unknown_opcode", ff_then({0xFA}), std::nullopt},
        SpecialCase{"all_ff", ff_then({0xFF}), std::nullopt},
        SpecialCase{"one_byte_not_ff", {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFC}, std::nullopt},
        SpecialCase{"seven_bytes", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}, std::nullopt},
        SpecialCase{"nine_bytes", ff_then({0xFC, 0x00}), std::nullopt}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velkarin::damiao
