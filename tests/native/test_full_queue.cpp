// The batched cycle on vcan1 behind a `plug` queueing discipline, a bus that
// takes no more frames: every outcome arrives within the cycle's bound, a
// full transmit queue (plug with a byte limit) is ENOBUFS for the frames it
// refused, and a signal ends a wait for room when the handler says stop.
#include <signal.h>
#include <sys/time.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bus_env.hpp"
#include "damiao/cycle.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::damiao {
namespace {

using namespace std::chrono_literals;
using transport::Clock;
using transport::TransportError;

constexpr const char* kIface = "vcan1";
constexpr auto kBound = 1s;  // what a cycle of 20 ms motors may take here, load included

// `tc qdisc add dev vcan1 root plug ...` for the object's life (the
// discipline's module loaded from the harness kernel's tree if need be).
class Plugged {
public:
    explicit Plugged(const std::string& options) {
        const std::string load =
            "test -d /sys/module/sch_plug || insmod /usr/lib/uml/modules/$(uname -r)/kernel/net/sched/"
            "sch_plug.ko 2>/dev/null || modprobe sch_plug";
        ok_ = std::system((load + " && tc qdisc add dev " + kIface + " root plug " + options).c_str()) == 0;
    }
    ~Plugged() {
        if (ok_) (void)std::system((std::string("tc qdisc del dev ") + kIface + " root").c_str());
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

std::string text_of(const Result<MotorState>& r) { return r ? "state" : r.error().text(); }

std::string backend_text(int e) {
    return "transport error: " + TransportError::backend_errno(e).text();
}

struct Six {
    std::vector<Damiao> motors;
    std::vector<MotorCommand> commands;
    std::vector<Result<MotorState>> outcomes{6};

    explicit Six(std::uint64_t timeout_ms) {
        for (std::uint16_t i = 1; i <= 6; ++i)
            motors.emplace_back(i, static_cast<std::uint16_t>(0x10 + i), MitLimits{}, timeout_ms);
        for (const auto& m : motors) commands.push_back({m, commands::Enable{}});
    }
    // The outcomes' texts, and how long the cycle took.
    std::pair<std::vector<std::string>, Clock::duration> run(transport::CanTransport& bus) {
        const auto start = Clock::now();
        EXPECT_TRUE(run_cycle(bus, commands, outcomes).has_value());
        const auto took = Clock::now() - start;
        std::vector<std::string> texts;
        for (const auto& o : outcomes) texts.push_back(text_of(o));
        return {texts, took};
    }
};

// Fills the socket's send buffer with frames nobody takes.
void fill_send_buffer(transport::SocketCanTransport& bus) {
    const transport::CanFrame frame(transport::CanId::standard(0x001), std::vector<std::uint8_t>(8));
    for (int i = 0; i < 4000; ++i)
        if (!bus.send(frame)) return;
    FAIL() << "4000 frames did not fill the send buffer";
}

TEST(CycleOnAFullBus, AFullTransmitQueueFailsTheFramesItRefusedAfterThePatience) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Plugged plug("limit 64");  // four classic frames
    ASSERT_TRUE(plug.ok());
    auto bus = transport::SocketCanTransport::open(kIface);
    ASSERT_TRUE(bus);
    Six six(20);
    const auto [texts, took] = six.run(*bus);
    const auto timed_out = "transport error: " + TransportError::timeout().text();
    const auto full = backend_text(ENOBUFS);
    EXPECT_EQ(texts, (std::vector<std::string>{timed_out, timed_out, timed_out, timed_out, full, full}));
    EXPECT_LT(took, kBound);
}

TEST(CycleOnAFullBus, AFullSendBufferEndsEveryOutcomeWithinTheBound) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Plugged plug("");
    ASSERT_TRUE(plug.ok());
    auto bus = transport::SocketCanTransport::open(kIface);
    ASSERT_TRUE(bus);
    fill_send_buffer(*bus);
    Six six(20);
    const auto [texts, took] = six.run(*bus);
    EXPECT_EQ(texts, std::vector<std::string>(6, backend_text(ENOBUFS)));
    EXPECT_LT(took, kBound);
}

volatile sig_atomic_t alarms = 0;
extern "C" void count_alarm(int) { alarms = alarms + 1; }

struct Stop final : transport::InterruptHandler {
    bool resume_after_signal() override { return false; }
};

TEST(CycleOnAFullBus, ASignalWhoseHandlerSaysStopEndsTheWaitForRoom) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Plugged plug("");
    ASSERT_TRUE(plug.ok());
    auto bus = transport::SocketCanTransport::open(kIface);
    ASSERT_TRUE(bus);
    fill_send_buffer(*bus);
    Stop stop;
    bus->set_interrupt_handler(&stop);
    struct sigaction sa {}, previous{};
    sa.sa_handler = count_alarm;  // no SA_RESTART: the wait sees EINTR
    sigaction(SIGALRM, &sa, &previous);
    const itimerval in_200ms{{0, 0}, {0, 200'000}};
    setitimer(ITIMER_REAL, &in_200ms, nullptr);

    Six six(60'000);
    const auto [texts, took] = six.run(*bus);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_EQ(alarms, 1);
    EXPECT_EQ(texts, std::vector<std::string>(6, backend_text(EINTR)));
    EXPECT_LT(took, 200ms + kBound);
}

}  // namespace
}  // namespace velkarin::damiao
