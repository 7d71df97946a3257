// A wait interrupted by a signal (recv failing with EINTR, a pause woken
// early): ended by default, resumed against the same deadline when the
// transport's handler says so, in the command exchange, the driver's register
// reads and the mode switch's pause.
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>

#include <gtest/gtest.h>

#include "damiao/driver.hpp"
#include "scripted_transport.hpp"

namespace {

using namespace std::chrono_literals;
using velkarin::damiao::Damiao;
using velkarin::testing::classic;
using velkarin::testing::ScriptedTransport;
using velkarin::transport::CanId;
using velkarin::transport::Duration;
using velkarin::transport::TransportError;

const TransportError kInterrupted = TransportError::backend_errno(EINTR);
const auto kCommand = classic(0x001, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC});

int handler_calls = 0;

struct Answer final : velkarin::transport::InterruptHandler {
    bool resume;
    explicit Answer(bool r) : resume(r) {}
    bool resume_after_signal() override { return ++handler_calls, resume; }
};
Answer resume{true};
Answer give_up{false};

struct Case {
    const char* name;
    velkarin::transport::InterruptHandler* handler;
    bool resumed;
};

class InterruptedWait : public ::testing::TestWithParam<Case> {
protected:
    void SetUp() override { handler_calls = 0; }
};

TEST_P(InterruptedWait, RequestResumesOnlyWhenTheHandlerSaysSo) {
    ScriptedTransport bus;
    bus.set_interrupt_handler(GetParam().handler);
    bus.fail_recv(kInterrupted);
    bus.reply(classic(0x011, {1, 2, 3, 4, 5, 6, 7, 8}));

    auto got = bus.request(kCommand, CanId::standard(0x011), Duration::from_millis(100));
    if (GetParam().resumed) {
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(got->data()[0], 1);
    } else {
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error(), kInterrupted);
        EXPECT_EQ(bus.take_unused(), 1u);  // the reply behind the interruption
    }
    EXPECT_EQ(handler_calls, GetParam().handler != nullptr ? 1 : 0);
}

TEST_P(InterruptedWait, RegisterReadResumesOnlyWhenTheHandlerSaysSo) {
    ScriptedTransport bus;
    bus.set_interrupt_handler(GetParam().handler);
    bus.fail_recv(kInterrupted);
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    const Damiao motor(1, 0x11, {}, 100);
    auto got = motor.read_register(bus, 10);
    if (GetParam().resumed) {
        ASSERT_TRUE(got.has_value());
        EXPECT_EQ(std::get<std::uint32_t>(*got), 1u);
    } else {
        ASSERT_FALSE(got.has_value());
        EXPECT_EQ(got.error().text(),
                  "transport error: backend error: " + kInterrupted.io.text());
        EXPECT_EQ(bus.take_unused(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(Handlers, InterruptedWait,
                         ::testing::Values(Case{"NoHandler", nullptr, false},
                                           Case{"HandlerResumes", &resume, true},
                                           Case{"HandlerGivesUp", &give_up, false}),
                         [](const auto& p) { return p.param.name; });

// Resuming never stretches the wait: a stream of interruptions still ends
// at the one deadline with Timeout.
TEST(InterruptedWaitBound, ResumedWaitsStillEndAtTheDeadline) {
    ScriptedTransport bus;
    bus.set_interrupt_handler(&resume);
    for (int i = 0; i < 1000; ++i) bus.fail_recv(kInterrupted, 1ms);

    const auto start = std::chrono::steady_clock::now();
    auto got = bus.request(kCommand, CanId::standard(0x011), Duration::from_millis(30));
    const auto waited = std::chrono::steady_clock::now() - start;

    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_LT(waited, 500ms);
    EXPECT_GT(bus.take_unused(), 0u);  // the deadline, not the script, ended it
}

// The pause sleeps through a real signal: an interval timer's SIGALRM, with a
// handler installed without SA_RESTART, wakes it after 20 ms of 150.
extern "C" void ignore_signal(int) {}

TEST_P(InterruptedWait, PauseResumesOnlyWhenTheHandlerSaysSo) {
    struct sigaction quiet {}, previous{};
    quiet.sa_handler = ignore_signal;
    sigemptyset(&quiet.sa_mask);
    ASSERT_EQ(sigaction(SIGALRM, &quiet, &previous), 0);
    ScriptedTransport bus;
    bus.set_interrupt_handler(GetParam().handler);
    itimerval once{};
    once.it_value.tv_usec = 20'000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &once, nullptr), 0);

    const auto start = std::chrono::steady_clock::now();
    auto paused = bus.pause(Duration::from_millis(150));
    const auto slept = std::chrono::steady_clock::now() - start;
    sigaction(SIGALRM, &previous, nullptr);

    EXPECT_EQ(handler_calls, GetParam().handler != nullptr ? 1 : 0);
    if (GetParam().resumed) {
        EXPECT_TRUE(paused.has_value());
        EXPECT_GE(slept, 150ms);  // resumed to the pause's first end
    } else {
        ASSERT_FALSE(paused.has_value());
        EXPECT_EQ(paused.error(), kInterrupted);
        EXPECT_LT(slept, 150ms);
    }
}

}  // namespace
