// The batched cycle on vcan0 against the built simulator with six motors:
// each reply reaches its own motor, from enabling to holding a position.
#include <gtest/gtest.h>

#include <array>
#include <string>
#include <thread>
#include <vector>

#include "bus_env.hpp"
#include "damiao/cycle.hpp"
#include "sim_process.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::sim {
namespace {

using namespace std::chrono_literals;
using damiao::MotorCommand;
using damiao::MotorState;
using damiao::Result;
using testing::SimProcess;

constexpr std::size_t kSix = 6;

TEST(CycleOnTheBus, SixMotorsEachGetTheirOwnReply) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = transport::SocketCanTransport::open("vcan0");
    ASSERT_TRUE(bus) << bus.error().text();
    std::vector<std::string> args = {"--iface", "vcan0"};
    std::vector<damiao::Damiao> motors;
    for (std::uint16_t i = 1; i <= kSix; ++i) {
        const std::string id = std::to_string(i), master = std::to_string(0x10 + i);
        args.insert(args.end(), {"--motor", id + ":" + master + ":DM4310"});
        motors.emplace_back(i, static_cast<std::uint16_t>(0x10 + i), damiao::MitLimits{}, 200);
    }
    SimProcess p(args);
    ASSERT_TRUE(p.started());
    ASSERT_EQ(p.read_line(5s), "velkarin-sim ready on vcan0: 6 motor(s)");

    std::vector<MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, damiao::commands::Enable{}});
    std::array<Result<MotorState>, kSix> out;
    auto cycle = [&] { ASSERT_TRUE(damiao::run_cycle(*bus, commands, out).has_value()); };

    cycle();
    for (std::size_t i = 0; i < kSix; ++i) {
        ASSERT_TRUE(out[i]) << "motor " << i + 1 << ": " << out[i].error().text();
        EXPECT_EQ(out[i]->error, 1) << "motor " << i + 1 << " enabled";
    }

    // Motor i holds 0.1 * i rad: a reply handed to the wrong motor shows as a wrong position.
    for (std::size_t i = 0; i < kSix; ++i)
        commands[i].command = damiao::MitSetpoint{0.1f * static_cast<float>(i + 1), 0, 30.0f, 1.0f, 0};
    for (int n = 0; n < 300; ++n) {
        cycle();
        std::this_thread::sleep_for(2ms);
    }
    for (std::size_t i = 0; i < kSix; ++i) {
        ASSERT_TRUE(out[i]) << "motor " << i + 1 << ": " << out[i].error().text();
        EXPECT_EQ(out[i]->motor_id, i + 1);
        EXPECT_NEAR(out[i]->position, 0.1f * static_cast<float>(i + 1), 0.01f) << "motor " << i + 1;
    }
}

}  // namespace
}  // namespace velkarin::sim
