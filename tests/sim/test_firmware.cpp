// The simulated firmware without a bus: which frames it hears, what it does
// with each, and the bytes it answers with.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <string>

#include "sim/firmware.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;

Firmware make(std::uint8_t mode = 1, std::uint16_t id = 1, std::uint16_t master = 0x11,
              const MotorModel& model = dm4310()) {
    return Firmware(model, id, master, mode, kDefaultRateHz, kT0);
}

// --- which frames the motor hears ----------------------------------------

struct AddressCase {
    const char* name;
    CanFrame frame;
    bool heard;
};

CanFrame with_fd(CanFrame f) { f.fd = true; return f; }
CanFrame extended(std::uint32_t id) {
    return CanFrame(CanId::extended(id), enable(1).data());
}

class Addressing : public ::testing::TestWithParam<AddressCase> {};

TEST_P(Addressing, MotorHearsOnlyItsOwnIdentifiersAndRegisterRequests) {
    const auto fw = make();
    EXPECT_EQ(fw.addressed(GetParam().frame), GetParam().heard);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, Addressing,
    ::testing::Values(
        AddressCase{"mit_id", enable(0x001), true},
        AddressCase{"pos_vel_id", pos_vel(1, 0, 0), true},
        AddressCase{"vel_id", vel(1, 0), true},
        AddressCase{"force_pos_id", force_pos(1, 0, 0, 0), true},
        AddressCase{"beyond_force_pos", frame(0x401, {0, 0, 0, 0, 0, 0, 0, 0}), false},
        AddressCase{"other_motor", enable(0x002), false},
        AddressCase{"register_for_me", read_reg(1, 10), true},
        AddressCase{"register_all_16_bits_compared", read_reg(0x0801, 10), false},
        AddressCase{"register_for_other", read_reg(2, 10), false},
        AddressCase{"fd_frame", with_fd(enable(1)), false},
        AddressCase{"extended_id", extended(1), false},
        AddressCase{"seven_bytes", frame(1, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}), false}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Addressing, ModeIdentifiersWrapAtElevenBits) {
    const auto fw = make(1, 0x77F);  // POS_VEL on 0x07F, VEL on 0x17F, FORCE_POS on 0x27F
    for (const std::uint16_t id : {std::uint16_t{0x07F}, std::uint16_t{0x17F}, std::uint16_t{0x27F}})
        EXPECT_TRUE(fw.addressed(frame(id, {0, 0, 0, 0, 0, 0, 0, 0}))) << id;
    EXPECT_FALSE(fw.addressed(frame(0x37F, {0, 0, 0, 0, 0, 0, 0, 0})));
}

// --- special commands ------------------------------------------------------

struct SpecialCase {
    const char* name;
    std::vector<CanFrame> frames;
    std::uint8_t byte0;  // of the reply to the last frame
    bool enabled;
};

class SpecialCommands : public ::testing::TestWithParam<SpecialCase> {};

TEST_P(SpecialCommands, AnswerWithStatusInTheHighNibble) {
    auto fw = make();
    std::optional<CanFrame> reply;
    auto now = kT0;
    for (const auto& f : GetParam().frames) reply = fw.handle(f, now += 1ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, CanId::standard(0x11));
    ASSERT_EQ(reply->size(), 8u);
    EXPECT_EQ(reply->data()[0], GetParam().byte0);
    EXPECT_EQ(fw.enabled(), GetParam().enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, SpecialCommands,
    ::testing::Values(
        SpecialCase{"enable", {enable(1)}, 0x11, true},
        SpecialCase{"disable", {enable(1), disable(1)}, 0x01, false},
        SpecialCase{"clear_error_when_fine", {enable(1), clear_error(1)}, 0x11, true},
        SpecialCase{"enable_on_pos_vel_id", {enable(0x101)}, 0x11, true},
        SpecialCase{"disable_on_vel_id", {enable(1), disable(0x201)}, 0x01, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(SpecialCommands, MotorIdNibbleIsTheLowFourBitsOfTheCanId) {
    auto fw = make(1, 0x13, 0x23);
    const auto r = fw.handle(enable(0x13), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, CanId::standard(0x23));
    EXPECT_EQ(r->data()[0], 0x13);  // status 1, id nibble 3
}

TEST(SpecialCommands, SetZeroMakesThePresentPositionZero) {
    auto fw = make();
    auto now = kT0;
    fw.handle(enable(1), now);
    drive(fw, now, [] { return mit(1, {1.0f, 0, 20.0f, 1.0f, 0}); }, 2s);
    ASSERT_NEAR(fw.body().position, 1.0, 0.01);

    const auto r = fw.handle(set_zero(1), now);
    ASSERT_TRUE(r);
    EXPECT_NEAR(decode(*r).position, 0.0f, 0.001f);
    // The setpoint of 1.0 now lies one radian ahead of the new zero.
    drive(fw, now, [] { return mit(1, {1.0f, 0, 20.0f, 1.0f, 0}); }, 2s);
    EXPECT_NEAR(fw.body().position, 1.0, 0.01);
    const auto shaft = fw.handle(read_reg(1, registers::xout), now);
    ASSERT_TRUE(shaft);
    EXPECT_NEAR(std::bit_cast<float>(reply_value(*shaft)), 1.0f, 0.01f);
}

// --- command decoding and mode gating ---------------------------------------

TEST(CommandDecoding, MitFrameCarriesTheSetpointToOneCount) {
    auto fw = make(1);
    fw.handle(enable(1), kT0);
    fw.handle(mit(1, {1.0f, 2.0f, 50.0f, 1.0f, 0.5f}), kT0);
    const auto* sp = std::get_if<active::Mit>(&fw.setpoint());
    ASSERT_NE(sp, nullptr);
    EXPECT_NEAR(sp->q, 1.0, 25.0 / 65535);
    EXPECT_NEAR(sp->dq, 2.0, 60.0 / 4095);
    EXPECT_NEAR(sp->kp, 50.0, 500.0 / 4095);
    EXPECT_NEAR(sp->kd, 1.0, 5.0 / 4095);
    EXPECT_NEAR(sp->tau, 0.5, 20.0 / 4095);
}

TEST(CommandDecoding, OtherModesAreLittleEndianFloatsAndCounts) {
    auto pv = make(2);
    pv.handle(pos_vel(1, 1.5f, -2.0f), kT0);
    const auto* a = std::get_if<active::PosVel>(&pv.setpoint());
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->position, 1.5);
    EXPECT_EQ(a->velocity, -2.0);

    auto v = make(3);
    v.handle(vel(1, 3.0f), kT0);
    const auto* b = std::get_if<active::Vel>(&v.setpoint());
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(b->velocity, 3.0);

    auto fp = make(4);
    fp.handle(force_pos(1, 1.5f, 2.5f, 0.5f), kT0);  // counts 250 and 5000
    const auto* c = std::get_if<active::ForcePos>(&fp.setpoint());
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->position, 1.5);
    EXPECT_DOUBLE_EQ(c->velocity_limit, 2.5);
    EXPECT_DOUBLE_EQ(c->torque_ratio, 0.5);
}

struct GateCase {
    std::uint8_t register_mode;
    std::uint8_t frame_mode;
};

class ModeGating : public ::testing::TestWithParam<GateCase> {};

CanFrame moving_frame(std::uint8_t mode) {
    switch (mode) {
        case 1: return mit(1, {1.0f, 0, 20.0f, 1.0f, 0});
        case 2: return pos_vel(1, 1.0f, 5.0f);
        case 3: return vel(1, 2.0f);
        default: return force_pos(1, 1.0f, 5.0f, 1.0f);
    }
}

TEST_P(ModeGating, FrameMovesTheMotorOnlyInItsOwnModeButIsAlwaysAnswered) {
    const auto [reg_mode, frame_mode] = GetParam();
    auto fw = make(reg_mode);
    auto now = kT0;
    fw.handle(enable(1), now);
    const auto reply = drive(fw, now, [&] { return moving_frame(frame_mode); }, 500ms);
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, CanId::standard(0x11));
    EXPECT_EQ(reply->data()[0], 0x11);
    if (reg_mode == frame_mode)
        EXPECT_GT(std::fabs(fw.body().position), 0.5);
    else
        EXPECT_EQ(fw.body().position, 0.0);
}

INSTANTIATE_TEST_SUITE_P(AllPairs, ModeGating, ::testing::ValuesIn([] {
                             std::vector<GateCase> v;
                             for (std::uint8_t r = 1; r <= 4; ++r)
                                 for (std::uint8_t f = 1; f <= 4; ++f) v.push_back({r, f});
                             return v;
                         }()),
                         [](const auto& tp) {
                             return "register" + std::to_string(tp.param.register_mode) +
                                    "_frame" + std::to_string(tp.param.frame_mode);
                         });

TEST(ModeGating, SwitchingModeDropsTheOldSetpoint) {
    auto fw = make(3);
    auto now = kT0;
    fw.handle(enable(1), now);
    fw.handle(vel(1, 2.0f), now);
    const auto r = fw.handle(write_reg(1, 10, 1), now);
    ASSERT_TRUE(r);
    EXPECT_EQ(reply_value(*r), 1u);
    EXPECT_TRUE(std::holds_alternative<active::None>(fw.setpoint()));
}

TEST(ModeGating, DisabledMotorAppliesNoTorque) {
    auto fw = make(1);
    auto now = kT0;
    const auto r = drive(fw, now, [] { return mit(1, {0, 0, 0, 0, 5.0f}); }, 200ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x01);
    EXPECT_EQ(fw.body().velocity, 0.0);
    EXPECT_EQ(fw.body().torque, 0.0);
}

// --- registers ----------------------------------------------------------------

struct ReadCase {
    const char* name;
    std::uint8_t reg;
    std::uint32_t value;
};

class RegisterRead : public ::testing::TestWithParam<ReadCase> {};

TEST_P(RegisterRead, AnswersOnTheMasterIdWithIdCodeRegisterAndValue) {
    auto fw = make(2, 0x0102 & 0x7FF, 0x0123, *find_model("DM4340"));
    const auto id = fw.can_id();
    const auto r = fw.handle(read_reg(id, GetParam().reg), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, CanId::standard(0x123));
    const auto d = r->data();
    ASSERT_EQ(d.size(), 8u);
    EXPECT_EQ(d[0], id & 0xFF);
    EXPECT_EQ(d[1], id >> 8);
    EXPECT_EQ(d[2], 0x33);
    EXPECT_EQ(d[3], GetParam().reg);
    EXPECT_EQ(reply_value(*r), GetParam().value);
    // The driver's own reply matcher accepts it.
    EXPECT_EQ(damiao::registers::match_read_reply(d, GetParam().reg), GetParam().value);
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

INSTANTIATE_TEST_SUITE_P(
    Table, RegisterRead,
    ::testing::Values(ReadCase{"control_mode", 10, 2}, ReadCase{"master_id", 7, 0x123},
                      ReadCase{"can_id", 8, 0x102}, ReadCase{"timeout_off", 9, 0},
                      ReadCase{"sw_ver", 14, kSoftwareVersion},
                      ReadCase{"vmax", 22, bits(10.0f)}, ReadCase{"tmax", 23, bits(28.0f)},
                      ReadCase{"gear", 20, bits(40.0f)}, ReadCase{"inertia", 12, bits(3.6e-3f)}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(RegisterRead, UnknownRegisterIsNotAnswered) {
    auto fw = make();
    EXPECT_FALSE(fw.handle(read_reg(1, 40), kT0));
    EXPECT_FALSE(fw.handle(read_reg(1, 82), kT0));
    EXPECT_FALSE(fw.handle(write_reg(1, 45, 1), kT0));
    EXPECT_FALSE(fw.handle(frame(0x7FF, {1, 0, 0x44, 10, 0, 0, 0, 0}), kT0));  // unknown code
}

struct WriteCase {
    const char* name;
    std::uint8_t reg;
    std::uint32_t value;
    std::uint32_t answered;  // the register's value after the write
};

class RegisterWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(RegisterWrite, IsAnsweredLikeAReadWithTheValueThatStands) {
    auto fw = make();
    const auto r = fw.handle(write_reg(1, GetParam().reg, GetParam().value), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[2], 0x55);
    EXPECT_EQ(r->data()[3], GetParam().reg);
    EXPECT_EQ(reply_value(*r), GetParam().answered);
    const auto back = fw.handle(read_reg(1, GetParam().reg), kT0 + 1ms);
    ASSERT_TRUE(back);
    EXPECT_EQ(reply_value(*back), GetParam().answered);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RegisterWrite,
    ::testing::Values(WriteCase{"mode_pos_vel", 10, 2, 2},
                      WriteCase{"mode_five_refused", 10, 5, 1},
                      WriteCase{"mode_257_refused", 10, 257, 1},
                      WriteCase{"timeout", 9, 2000, 2000},
                      WriteCase{"read_only_sw_ver", 14, 7, kSoftwareVersion},
                      WriteCase{"pmax", 21, bits(3.0f), bits(3.0f)},
                      WriteCase{"pmax_zero_refused", 21, bits(0.0f), bits(12.5f)},
                      WriteCase{"over_temp_below_range", 2, bits(79.0f), bits(120.0f)},
                      WriteCase{"nan_refused", 24, bits(std::nanf("")), bits(1000.0f)}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(RegisterWrite, StoreIsAcknowledged) {
    auto fw = make();
    const auto r = fw.handle(frame(0x7FF, {0x01, 0x00, 0xAA, 0x01, 0, 0, 0, 0}), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, CanId::standard(0x11));
    const std::vector<std::uint8_t> want{0x01, 0x00, 0xAA, 0x01, 0x01, 0x00, 0x00, 0x00};
    EXPECT_EQ(std::vector<std::uint8_t>(r->data().begin(), r->data().end()), want);
}

TEST(RegisterWrite, NewIdsTakeEffectAtOnce) {
    auto fw = make();
    const auto w = fw.handle(write_reg(1, 7, 0x21), kT0);
    ASSERT_TRUE(w);
    EXPECT_EQ(w->id, CanId::standard(0x21));
    fw.handle(write_reg(1, 8, 5), kT0);
    EXPECT_FALSE(fw.addressed(enable(1)));
    EXPECT_FALSE(fw.addressed(read_reg(1, 10)));
    EXPECT_TRUE(fw.addressed(vel(5, 0)));
    const auto r = fw.handle(enable(5), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->id, CanId::standard(0x21));
    EXPECT_EQ(r->data()[0], 0x15);
}

// can_br takes effect at the next start: until then a motor moved to an FD
// code keeps its classic controller, which takes no FD frame; afterwards an
// FD command gets an FD answer with its bit-rate switch.
TEST(RegisterWrite, BitRateCodeTakesEffectAtTheNextStart) {
    auto fw = make();
    ASSERT_EQ(reply_value(*fw.handle(write_reg(1, registers::can_br, 9), kT0)), 9u);
    EXPECT_EQ(reply_value(*fw.handle(write_reg(1, registers::can_br, 10), kT0)), 9u);
    auto fd = with_fd(enable(1));
    fd.brs = true;
    EXPECT_FALSE(fw.addressed(fd));
    fw.apply_bit_rate();
    ASSERT_TRUE(fw.addressed(fd));
    const auto r = fw.handle(fd, kT0);
    EXPECT_TRUE(r && r->fd && r->brs);
}

TEST(RegisterWrite, MappingRangesChangeTheFeedbackPacking) {
    auto fw = make(3);
    auto now = kT0;
    fw.handle(enable(1), now);
    drive(fw, now, [] { return vel(1, 2.0f); }, 500ms);
    fw.handle(write_reg(1, 22, bits(4.0f)), now);  // VMAX 30 -> 4
    const auto r = fw.handle(vel(1, 2.0f), now);
    ASSERT_TRUE(r);
    damiao::MitLimits lim;
    lim.v_max = 4.0f;
    EXPECT_NEAR(decode(*r, lim).velocity, 2.0f, 0.01f);
    EXPECT_NEAR(decode(*r).velocity, 15.0f, 0.1f);  // the old mapping reads it wrong
}

// --- feedback packing ---------------------------------------------------------

class FeedbackPacking : public ::testing::TestWithParam<MotorModel> {};

TEST_P(FeedbackPacking, DecodesThroughTheDriverToTheBodyStateWithinOneCount) {
    const auto& m = GetParam();
    auto fw = make(1, 0x0A, 0x1A, m);
    auto now = kT0;
    fw.handle(enable(0x0A), now);
    // Spin up towards a third of the speed range and look at it mid-way,
    // with speed, torque and some distance covered.
    const damiao::MitSetpoint sp{0, m.limits.v_max / 3, 0, 0.05f, 0};
    const auto r = drive(fw, now, [&] { return mit(0x0A, sp, m.limits); }, 20ms);
    ASSERT_TRUE(r);
    const auto s = decode(*r, m.limits);
    EXPECT_EQ(s.motor_id, 0x0A);
    EXPECT_EQ(s.error, 1);
    const auto& b = fw.body();
    EXPECT_NEAR(s.position, b.position, 2.0 * m.limits.p_max / 65535 + 1e-6);
    EXPECT_NEAR(s.velocity, b.velocity, 2.0 * m.limits.v_max / 4095 + 1e-6);
    EXPECT_NEAR(s.torque, b.torque, 2.0 * m.limits.t_max / 4095 + 1e-6);
    EXPECT_EQ(s.t_mos, fw.t_mos());
    EXPECT_EQ(s.t_rotor, fw.t_rotor());
    EXPECT_GE(s.t_mos, 25);
}

INSTANTIATE_TEST_SUITE_P(EveryModel, FeedbackPacking, ::testing::ValuesIn(all_models()),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(FeedbackPacking, RestingMotorPacksTheMidpoints) {
    auto fw = make();
    const auto r = fw.handle(disable(1), kT0);
    ASSERT_TRUE(r);
    const std::vector<std::uint8_t> want{0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 25, 25};
    EXPECT_EQ(std::vector<std::uint8_t>(r->data().begin(), r->data().end()), want);
}

// --- faults -------------------------------------------------------------------

class StatusFaults : public ::testing::TestWithParam<Status> {};

TEST_P(StatusFaults, LatchDisableAndClearOnlyWithClearError) {
    const auto code = static_cast<std::uint8_t>(GetParam());
    auto fw = make();
    auto now = kT0;
    fw.handle(enable(1), now);
    fw.raise_fault(GetParam());
    EXPECT_FALSE(fw.enabled());

    for (const auto& f : {mit(1, {}), enable(1), disable(1)}) {
        const auto r = fw.handle(f, now += 1ms);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->data()[0], code << 4 | 1) << "the fault is reported until clear-error";
    }
    EXPECT_FALSE(fw.enabled());

    auto r = fw.handle(clear_error(1), now += 1ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x01) << "cleared, and left disabled";
    r = fw.handle(enable(1), now += 1ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x11);
}

INSTANTIATE_TEST_SUITE_P(
    Codes, StatusFaults,
    ::testing::Values(Status::OverVoltage, Status::UnderVoltage, Status::OverCurrent,
                      Status::MosOverTemperature, Status::RotorOverTemperature,
                      Status::LostCommunication, Status::Overload),
    [](const auto& tp) { return "code" + std::to_string(static_cast<int>(tp.param)); });

TEST(StatusFaults, OverTemperatureShowsInTheTemperatureBytes) {
    auto fw = make();
    fw.raise_fault(Status::MosOverTemperature);
    auto r = fw.handle(disable(1), kT0);
    ASSERT_TRUE(r);
    EXPECT_GT(decode(*r).t_mos, 120);
    EXPECT_EQ(decode(*r).t_rotor, 25);

    fw.handle(clear_error(1), kT0);
    fw.raise_fault(Status::RotorOverTemperature);
    r = fw.handle(disable(1), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(decode(*r).t_mos, 25);
    EXPECT_GT(decode(*r).t_rotor, 120);

    r = fw.handle(clear_error(1), kT0);
    ASSERT_TRUE(r);
    EXPECT_EQ(decode(*r).t_rotor, 25);
}

TEST(StatusFaults, HardWorkWarmsTheMotorUntilItsThresholdTrips) {
    auto fw = make();
    auto now = kT0;
    fw.handle(write_reg(1, 2, bits(80.0f)), now);  // lowest over-temperature threshold
    fw.handle(enable(1), now);
    // Bang between the ends of the range: the torque sits at its limit and
    // the MOSFETs (the faster lag) reach 80 C in well under a minute.
    for (int i = 0; fw.enabled() && i < 1200; ++i)
        drive(fw, now, [&] { return mit(1, {(i % 2 != 0) ? 12.0f : -12.0f, 0, 500.0f, 0, 0}); },
              50ms);
    EXPECT_EQ(fw.status(), Status::MosOverTemperature);
    EXPECT_GE(fw.t_mos(), 80);
    EXPECT_GT(fw.t_rotor(), 26);
}

TEST(LostCommunication, SilenceLongerThanTheTimeoutDisablesTheMotor) {
    auto fw = make();
    auto now = kT0;
    ASSERT_TRUE(fw.handle(write_reg(1, 9, 2000), now));  // 2000 x 50 us = 100 ms
    fw.handle(enable(1), now);
    auto r = fw.handle(mit(1, {}), now += 90ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x11) << "90 ms of silence is within the time-out";
    r = fw.handle(mit(1, {}), now += 110ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0xD1);
    EXPECT_FALSE(fw.enabled());
    r = fw.handle(clear_error(1), now += 1ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x01);
}

TEST(LostCommunication, TripsAcrossAnIdleGapLongerThanTheCatchUp) {
    auto fw = make();
    fw.handle(write_reg(1, 9, 20), kT0);  // 1 ms
    fw.handle(enable(1), kT0);
    const auto r = fw.handle(mit(1, {}), kT0 + std::chrono::hours(1));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0xD1);
}

TEST(LostCommunication, NoWatchdogWhenOffOrDisabled) {
    auto off = make();
    off.handle(enable(1), kT0);
    auto r = off.handle(mit(1, {}), kT0 + 10s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x11);

    auto disabled = make();
    disabled.handle(write_reg(1, 9, 20), kT0);
    r = disabled.handle(enable(1), kT0 + 10s);
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data()[0], 0x11) << "a disabled motor has no command to miss";
}

}  // namespace
}  // namespace velkarin::sim
