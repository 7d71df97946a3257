// The built velkarin-sim executable: its command line without a bus, and a
// motor served on vcan0 driven over a raw CAN socket.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <thread>

#include "bus_env.hpp"
#include "sim_frames.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;
using transport::Duration;
using transport::SocketCanTransport;

bool exited_with(std::optional<int> status, int code) {
    return status && WIFEXITED(*status) && WEXITSTATUS(*status) == code;
}

TEST(Executable, HelpPrintsUsageAndExitsZero) {
    SimProcess p({"--help"});
    ASSERT_TRUE(p.started());
    const auto line = p.read_line(5s);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->rfind("usage: velkarin-sim --iface", 0), 0u) << *line;
    EXPECT_TRUE(exited_with(p.wait(5s), 0));
}

TEST(Executable, BadArgumentsExitTwoWithAReason) {
    SimProcess p({"--motor", "1:0x11:DM4310"});
    ASSERT_TRUE(p.started());
    EXPECT_TRUE(exited_with(p.wait(5s), 2));
    EXPECT_NE(p.drain_stderr().find("--iface is required"), std::string::npos);
}

TEST(Executable, MissingInterfaceExitsTwo) {
    SimProcess p({"--iface", "nosuchcan7", "--motor", "1:0x11:DM4310"});
    ASSERT_TRUE(p.started());
    EXPECT_TRUE(exited_with(p.wait(5s), 2));
    EXPECT_NE(p.drain_stderr().find("cannot open nosuchcan7"), std::string::npos);
    EXPECT_FALSE(p.read_line(10ms)) << "no ready line without a bus";
}

class OnTheBus : public ::testing::Test {
protected:
    std::optional<damiao::MotorState> command(SocketCanTransport& bus, const CanFrame& f,
                                              std::uint16_t master = 0x11) {
        auto r = bus.request(f, CanId::standard(master), Duration::from_millis(200));
        if (!r) return std::nullopt;
        return decode(*r);
    }
};

TEST_F(OnTheBus, EnableAndMitLoopConvergeThenSigtermExitsZero) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << bus.error().text();
    SimProcess p({"--iface", "vcan0", "--motor", "1:0x11:DM4310", "--motor", "2:0x12:dm4340"});
    ASSERT_TRUE(p.started());
    const auto ready = p.read_line(5s);
    ASSERT_TRUE(ready);
    EXPECT_EQ(*ready, "velkarin-sim ready on vcan0: 2 motor(s)");

    auto s = command(*bus, enable(1));
    ASSERT_TRUE(s);
    EXPECT_EQ(s->motor_id, 1);
    EXPECT_EQ(s->error, 1);

    // A register read is answered on the master id and matched by content.
    ASSERT_TRUE(bus->send(read_reg(1, 10)));
    auto reply = bus->recv(Duration::from_millis(200));
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->id, CanId::standard(0x11));
    EXPECT_EQ(damiao::registers::match_read_reply(reply->data(), 10), 1u);

    // A 500 Hz loop holding q = 0.5 settles there.
    for (int i = 0; i < 500; ++i) {
        s = command(*bus, mit(1, {0.5f, 0, 10.0f, 0.5f, 0}));
        ASSERT_TRUE(s) << "iteration " << i;
        std::this_thread::sleep_for(2ms);
    }
    EXPECT_NEAR(s->position, 0.5f, 0.01f);
    EXPECT_EQ(s->error, 1);

    // The other motor was never enabled and has not moved.
    s = command(*bus, mit(2, {}), 0x12);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->motor_id, 2);
    EXPECT_EQ(s->error, 0);

    p.signal(SIGTERM);
    EXPECT_TRUE(exited_with(p.wait(5s), 0));
}

TEST_F(OnTheBus, ConsoleFaultsTakeEffectAtRunTime) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << bus.error().text();
    SimProcess p({"--iface", "vcan0", "--motor", "1:0x11:DM4310"});
    ASSERT_TRUE(p.started());
    ASSERT_TRUE(p.read_line(5s));

    p.write_line("fault 1 silent on");
    EXPECT_EQ(p.read_line(5s), "ok");
    auto r = bus->request(enable(1), CanId::standard(0x11), Duration::from_millis(100));
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind, transport::TransportError::Kind::Timeout);

    // Past the silent command's window, in which a reply could still be its own late one.
    std::this_thread::sleep_for(200ms);
    // A late reply leaves on time although nothing else wakes the loop.
    p.write_line("clear 1");
    EXPECT_EQ(p.read_line(5s), "ok");
    p.write_line("fault 1 delay 40");
    EXPECT_EQ(p.read_line(5s), "ok");
    const auto sent = std::chrono::steady_clock::now();
    r = bus->request(clear_error(1), CanId::standard(0x11), Duration::from_millis(1000));
    ASSERT_TRUE(r) << r.error().text();
    EXPECT_GE(std::chrono::steady_clock::now() - sent, 35ms);
    EXPECT_EQ(decode(*r).error, 0) << "a silent motor does not act: the enable never arrived";

    p.write_line("fault 1 status mosfet-over-temperature");
    EXPECT_EQ(p.read_line(5s), "ok");
    p.write_line("state 1");
    const auto state = p.read_line(5s);
    ASSERT_TRUE(state);
    EXPECT_EQ(state->rfind("motor 1: mosfet-over-temperature mode 1 status 0xB", 0), 0u) << *state;
    EXPECT_EQ(p.read_line(5s), "ok");

    p.signal(SIGINT);
    EXPECT_TRUE(exited_with(p.wait(5s), 0));
}

}  // namespace
}  // namespace velkarin::sim
