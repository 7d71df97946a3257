// The batched cycle against the scripted bus: every frame out before any
// reply is read, each reply to the motor on its master id, and each motor's
// failure kept to that motor.
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "damiao/cycle.hpp"
#include "frame_helpers.hpp"
#include "scripted_transport.hpp"

namespace velkarin::damiao {
namespace {

using namespace std::chrono_literals;
using testing::Bytes;
using testing::ScriptedTransport;
using testing::bytes_of;
using testing::classic;
using transport::CanFrame;
using transport::CanId;
using transport::TransportError;

// The reply of motor n (master id 0x10 + n) whose t_mos byte tells replies apart.
CanFrame fb(std::uint8_t n, std::uint8_t t_mos, std::uint16_t master = 0) {
    const auto id = static_cast<std::uint16_t>(master ? master : 0x10 + n);
    return classic(id, {n, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, t_mos, 40});
}

// An outcome as "<motor id nibble>/<t_mos>", or its error's text.
std::string describe(const Result<MotorState>& r) {
    return r ? std::to_string(r->motor_id) + "/" + std::to_string(r->t_mos) : r.error().text();
}

std::string backend_text(int e) {
    return "transport error: backend error: " + transport::IoError::from_errno(e).text();
}

const std::string kTimedOut = "transport error: timeout waiting for frame";
const Command kMit = MitSetpoint{};

struct TestMotor {
    std::uint16_t id;
    std::uint16_t master;
    MitLimits limits{};
    std::uint64_t timeout_ms = 20;
};

transport::Result<CanFrame> failing(TransportError e) { return std::unexpected(e); }

struct CycleCase {
    const char* name;
    std::vector<TestMotor> motors = {{1, 0x11}, {2, 0x12}, {3, 0x13}};
    std::vector<Command> commands = {kMit, kMit, kMit};  // one per motor
    std::vector<TransportError> send_errors = {};        // taken by the first sends
    std::vector<transport::Result<CanFrame>> answers = {};  // what each recv delivers
    std::vector<std::uint16_t> wire = {1, 2, 3};  // ids of the frames sent, in order
    std::vector<std::string> outcomes = {};
    std::size_t left_unread = 0;
};

struct Cycle {
    std::vector<Damiao> motors;
    std::vector<MotorCommand> commands;
    std::vector<Result<MotorState>> outcomes;

    Cycle(const std::vector<TestMotor>& ms, const std::vector<Command>& cs) {
        for (const auto& m : ms) motors.emplace_back(m.id, m.master, m.limits, m.timeout_ms);
        for (std::size_t i = 0; i < motors.size(); ++i) commands.push_back({motors[i], cs.at(i)});
        outcomes.resize(motors.size());
    }
    std::vector<std::string> described() const {
        std::vector<std::string> out;
        for (const auto& o : outcomes) out.push_back(describe(o));
        return out;
    }
};

// Counted by the operator new at the end of this file while `counting` is set.
std::size_t allocations = 0;
bool counting = false;

class CycleCases : public ::testing::TestWithParam<CycleCase> {};

TEST_P(CycleCases, SendEveryFrameThenGiveEachMotorItsOwnOutcomeWithoutAllocating) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.send_errors.assign(c.send_errors.begin(), c.send_errors.end());
    for (const auto& a : c.answers) bus.script.push_back({a});
    std::size_t sent_before_first_read = 0;
    bus.on_send = [&](const CanFrame&, ScriptedTransport& b) {
        if (b.recv_timeouts.empty()) sent_before_first_read = b.sent.size();
    };
    Cycle cycle(c.motors, c.commands);
    bus.sent.reserve(8), bus.recv_timeouts.reserve(16);  // the bus's own records: no allocation

    allocations = 0;
    counting = true;
    const auto r = run_cycle(bus, cycle.commands, cycle.outcomes);
    counting = false;

    ASSERT_TRUE(r.has_value());
    EXPECT_EQ(allocations, 0u) << "the cycle allocates nothing";
    std::vector<std::uint16_t> wire;
    for (const auto& f : bus.sent) wire.push_back(static_cast<std::uint16_t>(f.id.value));
    EXPECT_EQ(wire, c.wire);
    EXPECT_EQ(sent_before_first_read, bus.sent.size()) << "a reply was read before the last send";
    EXPECT_EQ(cycle.described(), c.outcomes);
    EXPECT_EQ(bus.take_unused(), c.left_unread);
}

constexpr MitLimits kBad{-1.0f, 30.0f, 500.0f, 5.0f, 10.0f};

INSTANTIATE_TEST_SUITE_P(
    Cases, CycleCases,
    ::testing::Values(
        CycleCase{.name = "replies_in_any_order_reach_their_motors",
                  .answers = {fb(3, 33), fb(1, 31), fb(2, 32)},
                  .outcomes = {"1/31", "2/32", "3/33"}},
        CycleCase{.name = "other_ids_and_second_replies_are_dropped",
                  .answers = {fb(1, 31), fb(1, 99), CanFrame(CanId::extended(0x12), Bytes(8, 0)),
                              fb(9, 98, 0x001), fb(4, 97), fb(2, 32), fb(3, 33), fb(3, 96)},
                  .outcomes = {"1/31", "2/32", "3/33"},
                  .left_unread = 1},
        CycleCase{.name = "a_silent_motor_times_out_alone",
                  .answers = {fb(3, 33), fb(1, 31)},
                  .outcomes = {"1/31", kTimedOut, "3/33"}},
        CycleCase{.name = "a_short_reply_fails_its_motor_only",
                  .answers = {fb(1, 31), classic(0x12, {2, 0, 0, 0, 0}), fb(3, 33)},
                  .outcomes = {"1/31", "reply too short to decode: 5 bytes, need 8", "3/33"}},
        // Motor 1 sent nothing, so a frame on its master id is no reply.
        CycleCase{.name = "a_failed_send_fails_its_motor_which_is_then_not_awaited",
                  .send_errors = {TransportError::backend_errno(ENETDOWN)},
                  .answers = {fb(1, 99), fb(2, 32), fb(3, 33)},
                  .wire = {2, 3},
                  .outcomes = {backend_text(ENETDOWN), "2/32", "3/33"}},
        // Enable needs no encoding, so motor 3's refused limits do not matter.
        CycleCase{.name = "refused_mit_limits_fail_their_motor_and_send_nothing_for_it",
                  .motors = {{1, 0x11}, {2, 0x12, kBad}, {3, 0x13, kBad}},
                  .commands = {kMit, kMit, commands::Enable{}},
                  .answers = {fb(3, 33), fb(1, 31)},
                  .wire = {1, 3},
                  .outcomes = {"1/31", "min > max, or either was NaN. min = 1.0, max = -1.0",
                               "3/33"}},
        // Without an interrupt handler EINTR ends it the same way.
        CycleCase{.name = "a_failed_receive_fails_the_motors_still_waiting",
                  .answers = {fb(2, 32), failing(TransportError::backend_errno(ENETDOWN)), fb(1, 31)},
                  .outcomes = {backend_text(ENETDOWN), "2/32", backend_text(ENETDOWN)},
                  .left_unread = 1},
        // Motor 3's limits are refused whether or not its turn came.
        CycleCase{.name = "a_signal_that_stops_the_sending_leaves_refused_limits_as_they_are",
                  .motors = {{1, 0x11}, {2, 0x12}, {3, 0x13, kBad}},
                  .send_errors = {TransportError::backend_errno(EINTR)},
                  .wire = {},
                  .outcomes = {backend_text(EINTR), backend_text(EINTR),
                               "min > max, or either was NaN. min = 1.0, max = -1.0"}},
        CycleCase{.name = "a_refresh_request_goes_on_0x7FF_and_is_answered_on_the_master_id",
                  .commands = {commands::Refresh{}, kMit, kMit},
                  .answers = {fb(2, 32), fb(1, 31), fb(3, 33)},
                  .wire = {0x7FF, 2, 3},
                  .outcomes = {"1/31", "2/32", "3/33"}},
        CycleCase{.name = "an_empty_cycle_touches_no_bus", .motors = {}, .commands = {}, .wire = {}}),
    [](const auto& p) { return std::string(p.param.name); });

struct RefusedCase {
    const char* name;
    std::vector<TestMotor> motors;
    std::size_t outcome_slots;
    std::string text;
};

class RefusedCycle : public ::testing::TestWithParam<RefusedCase> {};

TEST_P(RefusedCycle, SendsNothingAndLeavesTheOutcomesAlone) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    Cycle cycle(c.motors, std::vector<Command>(c.motors.size(), commands::Enable{}));
    cycle.outcomes.assign(c.outcome_slots, MotorState{.motor_id = 9});

    auto r = run_cycle(bus, cycle.commands, cycle.outcomes);

    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text(), c.text);
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_EQ(cycle.described(), std::vector<std::string>(c.outcome_slots, "9/0"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCycle,
    ::testing::Values(
        RefusedCase{"same_master_id_after_masking", {{1, 0x811}, {2, 0x12}, {3, 0x11}}, 3,
                    "motors 0 and 2 of one cycle answer on master id 0x011 of one bus: their "
                    "replies cannot be told apart"},
        RefusedCase{"too_few_outcome_slots", {{1, 0x11}, {2, 0x12}}, 1,
                    "a cycle of 2 commands needs as many outcome slots, got 1"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(CycleDeadline, IsTheLargestTimeoutCountedFromTheLastSend) {
    ScriptedTransport bus;
    // Motor 2's reply comes long after motor 1's own time-out, within its own.
    bus.reply(fb(2, 32), 60ms);
    Cycle cycle({{1, 0x11, {}, 5}, {2, 0x12, {}, 300}}, {kMit, kMit});

    ASSERT_TRUE(run_cycle(bus, cycle.commands, cycle.outcomes).has_value());

    EXPECT_EQ(cycle.described(), (std::vector<std::string>{kTimedOut, "2/32"}));
    EXPECT_GT(bus.recv_timeouts.at(0).to_clock(), 250ms);
}

TEST(CycleFullQueue, IsRetriedWithPausesUntilTheTimeoutThenReported) {
    ScriptedTransport bus;
    constexpr std::size_t kRefusals = 100'000;  // more than any spinning loop could use up
    bus.send_errors.assign(kRefusals, TransportError::backend_errno(ENOBUFS));
    Cycle cycle({{1, 0x11}, {2, 0x12}}, {kMit, kMit});

    ASSERT_TRUE(run_cycle(bus, cycle.commands, cycle.outcomes).has_value());

    const std::size_t tries = kRefusals - bus.send_errors.size();
    bus.send_errors.clear();
    EXPECT_EQ(cycle.described(), std::vector<std::string>(2, backend_text(ENOBUFS)));
    // 20 ms of 200 us pauses between tries: about a hundred tries, not a spin.
    EXPECT_TRUE(tries >= 3 && tries < 1000) << tries << " tries";
}

TEST(CycleFormat, FdSendsEveryFrameWithBitRateSwitchAndTakesRepliesInEitherFormat) {
    ScriptedTransport bus;
    bus.reply(fb(1, 31));
    bus.reply(CanFrame(CanId::standard(0x12), bytes_of(fb(2, 32)), true, true));
    Cycle cycle({{1, 0x11}, {2, 0x12}}, {commands::Enable{}, kMit});

    ASSERT_TRUE(run_cycle(bus, cycle.commands, cycle.outcomes, FrameFormat::Fd).has_value());

    EXPECT_EQ(cycle.described(), (std::vector<std::string>{"1/31", "2/32"}));
    for (const auto& f : bus.sent) EXPECT_TRUE(f.fd && f.brs && f.size() == 8);
}

// Groups over scripted buses, which have no poll descriptor: each bus is
// drained in turn, which is what a C++ backend without one gets.
struct TwoBuses {
    ScriptedTransport a, b;
    std::vector<Damiao> motors;
    std::vector<MotorGroup::Member> members;
    std::vector<Result<MotorState>> outcomes;

    TwoBuses() {
        // The same master ids on both buses: told apart by their bus.
        for (const int i : {1, 2, 1, 2})
            motors.emplace_back(static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(0x10 + i), MitLimits{}, 20);
        members = {{&a, &motors[0]}, {&b, &motors[2]}, {&a, &motors[1]}, {&b, &motors[3]}};
        outcomes.resize(members.size());
    }
    std::vector<std::string> run(MotorGroup& group) {
        const std::vector<Command> commands(members.size(), kMit);
        EXPECT_TRUE(group.run(commands, outcomes).has_value());
        std::vector<std::string> out;
        for (const auto& o : outcomes) out.push_back(describe(o));
        return out;
    }
};

TEST(MotorGroupCycle, EachBusesRepliesReachTheirOwnMembers) {
    TwoBuses t;
    auto group = MotorGroup::create(t.members);
    ASSERT_TRUE(group.has_value());
    t.a.reply(fb(2, 12));
    t.a.reply(fb(1, 11));
    t.b.reply(fb(1, 21));
    t.b.reply(fb(2, 22));
    EXPECT_EQ(t.run(*group), (std::vector<std::string>{"1/11", "1/21", "2/12", "2/22"}));
    EXPECT_EQ(t.a.sent.size() + t.b.sent.size(), 4u);
}

TEST(MotorGroupCycle, ALateReplyIsNotTakenAsTheNextCyclesReply) {
    TwoBuses t;
    auto group = MotorGroup::create(t.members);
    ASSERT_TRUE(group.has_value());
    t.a.reply(fb(1, 11));
    t.b.reply(fb(1, 21));
    t.b.reply(fb(2, 22));
    EXPECT_EQ(t.run(*group), (std::vector<std::string>{"1/11", "1/21", kTimedOut, "2/22"}));

    // Motor 2's reply to the first cycle comes after its deadline; the second
    // cycle's replies come when its frames go out.
    t.a.reply(fb(2, 90));
    auto answer_with = [](std::uint8_t t_mos) {
        return [t_mos](const CanFrame& f, ScriptedTransport& bus) {
            bus.reply(fb(static_cast<std::uint8_t>(f.id.value), t_mos));
        };
    };
    t.a.on_send = answer_with(40);
    t.b.on_send = answer_with(50);
    EXPECT_EQ(t.run(*group), (std::vector<std::string>{"1/40", "1/50", "2/40", "2/50"}));

    // Motor 2 on bus a is silent again; this time its late reply comes only
    // after the next cycle's frames went out, just before its new reply.
    t.a.on_send = [](const CanFrame& f, ScriptedTransport& bus) {
        if (f.id.value == 1) bus.reply(fb(1, 41));
    };
    EXPECT_EQ(t.run(*group), (std::vector<std::string>{"1/41", "1/50", kTimedOut, "2/50"}));
    t.a.on_send = [](const CanFrame& f, ScriptedTransport& bus) {
        if (f.id.value == 2) bus.reply(fb(2, 91));  // the late one, first
        bus.reply(fb(static_cast<std::uint8_t>(f.id.value), 60));
    };
    t.b.on_send = answer_with(70);
    EXPECT_EQ(t.run(*group), (std::vector<std::string>{"1/60", "1/70", "2/60", "2/70"}));
}

TEST(MotorGroupCycle, TwoMembersOnOneBusAnsweringOnOneIdAreRefusedByTheirPlaces) {
    TwoBuses t;
    t.members.push_back({&t.b, &t.motors[0]});
    auto group = MotorGroup::create(t.members);
    ASSERT_FALSE(group.has_value());
    EXPECT_EQ(group.error().text(), "motors 1 and 4 of one cycle answer on master id 0x011 of one "
                                    "bus: their replies cannot be told apart");
}

}  // namespace
}  // namespace velkarin::damiao

// Counts the test binary's allocations while a test asks for it. GCC sees the
// replaced pair inlined as operator new then free(), which it is here.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
    if (velkarin::damiao::counting) ++velkarin::damiao::allocations;
    if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop
