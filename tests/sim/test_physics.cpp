// The rigid body and the torque laws: convergence, limits and stability of
// the integration, on the bare body and through the firmware.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "sim/physics.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;

TEST(Body, StiffLoopStaysStableAtALowStepRate) {
    // kp 500 on a tiny rotor at 100 Hz: explicit Euler would blow up.
    const BodyParams body{2e-5, 0.0005, 0.45};
    BodyState s;
    for (int i = 0; i < 500; ++i) step(s, body, mit_law(0.3, 0, 500.0, 5.0, 0, 1e9), 0.01);
    EXPECT_NEAR(s.position, 0.3, 1e-6);
    EXPECT_NEAR(s.velocity, 0.0, 1e-6);
}

class MitConvergence : public ::testing::TestWithParam<MotorModel> {};

TEST_P(MitConvergence, ClosedLoopSettlesOnTheTarget) {
    const auto& m = GetParam();
    Firmware fw(m, 1, 0x11, 1, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    // A 500 Hz loop holding q = 0.5 with moderate gains; the torque limit
    // of the small models saturates the start and only slows it down.
    const auto r = drive(fw, now, [&] { return mit(1, {0.5f, 0, 20.0f, 0.5f, 0}, m.limits); }, 3s);
    ASSERT_TRUE(r);
    const auto s = decode(*r, m.limits);
    // Zero speed and zero torque encode half a count below zero, so the rest
    // point is where kp (q - p) + kd dq + tau vanishes, a few mrad short.
    const auto* sp = std::get_if<active::Mit>(&fw.setpoint());
    ASSERT_NE(sp, nullptr);
    const double rest = sp->q + (sp->kd * sp->dq + sp->tau) / sp->kp;
    EXPECT_NEAR(fw.body().position, rest, 1e-4);
    EXPECT_NEAR(rest, 0.5, 5e-3);
    EXPECT_NEAR(s.position, fw.body().position, 25.0 / 65535);
    EXPECT_NEAR(fw.body().velocity, 0.0, 1e-3);
    EXPECT_LE(std::fabs(fw.body().torque), m.torque_limit);
}

INSTANTIATE_TEST_SUITE_P(EveryModel, MitConvergence, ::testing::ValuesIn(all_models()),
                         [](const auto& tp) { return std::string(tp.param.name); });

TEST(MitLaw, FeedForwardTorqueBeyondTheLimitIsClamped) {
    Firmware fw(dm4310(), 1, 0x11, 1, kDefaultRateHz, kT0);  // peak 7 N m, range 10
    auto now = kT0;
    fw.handle(enable(1), now);
    const auto r = drive(fw, now, [] { return mit(1, {0, 0, 0, 0, 10.0f}); }, 10ms, 1ms);
    ASSERT_TRUE(r);
    EXPECT_EQ(fw.body().torque, 7.0);
    EXPECT_NEAR(decode(*r).torque, 7.0f, 20.0f / 4095);
}

TEST(MitLaw, TrackingASineFollowsWithSmallError) {
    Firmware fw(dm4310(), 1, 0x11, 1, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    double worst = 0.0;
    for (int i = 0; i < 1500; ++i, now += 2ms) {  // 3 s at 500 Hz, 1 Hz sine
        const double t = 0.002 * i;
        const auto q = static_cast<float>(std::sin(2 * M_PI * t));
        const auto dq = static_cast<float>(2 * M_PI * std::cos(2 * M_PI * t));
        const auto r = fw.handle(mit(1, {q, dq, 50.0f, 1.0f, 0}), now);
        ASSERT_TRUE(r);
        if (t > 1.0) worst = std::max(worst, static_cast<double>(std::fabs(decode(*r).position - q)));
    }
    EXPECT_LT(worst, 0.05);
}

TEST(InnerLoops, VelocityModeHoldsTheSpeed) {
    Firmware fw(dm4310(), 1, 0x11, 3, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    drive(fw, now, [] { return vel(1, 3.0f); }, 500ms);
    EXPECT_NEAR(fw.body().velocity, 3.0, 0.01);
    drive(fw, now, [] { return vel(1, -1.0f); }, 500ms);
    EXPECT_NEAR(fw.body().velocity, -1.0, 0.01);
}

TEST(InnerLoops, PositionVelocityModeMovesNoFasterThanAsked) {
    Firmware fw(dm4310(), 1, 0x11, 2, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    double fastest = 0.0;
    for (int i = 0; i < 1500; ++i, now += 2ms) {
        fw.handle(pos_vel(1, 2.0f, 1.5f), now);
        fastest = std::max(fastest, std::fabs(fw.body().velocity));
    }
    EXPECT_NEAR(fw.body().position, 2.0, 1e-3);
    EXPECT_LT(fastest, 1.5 * 1.02);
    EXPECT_GT(fastest, 1.5 * 0.9);
}

TEST(InnerLoops, ForcePositionModeCapsTheTorqueAtItsRatio) {
    Firmware fw(dm4310(), 1, 0x11, 4, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    double strongest = 0.0;
    for (int i = 0; i < 1500; ++i, now += 2ms) {
        fw.handle(force_pos(1, -1.0f, 20.0f, 0.1f), now);
        strongest = std::max(strongest, std::fabs(fw.body().torque));
    }
    EXPECT_NEAR(fw.body().position, -1.0, 1e-3);
    EXPECT_LE(strongest, 0.1 * 7.0 + 1e-9);
    EXPECT_GT(strongest, 0.1 * 7.0 * 0.99) << "the move is torque-limited at the start";
}

TEST(Stepping, PartialStepsAreCarriedOver) {
    // Ten frames 50 us apart at 10 kHz make five steps in all, not zero.
    Firmware fw(dm4310(), 1, 0x11, 1, kDefaultRateHz, kT0);
    auto now = kT0;
    fw.handle(enable(1), now);
    fw.handle(mit(1, {0, 0, 0, 0, 5.0f}), now);
    for (int i = 0; i < 10; ++i) fw.advance(now += 50us);
    EXPECT_NEAR(fw.body().velocity, 5.0 / 1.8e-3 * 5e-4, 0.05);
}

}  // namespace
}  // namespace velkarin::sim
