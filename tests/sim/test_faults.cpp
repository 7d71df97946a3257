// Reply faults and the simulated bus: what leaves for the bus, when, and
// which motor answers.
#include <gtest/gtest.h>

#include <string>

#include "sim/simulator.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;

CanFrame some_reply() { return frame(0x11, {0x11, 1, 2, 3, 4, 5, 6, 7}); }

struct ShapeCase {
    const char* name;
    ReplyFaults faults;
    std::size_t copies;
    std::size_t length;
    std::chrono::milliseconds late;
};

class ShapeReply : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(ShapeReply, GivesTheCopiesLengthAndDueTimeOfTheFault) {
    std::mt19937_64 rng(1);
    const auto out = shape_reply(some_reply(), GetParam().faults, kT0, rng);
    ASSERT_EQ(out.size(), GetParam().copies);
    for (const auto& s : out) {
        EXPECT_EQ(s.due, kT0 + GetParam().late);
        EXPECT_EQ(s.frame.id, CanId::standard(0x11));
        ASSERT_EQ(s.frame.size(), GetParam().length);
        for (std::size_t i = 0; i < s.frame.size(); ++i)
            EXPECT_EQ(s.frame.data()[i], some_reply().data()[i]);
    }
}

ReplyFaults with(auto&& set) {
    ReplyFaults f;
    set(f);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ShapeReply,
    ::testing::Values(
        ShapeCase{"none", {}, 1, 8, 0ms},
        ShapeCase{"drop_all", with([](auto& f) { f.drop = 1.0; }), 0, 0, 0ms},
        ShapeCase{"silent", with([](auto& f) { f.silent = true; }), 0, 0, 0ms},
        ShapeCase{"delay", with([](auto& f) { f.delay = 50ms; }), 1, 8, 50ms},
        ShapeCase{"duplicate", with([](auto& f) { f.duplicate = true; }), 2, 8, 0ms},
        ShapeCase{"short4", with([](auto& f) { f.short_len = 4; }), 1, 4, 0ms},
        ShapeCase{"short0", with([](auto& f) { f.short_len = 0; }), 1, 0, 0ms},
        ShapeCase{"late_short_twice", with([](auto& f) {
                      f.delay = 7ms;
                      f.short_len = 7;
                      f.duplicate = true;
                  }),
                  2, 7, 7ms}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(ShapeReply, DropsAboutTheAskedFractionReproduciblyForASeed) {
    ReplyFaults f;
    f.drop = 0.3;
    auto count = [&](std::uint64_t seed) {
        std::mt19937_64 rng(seed);
        int dropped = 0;
        for (int i = 0; i < 10000; ++i) dropped += shape_reply(some_reply(), f, kT0, rng).empty();
        return dropped;
    };
    const int n = count(7);
    EXPECT_GT(n, 2800);
    EXPECT_LT(n, 3200);
    EXPECT_EQ(count(7), n);
}

SimConfig two_motors() {
    SimConfig c;
    c.motors = {{1, 0x11, &dm4310(), std::nullopt},
                {2, 0x12, find_model("dm4340"), std::uint8_t{3}}};
    return c;
}

TEST(Simulator, RoutesEachFrameToItsMotor) {
    Simulator sim(two_motors(), kT0);
    sim.on_frame(enable(2), kT0);
    sim.on_frame(read_reg(1, 10), kT0);
    sim.on_frame(read_reg(2, 10), kT0);
    sim.on_frame(enable(3), kT0);  // nobody
    const auto out = sim.take_due(kT0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].id, CanId::standard(0x12));
    EXPECT_EQ(out[0].data()[0], 0x12);
    EXPECT_EQ(out[1].id, CanId::standard(0x11));
    EXPECT_EQ(reply_value(out[1]), 1u);  // the default mode
    EXPECT_EQ(out[2].id, CanId::standard(0x12));
    EXPECT_EQ(reply_value(out[2]), 3u);  // its own start mode
    EXPECT_TRUE(sim.motors()[1].firmware.enabled());
    EXPECT_FALSE(sim.motors()[0].firmware.enabled());
}

TEST(Simulator, DelayedRepliesWaitWithoutHoldingUpOthers) {
    Simulator sim(two_motors(), kT0);
    sim.find(1)->faults.delay = 50ms;
    sim.on_frame(enable(1), kT0);
    sim.on_frame(enable(2), kT0 + 1ms);
    EXPECT_EQ(sim.next_due(), kT0 + 1ms);
    auto out = sim.take_due(kT0 + 1ms);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x12));
    EXPECT_EQ(sim.next_due(), kT0 + 50ms);
    EXPECT_TRUE(sim.take_due(kT0 + 49ms).empty());
    out = sim.take_due(kT0 + 50ms);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].id, CanId::standard(0x11));
    EXPECT_FALSE(sim.next_due());
}

TEST(Simulator, RepliesDueTogetherLeaveInArrivalOrder) {
    Simulator sim(two_motors(), kT0);
    for (auto& m : sim.motors()) m.faults.delay = 10ms;
    sim.on_frame(read_reg(2, 8), kT0);
    sim.on_frame(read_reg(1, 8), kT0);
    sim.on_frame(read_reg(2, 7), kT0);
    const auto out = sim.take_due(kT0 + 10ms);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(reply_value(out[0]), 2u);
    EXPECT_EQ(reply_value(out[1]), 1u);
    EXPECT_EQ(reply_value(out[2]), 0x12u);
}

TEST(Simulator, SilentMotorNeitherActsNorAnswers) {
    Simulator sim(two_motors(), kT0);
    sim.find(1)->faults.silent = true;
    sim.on_frame(enable(1), kT0);
    sim.on_frame(write_reg(1, 10, 2), kT0);
    EXPECT_EQ(sim.queued(), 0u);
    EXPECT_FALSE(sim.find(1)->firmware.enabled());
    EXPECT_EQ(sim.find(1)->firmware.control_mode(), 1);
}

TEST(Simulator, DroppedReplyStillActs) {
    Simulator sim(two_motors(), kT0);
    sim.find(1)->faults.drop = 1.0;
    sim.on_frame(enable(1), kT0);
    EXPECT_EQ(sim.queued(), 0u);
    EXPECT_TRUE(sim.find(1)->firmware.enabled());
}

TEST(Simulator, StartUpSettingsReachEveryMotor) {
    auto c = two_motors();
    c.fault = Status::LostCommunication;
    c.timeout_counts = 400;
    c.faults.duplicate = true;
    c.control_mode = 4;
    Simulator sim(c, kT0);
    for (auto& m : sim.motors()) {
        EXPECT_EQ(m.firmware.status(), Status::LostCommunication);
        EXPECT_EQ(m.firmware.registers().as_uint(registers::TIMEOUT), 400u);
        EXPECT_TRUE(m.faults.duplicate);
    }
    EXPECT_EQ(sim.find(1)->firmware.control_mode(), 4);
    EXPECT_EQ(sim.find(2)->firmware.control_mode(), 3);
    sim.on_frame(mit(1, {}), kT0);
    const auto out = sim.take_due(kT0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].data()[0], 0xD1);
}

}  // namespace
}  // namespace velkarin::sim
