// The command/reply exchange against a scripted bus: what is sent, which
// frames end the wait, and how the one deadline bounds all the reads.
#include <chrono>
#include <cerrno>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_transport.hpp"

namespace {

using namespace std::chrono_literals;
using velkarin::testing::classic;
using velkarin::testing::ScriptedTransport;
using velkarin::transport::CanFrame;
using velkarin::transport::CanId;
using velkarin::transport::Duration;
using velkarin::transport::IoError;
using velkarin::transport::TransportError;
using Clock = std::chrono::steady_clock;

const CanFrame kCommand = classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});
const CanId kReplyId = CanId::standard(0x011);

void expect_same_frame(const CanFrame& got, const CanFrame& want) {
    EXPECT_EQ(got.id, want.id);
    EXPECT_EQ(got.fd, want.fd);
    EXPECT_EQ(got.brs, want.brs);
    EXPECT_EQ(std::vector(got.data().begin(), got.data().end()),
              std::vector(want.data().begin(), want.data().end()));
}

TEST(Request, SendsTheCommandOnceAndReturnsTheFirstMatchingFrame) {
    ScriptedTransport bus;
    const CanFrame first = classic(0x011, {1, 2, 3});
    bus.reply(first);
    bus.reply(classic(0x011, {4, 5, 6}));

    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(500));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    expect_same_frame(*got, first);
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_same_frame(bus.sent[0], kCommand);
    EXPECT_EQ(bus.take_unused(), 1u);  // the second reply stays for the next reader
}

// Identifiers match on kind and value; everything else about the frame is
// ignored, so FD, BRS and empty (remote-as-data) frames are replies too.
struct MatchCase {
    const char* name;
    CanId expected;
    CanFrame other;  // arrives first and must be dropped
    CanFrame reply;  // arrives second and must be returned
};

void PrintTo(const MatchCase& c, std::ostream* os) { *os << c.name; }

class RequestMatching : public ::testing::TestWithParam<MatchCase> {};

TEST_P(RequestMatching, DropsTheOtherFrameAndReturnsTheReply) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(c.other);
    bus.reply(c.reply);

    auto got = bus.request(kCommand, c.expected, Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    expect_same_frame(*got, c.reply);
    EXPECT_TRUE(bus.script.empty());
    EXPECT_EQ(bus.recv_timeouts.size(), 2u);
}

const std::vector<std::uint8_t> k12(12, 0xA5);

INSTANTIATE_TEST_SUITE_P(
    Cases, RequestMatching,
    ::testing::Values(
        MatchCase{"extended_same_value_is_not_standard", CanId::standard(0x11),
                  CanFrame(CanId::extended(0x11), std::vector<std::uint8_t>{0xEE}),
                  classic(0x11, {0x01})},
        MatchCase{"standard_same_value_is_not_extended", CanId::extended(0x11),
                  classic(0x11, {0xEE}), CanFrame(CanId::extended(0x11), std::vector<std::uint8_t>{0x02})},
        MatchCase{"other_standard_value", CanId::standard(0x11), classic(0x12, {0xEE}),
                  classic(0x11, {0x03})},
        MatchCase{"fd_brs_reply", CanId::standard(0x11), classic(0x10, {0xEE}),
                  CanFrame(CanId::standard(0x11), k12, true, true)},
        MatchCase{"empty_remote_as_data_reply", CanId::standard(0x11), classic(0x10, {0xEE}),
                  classic(0x11, {})},
        MatchCase{"extended_fd_reply", CanId::extended(0x1FFFFFFF),
                  CanFrame(CanId::extended(0x1FFFFFFE), k12, true),
                  CanFrame(CanId::extended(0x1FFFFFFF), k12, true, false)}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Request, OnlyWrongKindFramesEndInTimeout) {
    ScriptedTransport bus;
    bus.reply(CanFrame(CanId::extended(0x11), std::vector<std::uint8_t>{1}));
    auto got = bus.request(kCommand, CanId::standard(0x11), Duration::from_millis(30));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_TRUE(bus.script.empty());
}

// Unrelated traffic for a whole second against a 50 ms deadline: each read
// takes at least 5 ms, so no more than about ten reads fit before it passes.
TEST(Request, DeadlineBoundsTheWholeWaitUnderUnrelatedTraffic) {
    ScriptedTransport bus;
    for (int i = 0; i < 200; ++i) bus.reply(classic(0x100, {static_cast<std::uint8_t>(i)}), 5ms);

    const auto start = Clock::now();
    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(50));
    const auto elapsed = Clock::now() - start;

    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_GE(elapsed, 50ms);
    EXPECT_LT(elapsed, 600ms);  // sanity bound, far below the script's length
    EXPECT_LE(bus.recv_timeouts.size(), 12u);
    EXPECT_GE(bus.take_unused(), 188u);
}

// Every read is handed only what is left of the one deadline.
TEST(Request, RecvTimeoutsShrinkByTheTimeAlreadySpent) {
    ScriptedTransport bus;
    for (int i = 0; i < 3; ++i) bus.reply(classic(0x100, {}), 10ms);
    bus.reply(classic(0x011, {0x42}));

    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    ASSERT_EQ(bus.recv_timeouts.size(), 4u);
    EXPECT_LE(bus.recv_timeouts[0].to_clock(), 1000ms);
    for (std::size_t i = 1; i < bus.recv_timeouts.size(); ++i) {
        const auto shrink = bus.recv_timeouts[i - 1].to_clock() - bus.recv_timeouts[i].to_clock();
        EXPECT_GE(shrink, 10ms) << "read " << i;
    }
    EXPECT_GT(bus.recv_timeouts.back().to_clock(), 0ns);
}

// The deadline starts when send returns: a slow transmit does not eat into
// the time the motor has to answer.
TEST(Request, TimeSpentSendingDoesNotCountAgainstTheReply) {
    ScriptedTransport bus;
    bus.on_send = [](const CanFrame&, ScriptedTransport& b) {
        std::this_thread::sleep_for(100ms);
        b.reply(classic(0x011, {0x5A}));
    };
    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(50));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    EXPECT_EQ(got->id, kReplyId);
    ASSERT_EQ(bus.recv_timeouts.size(), 1u);
    EXPECT_GT(bus.recv_timeouts[0].to_clock(), 0ns);
}

// A reader that gets back from one read after the deadline (a 60 ms frame
// against 20 ms) still takes the reply if it is already queued behind, within
// a few reads that do not wait; one that has not come yet is not waited for.
struct LateCase {
    const char* name;
    int queued_before_reply;         // unrelated frames already queued ahead of it
    std::chrono::milliseconds delay;  // the reply's own arrival after that
    bool taken;
};

void PrintTo(const LateCase& c, std::ostream* os) { *os << c.name; }

class LateReader : public ::testing::TestWithParam<LateCase> {};

TEST_P(LateReader, TakesOnlyWhatWasQueuedInTime) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x100, {}), 60ms);
    for (int i = 0; i < c.queued_before_reply; ++i) bus.reply(classic(0x101, {}));
    bus.reply(classic(0x011, {0x5A}), c.delay);

    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(20));
    EXPECT_EQ(got.has_value(), c.taken);
    if (!c.taken) {
        EXPECT_EQ(got.error(), TransportError::timeout());
    }
    EXPECT_EQ(bus.take_unused() > 0, !c.taken);
}

INSTANTIATE_TEST_SUITE_P(
    AfterTheDeadline, LateReader,
    ::testing::Values(LateCase{"queued_reply", 0, 0ms, true},
                      LateCase{"queued_behind_other_traffic", 8, 0ms, true},
                      LateCase{"not_yet_sent", 0, 5ms, false},
                      LateCase{"behind_more_than_a_few_frames", 40, 0ms, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Request, ZeroTimeoutSendsThenReportsTimeout) {
    ScriptedTransport bus;
    auto got = bus.request(kCommand, kReplyId, Duration{});
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_EQ(bus.sent.size(), 1u);
    for (const auto& t : bus.recv_timeouts) EXPECT_TRUE(t.is_zero());
}

class RequestSendFailure : public ::testing::TestWithParam<TransportError> {};

TEST_P(RequestSendFailure, ReturnsTheErrorWithoutReading) {
    ScriptedTransport bus;
    bus.send_errors.push_back(GetParam());
    bus.reply(classic(0x011, {1}));

    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(500));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), GetParam());
    EXPECT_TRUE(bus.recv_timeouts.empty());
    EXPECT_EQ(bus.take_unused(), 1u);
}

INSTANTIATE_TEST_SUITE_P(EachSendError, RequestSendFailure,
                         ::testing::Values(TransportError::invalid_id(),
                                           TransportError::frame_too_large(9),
                                           TransportError::backend_errno(ENETDOWN)));

// A failing read ends the request at once, with most of the time left and the
// matching frame still queued behind it: nothing is retried.
class RequestRecvFailure : public ::testing::TestWithParam<TransportError> {};

TEST_P(RequestRecvFailure, IsReturnedAtOnceWithTimeLeft) {
    ScriptedTransport bus;
    bus.reply(classic(0x100, {}));
    bus.fail_recv(GetParam());
    bus.reply(classic(0x011, {1}));

    const auto start = Clock::now();
    auto got = bus.request(kCommand, kReplyId, Duration::from_millis(10'000));
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), GetParam());
    EXPECT_LT(Clock::now() - start, 5s);
    EXPECT_EQ(bus.recv_timeouts.size(), 2u);
    EXPECT_EQ(bus.take_unused(), 1u);
}

INSTANTIATE_TEST_SUITE_P(
    EachRecvError, RequestRecvFailure,
    ::testing::Values(TransportError::backend_errno(EINTR), TransportError::timeout(),
                      TransportError::backend(IoError::custom("unexpected CAN frame size"))));

}  // namespace
