// The set-up steps against scripted motors that answer register requests:
// the windowed scan, the verified write (ids that change at once, the mode's
// settle time, a value that does not stick) and the limits a motor reports.
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "damiao/driver.hpp"
#include "damiao/motor_scan.hpp"
#include "damiao/reported_limits.hpp"
#include "scripted_motors.hpp"

namespace velkarin::damiao {
namespace {

using std::chrono::milliseconds;
using testing::ScriptedMotors;
using testing::ScriptedTransport;
using testing::classic;
using transport::CanFrame;
using transport::CanId;
using transport::Duration;

TEST(Scan, FindsEveryMotorThatAnswersItsMasterIdInOrder) {
    ScriptedTransport bus;
    ScriptedMotors fake;
    for (const int id : {0x07, 0x02, 0x45})
        fake.add(static_cast<std::uint16_t>(id), static_cast<std::uint16_t>(0x100 + id));
    fake.attach(bus);
    // More ids than one window, so requests go out while replies are taken.
    auto found = find_motors(bus, 0x01, 0x50, Duration::from_millis(5), FrameFormat::Classic);
    ASSERT_TRUE(found.has_value()) << found.error().error.text();
    std::vector<std::pair<int, int>> ids;
    for (const auto& m : *found) ids.emplace_back(m.id, m.master_id);
    EXPECT_EQ(ids, (std::vector<std::pair<int, int>>{{0x02, 0x102}, {0x07, 0x107}, {0x45, 0x145}}));
    EXPECT_EQ(bus.sent.size(), 0x50u);  // each id asked once
}

struct WriteCase {
    const char* name;
    std::uint8_t reg;
    std::uint32_t value;
    std::uint8_t stubborn;
    std::vector<milliseconds> pauses;
    std::string error;  // empty: the value read back
};

class VerifiedWrite : public ::testing::TestWithParam<WriteCase> {};

TEST_P(VerifiedWrite, ReadsBackFromTheMotorAsItIsAfterTheWrite) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    ScriptedMotors fake;
    fake.add(0x01, 0x11);
    fake.stubborn = c.stubborn;
    fake.attach(bus);
    std::vector<milliseconds> pauses;
    const Damiao m(1, 0x11, MitLimits{}, 20);
    auto back = m.write_verified(bus, c.reg, RegisterValue{c.value}, [&](milliseconds d) {
        pauses.push_back(d);
        return true;
    });
    EXPECT_EQ(pauses, c.pauses);
    if (c.error.empty()) {
        ASSERT_TRUE(back.has_value()) << back.error().text();
        EXPECT_EQ(std::get<std::uint32_t>(*back), c.value);
    } else {
        ASSERT_FALSE(back.has_value());
        EXPECT_EQ(back.error().text(), c.error);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, VerifiedWrite,
    ::testing::Values(
        WriteCase{"ModeSettlesFirst", registers::CTRL_MODE, 2, 0xFF, {milliseconds(100)}, ""},
        WriteCase{"NewMasterIdAnswersTheReadBack", registers::MST_ID, 0x21, 0xFF, {}, ""},
        WriteCase{"NewCanIdIsAskedForTheReadBack", registers::ESC_ID, 0x05, 0xFF, {}, ""},
        WriteCase{"AValueThatDoesNotStick", registers::TIMEOUT, 2000, registers::TIMEOUT, {},
                  "verification failed: wrote 2000 to TIMEOUT, motor 0x001 reports 0"}),
    [](const auto& p) { return p.param.name; });

TEST(ReportedRanges, GiveLimitsOnceAllThreeRegistersAreKnown) {
    ReportedRanges r;
    r.note(registers::PMAX, RegisterValue{12.5f});
    r.note(registers::VMAX, RegisterValue{30.0f});
    r.note(registers::CTRL_MODE, RegisterValue{std::uint32_t{1}});  // not one of them
    EXPECT_FALSE(r.limits().has_value());
    r.note(registers::TMAX, RegisterValue{10.0f});
    ASSERT_TRUE(r.limits().has_value());
    const MitLimits l = *r.limits();
    EXPECT_EQ((std::vector<float>{l.p_max, l.v_max, l.kp_max, l.kd_max, l.t_max}),
              (std::vector<float>{12.5f, 30.0f, 500.0f, 5.0f, 10.0f}));
}

}  // namespace
}  // namespace velkarin::damiao
