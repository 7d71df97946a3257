// Driver command tests against the scripted bus: the frame of every command,
// id masking, reply matching, decoding with the motor's limits, and failures.
#include <cerrno>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "damiao/driver.hpp"
#include "damiao/presets.hpp"
#include "frame_helpers.hpp"
#include "scripted_transport.hpp"

namespace velkarin::damiao {
namespace {

using testing::Bytes;
using testing::ScriptedTransport;
using testing::bytes_of;
using testing::classic;
using testing::expect_classic_frame;
using transport::CanFrame;
using transport::CanId;
using transport::TransportError;

// A feedback payload with motor id 1, every field at mid-scale, t_mos 30, t_rotor 40.
const Bytes kFeedback = {0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28};

constexpr MitLimits kDefaultLimits{};

Damiao motor(std::uint16_t id, std::uint16_t master = 0x11, MitLimits limits = kDefaultLimits,
             std::uint64_t timeout_ms = 20) {
    return Damiao(id, master, limits, timeout_ms);
}

// ---- special commands -------------------------------------------------------

struct SpecialCase {
    const char* name;
    Result<MotorState> (Damiao::*command)(transport::CanTransport&) const;
    std::uint16_t motor_id;
    std::uint16_t wire_id;
    std::uint8_t opcode;
};

class SpecialCommand : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialCommand, SendsSevenFfAndItsOpcodeAndDecodesTheReplyOnTheMasterId) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x012, {0x02, 0, 0, 0, 0, 0, 0, 0}));  // another motor's feedback
    bus.reply(classic(0x011, kFeedback));
    const Damiao m = motor(c.motor_id);

    auto state = (m.*c.command)(bus);

    ASSERT_TRUE(state.has_value()) << state.error().text();
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_classic_frame(bus.sent[0], c.wire_id,
                         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, c.opcode});
    EXPECT_EQ(state->motor_id, 1);
    EXPECT_EQ(state->error, 0);
    EXPECT_FLOAT_EQ(state->position, -0.00019073486f);
    EXPECT_FLOAT_EQ(state->velocity, -0.007326126f);
    EXPECT_FLOAT_EQ(state->torque, -0.00244236f);
    EXPECT_EQ(state->t_mos, 30);
    EXPECT_EQ(state->t_rotor, 40);
    EXPECT_TRUE(bus.script.empty());
}

INSTANTIATE_TEST_SUITE_P(
    AllFour, SpecialCommand,
    ::testing::Values(SpecialCase{"enable", &Damiao::enable, 1, 0x001, 0xFC},
                      SpecialCase{"disable", &Damiao::disable, 1, 0x001, 0xFD},
                      SpecialCase{"set_zero", &Damiao::set_zero, 1, 0x001, 0xFE},
                      SpecialCase{"clear_error", &Damiao::clear_error, 1, 0x001, 0xFB},
                      // Only the low 11 bits of the id reach the wire.
                      SpecialCase{"enable_masked", &Damiao::enable, 0x801, 0x001, 0xFC},
                      SpecialCase{"clear_error_masked", &Damiao::clear_error, 0xFFFF, 0x7FF,
                                  0xFB}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- control dispatch -------------------------------------------------------

struct ControlCase {
    const char* name;
    std::uint16_t motor_id;
    ControlSetpoint setpoint;
    std::uint16_t wire_id;
    Bytes data;
};

class ControlFrame : public ::testing::TestWithParam<ControlCase> {};

TEST_P(ControlFrame, GoesOutOnTheModeIdWithTheModePayload) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x011, kFeedback));

    auto state = motor(c.motor_id).control(bus, c.setpoint);

    ASSERT_TRUE(state.has_value()) << state.error().text();
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_classic_frame(bus.sent[0], c.wire_id, c.data);
}

const MitSetpoint kMitExample{1.0f, 2.0f, 50.0f, 1.0f, 0.5f};
const Bytes kMitExampleBytes = {0x8A, 0x3C, 0x88, 0x81, 0x99, 0x33, 0x38, 0x65};

INSTANTIATE_TEST_SUITE_P(
    EveryMode, ControlFrame,
    ::testing::Values(
        ControlCase{"mit", 1, setpoints::Mit{kMitExample}, 0x001, kMitExampleBytes},
        ControlCase{"mit_masked", 0x801, setpoints::Mit{kMitExample}, 0x001, kMitExampleBytes},
        //                                                   position 1.5            velocity -2.0
        ControlCase{"pos_vel", 1, setpoints::PosVel{1.5f, -2.0f}, 0x101,
                    {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0xC0}},
        //                                                   velocity 3.0            zero
        ControlCase{"vel", 2, setpoints::Vel{3.0f}, 0x202,
                    {0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x00, 0x00}},
        //                                                   position 1.5  speed 250  torque 5000
        ControlCase{"force_pos", 3, setpoints::ForcePos{1.5f, 2.5f, 0.5f}, 0x303,
                    {0x00, 0x00, 0xC0, 0x3F, 0xFA, 0x00, 0x88, 0x13}},
        // 0x100/0x200/0x300 + 0x7FF wrap within 11 bits.
        ControlCase{"pos_vel_masked", 0x7FF, setpoints::PosVel{1.5f, -2.0f}, 0x0FF,
                    {0x00, 0x00, 0xC0, 0x3F, 0x00, 0x00, 0x00, 0xC0}},
        ControlCase{"vel_masked", 0x7FF, setpoints::Vel{3.0f}, 0x1FF,
                    {0x00, 0x00, 0x40, 0x40, 0x00, 0x00, 0x00, 0x00}},
        ControlCase{"force_pos_masked", 0x7FF, setpoints::ForcePos{1.5f, 2.5f, 0.5f}, 0x2FF,
                    {0x00, 0x00, 0xC0, 0x3F, 0xFA, 0x00, 0x88, 0x13}},
        // The offset is added to all 16 bits before masking: 0x300 + 0xFFFF.
        ControlCase{"force_pos_wide_id", 0xFFFF, setpoints::ForcePos{0.0f, 0.0f, 0.0f}, 0x2FF,
                    Bytes(8, 0x00)}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(MitControl, SendsTheSameFrameAsControlWithMit) {
    const MitSetpoint sp{-3.0f, 7.5f, 120.0f, 0.25f, -4.0f};
    ScriptedTransport direct, dispatched;
    direct.reply(classic(0x011, kFeedback));
    dispatched.reply(classic(0x011, kFeedback));
    const Damiao m = motor(5);

    ASSERT_TRUE(m.mit_control(direct, sp).has_value());
    ASSERT_TRUE(m.control(dispatched, setpoints::Mit{sp}).has_value());

    ASSERT_EQ(direct.sent.size(), 1u);
    ASSERT_EQ(dispatched.sent.size(), 1u);
    EXPECT_EQ(direct.sent[0].id, CanId::standard(5));
    EXPECT_EQ(dispatched.sent[0].id, direct.sent[0].id);
    EXPECT_EQ(bytes_of(dispatched.sent[0]), bytes_of(direct.sent[0]));
}

// ---- FORCE_POS counts -------------------------------------------------------

struct CountCase {
    const char* name;
    float velocity_limit;
    float torque_ratio;
    std::uint16_t speed;
    std::uint16_t torque;
};

class ForcePosCounts : public ::testing::TestWithParam<CountCase> {};

TEST_P(ForcePosCounts, ClampTruncateAndCapInTheFrame) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x011, kFeedback));

    ASSERT_TRUE(
        motor(3).control(bus, setpoints::ForcePos{0.0f, c.velocity_limit, c.torque_ratio}).has_value());

    ASSERT_EQ(bus.sent.size(), 1u);
    const Bytes d = bytes_of(bus.sent[0]);
    EXPECT_EQ(d[4] | d[5] << 8, c.speed);
    EXPECT_EQ(d[6] | d[7] << 8, c.torque);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Edges, ForcePosCounts,
    ::testing::Values(CountCase{"example", 2.5f, 0.5f, 250, 5000},
                      CountCase{"speed_above_range_caps", 150.0f, 0.5f, 10000, 5000},
                      CountCase{"speed_at_top", 100.0f, 1.0f, 10000, 10000},
                      CountCase{"speed_negative_is_zero", -3.0f, 0.5f, 0, 5000},
                      CountCase{"speed_nan_is_zero", kNaN, 0.5f, 0, 5000},
                      CountCase{"speed_inf_caps", kInf, 0.0f, 10000, 0},
                      CountCase{"torque_above_range_caps", 2.5f, 2.0f, 250, 10000},
                      CountCase{"torque_truncates_not_rounds", 2.5f, 0.00015f, 250, 1},
                      CountCase{"torque_nan_is_zero", 2.5f, kNaN, 250, 0},
                      CountCase{"torque_negative_inf_is_zero", 0.01f, -kInf, 1, 0}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- reply matching ---------------------------------------------------------

struct MatchCase {
    const char* name;
    std::uint16_t master_id;
    std::vector<CanFrame> before;  // frames that must be passed over
    CanFrame reply;
    std::uint8_t motor_id;  // decoded from the reply, to tell it from the others
    std::uint8_t t_mos;
};

class ReplyMatching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(ReplyMatching, ReturnsTheFirstFrameOnTheStandardMasterId) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    for (const auto& f : c.before) bus.reply(f);
    bus.reply(c.reply);
    bus.reply(classic(c.master_id & 0x7FF, {0x0F, 0, 0, 0, 0, 0, 99, 99}));  // a later frame

    auto state = motor(1, c.master_id).enable(bus);

    ASSERT_TRUE(state.has_value()) << state.error().text();
    EXPECT_EQ(state->motor_id, c.motor_id);
    EXPECT_EQ(state->t_mos, c.t_mos);
    EXPECT_EQ(bus.take_unused(), 1u) << "reading must stop at the reply";
}

CanFrame fd_frame(std::uint16_t id, Bytes data, bool brs) {
    return CanFrame(CanId::standard(id), data, true, brs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyMatching,
    ::testing::Values(
        MatchCase{"plain", 0x11, {}, classic(0x011, kFeedback), 1, 30},
        MatchCase{"extended_with_same_value_is_skipped",
                  0x11,
                  {CanFrame(CanId::extended(0x11), Bytes{0x02, 0, 0, 0, 0, 0, 7, 7})},
                  classic(0x011, kFeedback),
                  1,
                  30},
        MatchCase{"unrelated_frames_are_dropped",
                  0x11,
                  {classic(0x001, Bytes(8, 0xFF)), classic(0x7FF, {1, 0, 0x33, 10, 1, 0, 0, 0}),
                   classic(0x012, {0x02, 0, 0, 0, 0, 0, 7, 7}), classic(0x111, {})},
                  classic(0x011, kFeedback),
                  1,
                  30},
        MatchCase{"fd_reply_decodes_its_first_8_bytes",
                  0x11,
                  {},
                  fd_frame(0x011, {0x03, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x2A, 0x2B, 1, 2, 3, 4},
                           false),
                  3,
                  0x2A},
        MatchCase{"fd_reply_with_brs", 0x11, {}, fd_frame(0x011, kFeedback, true), 1, 30},
        // A remote frame reaches the driver as a classic frame of dlc bytes.
        MatchCase{"remote_frame_of_8_bytes", 0x11, {}, classic(0x011, Bytes(8, 0x00)), 0, 0},
        MatchCase{"another_motors_nibble_is_still_returned",
                  0x11,
                  {},
                  classic(0x011, {0xA5, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28}),
                  5,
                  30},
        MatchCase{"master_id_is_masked_to_11_bits",
                  0x811,
                  {CanFrame(CanId::extended(0x811), kFeedback)},
                  classic(0x011, {0x04, 0, 0, 0, 0, 0, 33, 0}),
                  4,
                  33}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ReplyMatching, ExtendedFramesAloneNeverCountAsTheReply) {
    ScriptedTransport bus;
    bus.reply(CanFrame(CanId::extended(0x11), kFeedback));

    auto state = motor(1).enable(bus);

    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().text(), "transport error: timeout waiting for frame");
}

TEST(ReplyDecoding, UsesTheMotorsOwnLimits) {
    // position, velocity and torque all at full scale
    const Bytes full = {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00};
    ScriptedTransport a, b;
    a.reply(classic(0x011, full));
    b.reply(classic(0x011, full));

    auto dflt = motor(1).enable(a);
    auto big = motor(1, 0x11, presets::kAll[8].limits).enable(b);  // dm8009

    ASSERT_EQ(presets::kAll[8].name, "dm8009");
    ASSERT_TRUE(dflt.has_value());
    ASSERT_TRUE(big.has_value());
    EXPECT_FLOAT_EQ(dflt->velocity, 30.0f);
    EXPECT_FLOAT_EQ(dflt->torque, 10.0f);
    EXPECT_FLOAT_EQ(big->velocity, 45.0f);
    EXPECT_FLOAT_EQ(big->torque, 54.0f);
    EXPECT_FLOAT_EQ(big->position, 12.5f);
}

TEST(MitEncoding, UsesTheMotorsOwnLimits) {
    const MitSetpoint sp{0.0f, 0.0f, 0.0f, 0.0f, 27.0f};
    ScriptedTransport a, b;
    a.reply(classic(0x011, kFeedback));
    b.reply(classic(0x011, kFeedback));

    ASSERT_TRUE(motor(1).mit_control(a, sp).has_value());
    ASSERT_TRUE(motor(1, 0x11, presets::kAll[8].limits).mit_control(b, sp).has_value());

    // tau 27 clamps to +10 with the defaults (4095); over +-54 it is
    // (27 + 54) * 4095 / 108 = 3071.25, truncated to 3071 = 0xBFF.
    const Bytes da = bytes_of(a.sent.at(0));
    const Bytes db = bytes_of(b.sent.at(0));
    EXPECT_EQ((da[6] & 0x0F) << 8 | da[7], 0xFFF);
    EXPECT_EQ((db[6] & 0x0F) << 8 | db[7], 0xBFF);
}

// ---- failures ---------------------------------------------------------------

struct LimitsCase {
    const char* name;
    MitLimits limits;
    float min;
    float max;
    const char* text;
};

class InvalidLimits : public ::testing::TestWithParam<LimitsCase> {};

TEST_P(InvalidLimits, SendNothingAndLeaveTheBusUsable) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x011, kFeedback));
    const Damiao m = motor(1, 0x11, c.limits);

    for (auto result : {m.mit_control(bus, MitSetpoint{}),
                        m.control(bus, setpoints::Mit{MitSetpoint{}})}) {
        ASSERT_FALSE(result.has_value());
        const auto* e = result.error().as<errors::InvalidLimits>();
        ASSERT_NE(e, nullptr) << result.error().text();
        EXPECT_EQ(e->range.min, c.min);
        EXPECT_EQ(e->range.max, c.max);
        EXPECT_EQ(result.error().text(), c.text);
    }
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_TRUE(bus.recv_timeouts.empty());

    // Non-MIT commands do not use the limits for encoding and go through.
    auto state = m.enable(bus);
    ASSERT_TRUE(state.has_value()) << state.error().text();
    EXPECT_EQ(bus.sent.size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, InvalidLimits,
    ::testing::Values(
        LimitsCase{"negative_p_max", {-1.0f, 30.0f, 500.0f, 5.0f, 10.0f}, 1.0f, -1.0f,
                   "min > max, or either was NaN. min = 1.0, max = -1.0"},
        LimitsCase{"negative_kp_max", {12.5f, 30.0f, -1.0f, 5.0f, 10.0f}, 0.0f, -1.0f,
                   "min > max, or either was NaN. min = 0.0, max = -1.0"},
        LimitsCase{"negative_t_max", {12.5f, 30.0f, 500.0f, 5.0f, -2.5f}, 2.5f, -2.5f,
                   "min > max, or either was NaN. min = 2.5, max = -2.5"}),
    [](const auto& p) { return std::string(p.param.name); });

class ShortReply : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ShortReply, IsAnErrorNamingItsLength) {
    const std::size_t n = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x011, Bytes(kFeedback.begin(), kFeedback.begin() + static_cast<long>(n))));

    auto state = motor(1).enable(bus);

    ASSERT_FALSE(state.has_value());
    const auto* e = state.error().as<errors::ShortReply>();
    ASSERT_NE(e, nullptr) << state.error().text();
    EXPECT_EQ(e->len, n);
    EXPECT_EQ(state.error().text(),
              "reply too short to decode: " + std::to_string(n) + " bytes, need 8");
}

INSTANTIATE_TEST_SUITE_P(ZeroToSeven, ShortReply, ::testing::Range<std::size_t>(0, 8));

struct BusFailureCase {
    const char* name;
    bool fail_send;
    std::optional<TransportError> recv_error;  // nothing: a silent bus
    std::string text;
};

class BusFailure : public ::testing::TestWithParam<BusFailureCase> {};

TEST_P(BusFailure, IsTheTransportErrorUnchanged) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    if (c.fail_send) bus.send_errors.push_back(TransportError::backend_errno(ENOBUFS));
    if (c.recv_error) bus.fail_recv(*c.recv_error);

    auto state = motor(1).set_zero(bus);

    ASSERT_FALSE(state.has_value());
    ASSERT_NE(state.error().as<errors::Transport>(), nullptr);
    EXPECT_EQ(state.error().text(), c.text);
    if (c.fail_send) {
        EXPECT_TRUE(bus.recv_timeouts.empty()) << "nothing is read after a failed send";
    }
    EXPECT_LE(bus.sent.size(), 1u) << "nothing is retried";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BusFailure,
    ::testing::Values(
        BusFailureCase{"silent_bus", false, std::nullopt, "transport error: timeout waiting for frame"},
        BusFailureCase{"recv_timeout", false, TransportError::timeout(),
                       "transport error: timeout waiting for frame"},
        BusFailureCase{"recv_backend", false, TransportError::backend_errno(ENETDOWN),
                       "transport error: backend error: " +
                           transport::IoError::from_errno(ENETDOWN).text()},
        BusFailureCase{"send_backend", true, std::nullopt,
                       "transport error: backend error: " +
                           transport::IoError::from_errno(ENOBUFS).text()}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(Timeout, UnrelatedTrafficDoesNotLengthenTheWait) {
    ScriptedTransport bus;
    for (int i = 0; i < 12; ++i) bus.reply(classic(0x012, kFeedback), std::chrono::milliseconds(5));

    auto state = motor(1, 0x11, kDefaultLimits, 20).enable(bus);

    ASSERT_FALSE(state.has_value());
    EXPECT_EQ(state.error().text(), "transport error: timeout waiting for frame");
    // Each frame takes at least 5 ms, so the 20 ms deadline passes after a
    // handful of them; the rest must still be waiting.
    EXPECT_GE(bus.take_unused(), 6u);
}

TEST(Timeout, IsTheMotorsConfiguredTimeout) {
    ScriptedTransport bus;
    bus.reply(classic(0x011, kFeedback));

    ASSERT_TRUE(motor(1, 0x11, kDefaultLimits, 1500).enable(bus).has_value());

    ASSERT_EQ(bus.recv_timeouts.size(), 1u);
    const auto first = bus.recv_timeouts[0].to_clock();
    EXPECT_LE(first, std::chrono::milliseconds(1500));
    EXPECT_GT(first, std::chrono::milliseconds(1000));
}

}  // namespace
}  // namespace velkarin::damiao
