// The built simulator on vcan0, probed with a raw CAN socket: on a wire-timed bus a burst
// of commands is never answered sooner than a real bus could carry its frames, classic or
// CAN FD; a motor moved to an FD code, stored and restarted, answers FD commands in FD.
#include <gtest/gtest.h>

#include <unistd.h>

#include "bus_env.hpp"
#include "sim_frames.hpp"
#include "sim_process.hpp"
#include "transport/frame_bits.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;
using transport::Duration;

CanFrame in_format(CanFrame f, bool fd) {
    f.fd = f.brs = fd;
    return f;
}

class WireTimedBurst : public ::testing::TestWithParam<bool> {};

TEST_P(WireTimedBurst, NeverEndsSoonerThanTheTwelveFramesWireTime) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    const bool fd = GetParam();
    const transport::BusRates rates{1'000'000, fd ? 5'000'000u : 0u};
    auto bus = transport::SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << bus.error().text();
    std::vector<std::string> args = {"--iface", "vcan0", "--bitrate", "1000000"};
    if (fd) args.insert(args.end(), {"--dbitrate", "5000000"});
    std::vector<CanFrame> burst;
    for (std::uint16_t i = 1; i <= 6; ++i) {
        const auto motor = std::to_string(i) + ":" + std::to_string(0x10 + i) + ":DM4310";
        args.insert(args.end(), {"--motor", motor});
        burst.push_back(in_format(mit(i, {0.1f, 0, 5.0f, 0.5f, 0}), fd));
    }
    SimProcess p(args);
    ASSERT_TRUE(p.read_line(5s));
    const auto wire_time = [&](const CanFrame& f) {
        return transport::wire_time(*transport::frame_bits(f), rates);
    };
    for (int round = 0; round < 20; ++round) {
        const auto sent = std::chrono::steady_clock::now();
        ASSERT_EQ(bus->send_some(burst), 6u);
        Clock::duration wire{};
        for (std::uint16_t i = 0; i < 6; ++i) {
            auto r = bus->recv(Duration::from_millis(500));
            ASSERT_TRUE(r) << "round " << round << ": " << r.error().text();
            // Every reply was ready when the bus fell idle: lowest identifier first.
            EXPECT_EQ(r->id, CanId::standard(static_cast<std::uint16_t>(0x11 + i)));
            EXPECT_EQ(r->fd && r->brs, fd);
            wire += wire_time(burst[i]) + wire_time(*r);
        }
        EXPECT_GE(std::chrono::steady_clock::now() - sent, wire) << "round " << round;
    }
}

INSTANTIATE_TEST_SUITE_P(Rates, WireTimedBurst, ::testing::Values(false, true),
                         [](const auto& tp) { return tp.param ? "fd_1M_5M" : "classic_1M"; });

TEST(FdMotor, StoredFdCodeAnswersFdCommandsAfterARestart) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = transport::SocketCanTransport::open("vcan0");
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
        const auto written = answer(write_reg(1, registers::can_br, 9));
        ASSERT_TRUE(written);
        EXPECT_EQ(reply_value(*written), 9u);
        ASSERT_TRUE(answer(CanFrame(CanId::standard(0x7FF), registers::store_request(1))));
    }
    SimProcess p(args);
    ASSERT_TRUE(p.read_line(5s));
    const auto fd = answer(in_format(enable(1), true));
    ASSERT_TRUE(fd) << fd.error().text();
    EXPECT_TRUE(fd->fd && fd->brs);
    EXPECT_EQ(decode(*fd).error, 1);
    const auto classic = answer(read_reg(1, registers::can_br));
    ASSERT_TRUE(classic) << "a motor at an FD code takes classic frames too";
    EXPECT_TRUE(!classic->fd && reply_value(*classic) == 9u);
    ::unlink(flash.c_str());
    ::rmdir(dir);
}

}  // namespace
}  // namespace velkarin::sim
