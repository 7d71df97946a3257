// Late replies and interrupted calls on one scripted bus: a reply that comes
// after its command's deadline is never a later command's, one lost reply
// fails at most one more command, and a signal handler's command leaves the
// interrupted call its own reply.
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "damiao/cycle.hpp"
#include "scripted_transport.hpp"

namespace {

using namespace std::chrono_literals;
using velkarin::damiao::Damiao;
using velkarin::damiao::MotorCommand;
using velkarin::damiao::MotorState;
using velkarin::testing::classic;
using velkarin::testing::ScriptedTransport;
using velkarin::transport::CanFrame;
using velkarin::transport::CanId;
using velkarin::transport::Duration;
using velkarin::transport::TransportError;

const CanFrame kCommand = classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});
const CanId kReplyId = CanId::standard(0x011);
constexpr auto kTimeout = Duration::from_millis(20);

// The reply to the n-th command: its first byte tells replies apart.
CanFrame reply(std::uint8_t n) { return classic(0x011, {n, 0, 0, 0, 0, 0, 0, 0}); }

// What one request got: the number of its reply, or "timeout".
std::string outcome(ScriptedTransport& bus) {
    auto got = bus.request(kCommand, kReplyId, kTimeout);
    if (!got) return got.error() == TransportError::timeout() ? "timeout" : got.error().text();
    return std::to_string(got->data()[0]);
}

// What reaches the bus around the n-th command (n from 1), after command 1
// has timed out: `queued` frames are waiting before its send, `answers`
// come once it has gone out.
struct Round {
    std::vector<std::uint8_t> queued;
    std::vector<std::uint8_t> answers;
    std::string expected;
};

struct LateCase {
    const char* name;
    std::vector<Round> rounds;  // commands 2, 3, ...
    std::chrono::milliseconds pause_after_first{0};
};

class LateReply : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateReply, IsNeverALaterCommandsReply) {
    ScriptedTransport bus;
    ASSERT_EQ(outcome(bus), "timeout");  // command 1: nothing in time
    std::this_thread::sleep_for(GetParam().pause_after_first);
    for (const Round& r : GetParam().rounds) {
        for (auto n : r.queued) bus.reply(reply(n));
        bus.on_send = [&r](const CanFrame&, ScriptedTransport& b) {
            for (auto n : r.answers) b.reply(reply(n));
        };
        EXPECT_EQ(outcome(bus), r.expected);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, LateReply,
    ::testing::Values(
        // Queued before command 2 went out, so it cannot be its reply.
        LateCase{"QueuedBeforeTheNextSend", {{{1}, {2}, "2"}, {{}, {3}, "3"}}},
        // Within its time-out after command 1's deadline: still command 1's.
        LateCase{"ArrivingWithinItsWindow", {{{}, {1, 2}, "2"}, {{}, {3}, "3"}}},
        // Command 1's reply never comes: command 2's own reply is taken for
        // it, and command 2 fails too. Command 3 leaves no further debt.
        LateCase{"LostForGood", {{{}, {2}, "timeout"}, {{}, {3}, "3"}, {{}, {4}, "4"}}},
        // A motor slower than its time-out twice over: command 2's reply,
        // late too, is still not command 3's once it is queued.
        LateCase{"LateTwiceInARow", {{{}, {1}, "timeout"}, {{2}, {3}, "3"}}},
        // Queued before the send, even long after its window.
        LateCase{"QueuedAfterItsWindow", {{{1}, {2}, "2"}}, 60ms},
        // Its window passed with nothing queued: the debt is forgotten.
        LateCase{"LostAfterItsWindow", {{{}, {2}, "2"}, {{}, {3}, "3"}}, 60ms}),
    [](const auto& p) { return p.param.name; });

// A round after a single command's time-out leaves that late reply too.
TEST(LateReplyInARound, IsNotTheRoundsReply) {
    ScriptedTransport bus;
    ASSERT_EQ(outcome(bus), "timeout");
    bus.on_send = [](const CanFrame&, ScriptedTransport& b) {
        b.reply(reply(1));
        b.reply(reply(2));
    };
    const Damiao motor(1, 0x11, {}, 20);
    const std::vector<MotorCommand> commands{{motor, velkarin::damiao::commands::Enable{}}};
    std::vector<velkarin::damiao::Result<MotorState>> outcomes(1);
    ASSERT_TRUE(velkarin::damiao::run_cycle(bus, commands, outcomes).has_value());
    ASSERT_TRUE(outcomes[0].has_value()) << outcomes[0].error().text();
    EXPECT_EQ(outcomes[0]->motor_id, 2);  // the low nibble of byte 0
}

// A round with the longest time-out, ended by a signal: its debt ends at the
// clock's last instant instead of wrapping into the past, so it still holds.
TEST(LateReplyInARound, OfTheLongestTimeOutStillHolds) {
    ScriptedTransport bus;
    const Damiao motor(1, 0x11, {}, UINT64_MAX);
    const std::vector<MotorCommand> commands{{motor, velkarin::damiao::commands::Enable{}}};
    std::vector<velkarin::damiao::Result<MotorState>> outcomes(1);
    bus.fail_recv(TransportError::backend_errno(EINTR));
    ASSERT_TRUE(velkarin::damiao::run_cycle(bus, commands, outcomes).has_value());
    ASSERT_FALSE(outcomes[0].has_value());
    bus.on_send = [](const CanFrame&, ScriptedTransport& b) {
        b.reply(reply(1));
        b.reply(reply(2));
    };
    EXPECT_EQ(outcome(bus), "2");
}

// A handler that sends its own command on the same identifier while the
// interrupted request waits: the replies come in send order, and each call
// gets its own.
struct NestedCommand final : velkarin::transport::InterruptHandler {
    ScriptedTransport* bus = nullptr;
    std::string got;
    bool resume_after_signal() override {
        bus->on_send = {};
        got = outcome(*bus);
        return true;
    }
};

TEST(InterruptedRequest, KeepsItsReplyFromTheHandlersCommand) {
    ScriptedTransport bus;
    NestedCommand handler;
    handler.bus = &bus;
    bus.set_interrupt_handler(&handler);
    bus.on_send = [](const CanFrame&, ScriptedTransport& b) {
        b.fail_recv(TransportError::backend_errno(EINTR));
        b.reply(reply(1));  // the interrupted command's, read by the handler's
        b.reply(reply(2));
    };
    EXPECT_EQ(outcome(bus), "1");
    EXPECT_EQ(handler.got, "2");
    EXPECT_EQ(bus.sent.size(), 2u);
}

}  // namespace
