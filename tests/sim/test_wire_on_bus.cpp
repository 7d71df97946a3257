// The built simulator on vcan0, probed with a raw CAN socket: a motor moved
// to an FD code, stored and restarted, answers FD commands in FD.
#include <gtest/gtest.h>

#include <unistd.h>

#include <array>
#include <string>
#include <vector>

#include "bus_env.hpp"
#include "sim_frames.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;
using transport::Duration;
using transport::SocketCanTransport;

CanFrame in_format(CanFrame f, bool fd) {
    f.fd = f.brs = fd;
    return f;
}

TEST(FdMotor, StoredFdCodeAnswersFdCommandsAfterARestart) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << bus.error().text();
    char dir[] = "/tmp/velkarin-fd-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    const std::string flash = std::string(dir) + "/flash";
    const std::vector<std::string> args = {"--iface", "vcan0", "--motor", "1:0x11:DM4310",
                                           "--flash", flash};
    const auto answer = [&](const CanFrame& f) {
        return bus->request(f, CanId::standard(0x11), Duration::from_millis(200));
    };
    {
        SimProcess p(args);
        ASSERT_TRUE(p.read_line(5s));
        EXPECT_FALSE(answer(in_format(enable(1), true))) << "a classic motor takes no FD frame";
        const auto written = answer(write_reg(1, registers::can_br, 9));
        ASSERT_TRUE(written);
        EXPECT_EQ(reply_value(*written), 9u);
        ASSERT_TRUE(bus->send(CanFrame(CanId::standard(0x7FF), registers::store_request(1))));
        ASSERT_TRUE(bus->recv(Duration::from_millis(200)));  // the store's acknowledgement
        EXPECT_FALSE(answer(in_format(enable(1), true))) << "can_br waits for the next start";
        p.signal(SIGTERM);
        ASSERT_TRUE(p.wait(5s));
    }
    SimProcess p(args);
    ASSERT_TRUE(p.read_line(5s));
    const auto fd = answer(in_format(enable(1), true));
    ASSERT_TRUE(fd) << fd.error().text();
    EXPECT_TRUE(fd->fd && fd->brs);
    EXPECT_EQ(decode(*fd).error, 1);
    const auto classic = answer(read_reg(1, registers::can_br));
    ASSERT_TRUE(classic) << "a motor at an FD code takes classic frames too";
    EXPECT_FALSE(classic->fd);
    EXPECT_EQ(reply_value(*classic), 9u);
    ::unlink(flash.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace velkarin::sim
