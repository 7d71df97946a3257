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

// Feedback of motor `nibble` whose t_mos byte tells the replies apart.
CanFrame feedback(std::uint16_t master, std::uint8_t nibble, std::uint8_t t_mos) {
    return classic(master, {nibble, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, t_mos, 40});
}

// One outcome as a line: the reply it holds, or its error's text.
std::string describe(const Result<MotorState>& r) {
    if (!r) return r.error().text();
    return "motor " + std::to_string(r->motor_id) + " t_mos " + std::to_string(r->t_mos);
}

std::string backend_text(int e) {
    return "transport error: backend error: " + transport::IoError::from_errno(e).text();
}

const std::string kTimedOut = "transport error: timeout waiting for frame";
constexpr MitLimits kBadLimits{-1.0f, 30.0f, 500.0f, 5.0f, 10.0f};

struct TestMotor {
    std::uint16_t id;
    std::uint16_t master;
    MitLimits limits{};
};

struct Answer {
    std::optional<CanFrame> frame;  // nothing: the error below
    TransportError error = TransportError::timeout();
};
Answer frame_answer(CanFrame f) { return {std::move(f)}; }
Answer error_answer(TransportError e) { return {std::nullopt, e}; }

struct CycleCase {
    const char* name;
    std::vector<TestMotor> motors;
    std::vector<Command> commands;  // one per motor
    std::vector<TransportError> send_errors;  // taken by the first sends
    std::vector<Answer> answers;              // what the bus delivers, in order
    std::vector<std::uint16_t> wire_ids;      // every frame sent, in order
    std::vector<std::string> outcomes;
    std::size_t left_unread = 0;  // answers still queued when the cycle ends
};

void PrintTo(const CycleCase& c, std::ostream* os) { *os << c.name; }

class Cycle : public ::testing::TestWithParam<CycleCase> {};

TEST_P(Cycle, SendsEveryFrameThenGivesEachMotorItsOwnOutcome) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    for (const auto& e : c.send_errors) bus.send_errors.push_back(e);
    for (const auto& a : c.answers) {
        if (a.frame) bus.reply(*a.frame);
        else bus.fail_recv(a.error);
    }
    // No answer may be read before the last frame has gone out.
    std::size_t sent_before_first_read = 0;
    bus.on_send = [&](const CanFrame&, ScriptedTransport& b) {
        if (b.recv_timeouts.empty()) sent_before_first_read = b.sent.size();
    };
    std::vector<Damiao> motors;
    for (const auto& m : c.motors) motors.emplace_back(m.id, m.master, m.limits, 20);
    std::vector<MotorCommand> commands;
    for (std::size_t i = 0; i < motors.size(); ++i) commands.push_back({motors[i], c.commands[i]});
    std::vector<Result<MotorState>> outcomes(motors.size());

    ASSERT_TRUE(run_cycle(bus, commands, outcomes).has_value());

    std::vector<std::uint16_t> wire;
    for (const auto& f : bus.sent) wire.push_back(static_cast<std::uint16_t>(f.id.value));
    EXPECT_EQ(wire, c.wire_ids);
    EXPECT_EQ(sent_before_first_read, bus.sent.size());
    std::vector<std::string> got;
    for (const auto& o : outcomes) got.push_back(describe(o));
    EXPECT_EQ(got, c.outcomes);
    EXPECT_EQ(bus.take_unused(), c.left_unread);
}

const Command kMit = MitSetpoint{};
const std::vector<TestMotor> kThree = {{1, 0x11}, {2, 0x12}, {3, 0x13}};
const std::vector<Command> kThreeMit = {kMit, kMit, kMit};

INSTANTIATE_TEST_SUITE_P(
    Cases, Cycle,
    ::testing::Values(
        CycleCase{"replies_in_order",
                  kThree,
                  kThreeMit,
                  {},
                  {frame_answer(feedback(0x11, 1, 31)), frame_answer(feedback(0x12, 2, 32)),
                   frame_answer(feedback(0x13, 3, 33))},
                  {1, 2, 3},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32", "motor 3 t_mos 33"}},
        CycleCase{"replies_out_of_order_reach_their_motors",
                  kThree,
                  kThreeMit,
                  {},
                  {frame_answer(feedback(0x13, 3, 33)), frame_answer(feedback(0x11, 1, 31)),
                   frame_answer(feedback(0x12, 2, 32))},
                  {1, 2, 3},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32", "motor 3 t_mos 33"}},
        CycleCase{"other_ids_and_second_replies_are_dropped",
                  {{1, 0x11}, {2, 0x12}},
                  {kMit, kMit},
                  {},
                  {frame_answer(feedback(0x11, 1, 31)),
                   frame_answer(feedback(0x11, 1, 99)),  // a second reply of motor 1
                   frame_answer(CanFrame(CanId::extended(0x12), Bytes(8, 0))),
                   frame_answer(feedback(0x001, 9, 98)),  // a command on the bus
                   frame_answer(feedback(0x14, 4, 97)),   // a motor not in the cycle
                   frame_answer(feedback(0x12, 2, 32)),
                   frame_answer(feedback(0x12, 2, 96))},  // after the last reply: not read
                  {1, 2},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32"},
                  1},
        CycleCase{"master_ids_are_matched_on_their_low_11_bits",
                  {{1, 0x811}, {2, 0x12}},
                  {kMit, kMit},
                  {},
                  {frame_answer(CanFrame(CanId::extended(0x811), Bytes(8, 0))),
                   frame_answer(feedback(0x12, 2, 32)), frame_answer(feedback(0x011, 1, 31))},
                  {1, 2},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32"}},
        CycleCase{"a_silent_motor_times_out_alone",
                  kThree,
                  kThreeMit,
                  {},
                  {frame_answer(feedback(0x13, 3, 33)), frame_answer(feedback(0x11, 1, 31))},
                  {1, 2, 3},
                  {"motor 1 t_mos 31", kTimedOut, "motor 3 t_mos 33"}},
        CycleCase{"a_short_reply_fails_its_motor_only",
                  kThree,
                  kThreeMit,
                  {},
                  {frame_answer(feedback(0x11, 1, 31)), frame_answer(classic(0x12, {2, 0, 0, 0, 0})),
                   frame_answer(feedback(0x13, 3, 33))},
                  {1, 2, 3},
                  {"motor 1 t_mos 31", "reply too short to decode: 5 bytes, need 8",
                   "motor 3 t_mos 33"}},
        CycleCase{"a_failed_send_fails_its_motor_which_is_then_not_awaited",
                  kThree,
                  kThreeMit,
                  {TransportError::backend_errno(ENETDOWN)},
                  {frame_answer(feedback(0x11, 1, 99)),  // not a reply: motor 1 sent nothing
                   frame_answer(feedback(0x12, 2, 32)), frame_answer(feedback(0x13, 3, 33))},
                  {2, 3},
                  {backend_text(ENETDOWN), "motor 2 t_mos 32", "motor 3 t_mos 33"}},
        CycleCase{"a_full_transmit_queue_is_retried",
                  kThree,
                  kThreeMit,
                  {TransportError::backend_errno(ENOBUFS), TransportError::backend_errno(ENOBUFS)},
                  {frame_answer(feedback(0x11, 1, 31)), frame_answer(feedback(0x12, 2, 32)),
                   frame_answer(feedback(0x13, 3, 33))},
                  {1, 2, 3},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32", "motor 3 t_mos 33"}},
        CycleCase{"refused_mit_limits_fail_their_motor_and_send_nothing_for_it",
                  {{1, 0x11}, {2, 0x12, kBadLimits}, {3, 0x13, kBadLimits}},
                  {kMit, kMit, Command{commands::Enable{}}},  // enable needs no encoding
                  {},
                  {frame_answer(feedback(0x13, 3, 33)), frame_answer(feedback(0x11, 1, 31))},
                  {1, 3},
                  {"motor 1 t_mos 31", "min > max, or either was NaN. min = 1.0, max = -1.0",
                   "motor 3 t_mos 33"}},
        CycleCase{"a_failed_receive_fails_the_motors_still_waiting",
                  kThree,
                  kThreeMit,
                  {},
                  {frame_answer(feedback(0x12, 2, 32)),
                   error_answer(TransportError::backend_errno(ENETDOWN)),
                   frame_answer(feedback(0x11, 1, 31))},
                  {1, 2, 3},
                  {backend_text(ENETDOWN), "motor 2 t_mos 32", backend_text(ENETDOWN)},
                  1},
        // With no interrupt handler a signal ends the wait, as in every other wait.
        CycleCase{"a_signal_ends_the_wait_for_the_motors_still_waiting",
                  {{1, 0x11}, {2, 0x12}},
                  {kMit, kMit},
                  {},
                  {frame_answer(feedback(0x11, 1, 31)),
                   error_answer(TransportError::backend_errno(EINTR))},
                  {1, 2},
                  {"motor 1 t_mos 31", backend_text(EINTR)}},
        CycleCase{"every_command_kind_goes_out_on_its_own_id",
                  {{1, 0x11}, {2, 0x12}, {3, 0x13}, {4, 0x14}, {5, 0x15}, {6, 0x16}, {7, 0x17}},
                  {commands::Enable{}, commands::Disable{}, commands::SetZero{},
                   commands::ClearError{}, ControlSetpoint(setpoints::PosVel{1.0f, 2.0f}),
                   ControlSetpoint(setpoints::Vel{3.0f}),
                   ControlSetpoint(setpoints::ForcePos{1.0f, 2.0f, 0.5f})},
                  {},
                  {frame_answer(feedback(0x17, 7, 37)), frame_answer(feedback(0x16, 6, 36)),
                   frame_answer(feedback(0x15, 5, 35)), frame_answer(feedback(0x14, 4, 34)),
                   frame_answer(feedback(0x13, 3, 33)), frame_answer(feedback(0x12, 2, 32)),
                   frame_answer(feedback(0x11, 1, 31))},
                  {1, 2, 3, 4, 0x105, 0x206, 0x307},
                  {"motor 1 t_mos 31", "motor 2 t_mos 32", "motor 3 t_mos 33", "motor 4 t_mos 34",
                   "motor 5 t_mos 35", "motor 6 t_mos 36", "motor 7 t_mos 37"}},
        CycleCase{"an_empty_cycle_touches_no_bus", {}, {}, {}, {}, {}, {}}),
    [](const auto& p) { return std::string(p.param.name); });

// The single-motor call is the reference for what each command puts on the wire.
TEST(CycleFrames, AreTheFramesTheSingleMotorCallsSend) {
    const Damiao m(0x7FF, 0x11, MitLimits{}, 20);
    const MitSetpoint sp{1.0f, 2.0f, 50.0f, 1.0f, 0.5f};
    const std::vector<std::pair<Command, Result<MotorState> (*)(const Damiao&, ScriptedTransport&)>>
        kinds = {
            {commands::Enable{}, [](const Damiao& d, ScriptedTransport& b) { return d.enable(b); }},
            {commands::Disable{}, [](const Damiao& d, ScriptedTransport& b) { return d.disable(b); }},
            {commands::SetZero{}, [](const Damiao& d, ScriptedTransport& b) { return d.set_zero(b); }},
            {commands::ClearError{},
             [](const Damiao& d, ScriptedTransport& b) { return d.clear_error(b); }},
            {sp, [](const Damiao& d, ScriptedTransport& b) {
                 return d.mit_control(b, {1.0f, 2.0f, 50.0f, 1.0f, 0.5f});
             }},
            {ControlSetpoint(setpoints::ForcePos{1.5f, 2.5f, 0.5f}),
             [](const Damiao& d, ScriptedTransport& b) {
                 return d.control(b, setpoints::ForcePos{1.5f, 2.5f, 0.5f});
             }},
        };
    for (const auto& [command, single] : kinds) {
        ScriptedTransport one, batched;
        one.reply(feedback(0x11, 1, 30));
        batched.reply(feedback(0x11, 1, 30));
        ASSERT_TRUE(single(m, one).has_value());
        const MotorCommand mc{m, command};
        Result<MotorState> out;
        ASSERT_TRUE(run_cycle(batched, {&mc, 1}, {&out, 1}).has_value());
        ASSERT_TRUE(out.has_value()) << out.error().text();
        ASSERT_EQ(batched.sent.size(), 1u);
        EXPECT_EQ(batched.sent[0].id, one.sent.at(0).id);
        EXPECT_EQ(bytes_of(batched.sent[0]), bytes_of(one.sent.at(0)));
    }
}

// ---- refused cycles ----------------------------------------------------------

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
    std::vector<Damiao> motors;
    for (const auto& m : c.motors) motors.emplace_back(m.id, m.master, m.limits, 20);
    std::vector<MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, commands::Enable{}});
    std::vector<Result<MotorState>> outcomes(c.outcome_slots, MotorState{.motor_id = 9});

    auto r = run_cycle(bus, commands, outcomes);

    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().text(), c.text);
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_TRUE(bus.recv_timeouts.empty());
    for (const auto& o : outcomes) EXPECT_EQ(describe(o), "motor 9 t_mos 0");
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedCycle,
    ::testing::Values(
        RefusedCase{"same_master_id", {{1, 0x11}, {2, 0x12}, {3, 0x12}}, 3,
                    "two motors of one cycle answer on master id 0x012: their replies cannot be "
                    "told apart"},
        RefusedCase{"same_master_id_after_masking", {{1, 0x811}, {2, 0x11}}, 2,
                    "two motors of one cycle answer on master id 0x011: their replies cannot be "
                    "told apart"},
        RefusedCase{"too_few_outcome_slots", {{1, 0x11}, {2, 0x12}}, 1,
                    "a cycle of 2 commands needs as many outcome slots, got 1"},
        RefusedCase{"too_many_outcome_slots", {{1, 0x11}}, 2,
                    "a cycle of 1 commands needs as many outcome slots, got 2"}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- the deadline ------------------------------------------------------------

TEST(CycleDeadline, IsTheLargestTimeoutCountedFromTheLastSend) {
    ScriptedTransport bus;
    const Damiao quick(1, 0x11, MitLimits{}, 5);
    const Damiao patient(2, 0x12, MitLimits{}, 300);
    // Motor 2's reply comes long after motor 1's own time-out, within its own.
    bus.reply(feedback(0x12, 2, 32), 60ms);
    const MotorCommand commands[] = {{quick, kMit}, {patient, kMit}};
    Result<MotorState> outcomes[2];

    ASSERT_TRUE(run_cycle(bus, commands, outcomes).has_value());

    EXPECT_EQ(describe(outcomes[0]), kTimedOut);
    EXPECT_EQ(describe(outcomes[1]), "motor 2 t_mos 32");
    ASSERT_FALSE(bus.recv_timeouts.empty());
    EXPECT_GT(bus.recv_timeouts[0].to_clock(), 250ms);
}

TEST(CycleFullQueue, IsRetriedWithPausesUntilTheTimeoutThenReported) {
    ScriptedTransport bus;
    constexpr std::size_t kRefusals = 100'000;  // more than any spinning loop could use up
    for (std::size_t i = 0; i < kRefusals; ++i)
        bus.send_errors.push_back(TransportError::backend_errno(ENOBUFS));
    const Damiao a(1, 0x11, MitLimits{}, 20), b(2, 0x12, MitLimits{}, 20);
    const MotorCommand commands[] = {{a, kMit}, {b, kMit}};
    Result<MotorState> outcomes[2];

    ASSERT_TRUE(run_cycle(bus, commands, outcomes).has_value());

    const std::size_t tries = kRefusals - bus.send_errors.size();
    bus.send_errors.clear();
    EXPECT_EQ(describe(outcomes[0]), backend_text(ENOBUFS));
    EXPECT_EQ(describe(outcomes[1]), backend_text(ENOBUFS));
    // 20 ms of pauses between tries: about a hundred tries, not a spin.
    EXPECT_GE(tries, 3u);
    EXPECT_LT(tries, 1000u);
    EXPECT_TRUE(bus.sent.empty());
    EXPECT_TRUE(bus.recv_timeouts.empty());
}

// ---- no allocation -----------------------------------------------------------

// A bus with fixed storage, so that only the cycle itself could allocate.
class FixedBus final : public transport::CanTransport {
public:
    transport::Result<void> send(const CanFrame&) override { return {}; }
    transport::Result<CanFrame> recv(transport::Duration) override {
        if (next_ == std::size(replies_)) return std::unexpected(TransportError::timeout());
        return replies_[next_++];
    }
    CanFrame replies_[3] = {feedback(0x12, 2, 32), feedback(0x13, 3, 33), feedback(0x11, 1, 31)};
    std::size_t next_ = 0;
};

std::size_t allocations = 0;
bool counting = false;

TEST(CycleMemory, AllocatesNothing) {
    FixedBus bus;
    const Damiao a(1, 0x11, MitLimits{}, 20), b(2, 0x12, MitLimits{}, 20), c(3, 0x13, MitLimits{}, 20);
    const MotorCommand commands[] = {{a, kMit}, {b, commands::Enable{}},
                                     {c, ControlSetpoint(setpoints::Vel{1.0f})}};
    Result<MotorState> outcomes[3];

    allocations = 0;
    counting = true;
    const auto r = run_cycle(bus, commands, outcomes);
    counting = false;

    ASSERT_TRUE(r.has_value());
    for (const auto& o : outcomes) ASSERT_TRUE(o.has_value()) << o.error().text();
    EXPECT_EQ(allocations, 0u);
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
