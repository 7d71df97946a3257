// How results and failures are written: ids as numbers in JSON and as the
// bus shows them in text, tables, the one failure line, the exit statuses.
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>

#include "tool/commands.hpp"
#include "tool/program.hpp"
#include "tool/scan.hpp"

namespace velkarin::tool {
namespace {

using transport::TransportError;

const ScannedMotor kDm4340{{0x002, 0x012}, 2, 12.5f, 10.0f, 28.0f, 5013};
const ScannedMotor kSilent{{0x7FE, 0x000}, std::nullopt, std::nullopt, std::nullopt, std::nullopt, std::nullopt};

TEST(AScan, IsNumbersInJsonAndAnAlignedTableWithHexIdsInText) {
    const Value list = Items{scan_entry(kDm4340), scan_entry(kSilent)};
    EXPECT_EQ(rendered(list, true),
              R"([{"id": 2, "master_id": 18, "mode": "pos_vel", "pmax": 12.5, "vmax": 10.0, "tmax": 28.0, )"
              R"("models": ["dm4340", "dm4340p"], "sw_ver": 5013}, {"id": 2046, "master_id": 0, "mode": null, )"
              R"("pmax": null, "vmax": null, "tmax": null, "models": [], "sw_ver": null}])"
              "\n");
    EXPECT_EQ(rendered(list, false),
              "id     master_id  mode     pmax  vmax  tmax  models           sw_ver\n"
              "0x002  0x012      pos_vel  12.5  10    28    dm4340, dm4340p  5013\n"
              "0x7FE  0x000      -        -     -     -     -                -\n");
}

TEST(AnEmptyList, PrintsNothingForAPersonAndAnEmptyArrayInJson) {
    EXPECT_EQ(rendered(Items{}, false), "");
    EXPECT_EQ(rendered(Items{}, true), "[]\n");
}

TEST(AnObject, AlignsItsKeysAndIndentsWhatIsNestedForAPerson) {
    const damiao::MotorState state{0x002, 0xB, 0.5f, -1.25f, 0.0f, 81, 40};
    const Value info = Members{{"id", Value(CanIdNumber{7})}, {"state", state_value(state)},
                               {"limits", Value(nullptr)}, {"saved", Value(true)}};
    EXPECT_EQ(rendered(info, false),
              "id      0x007\nstate:\n  status       11\n  status_name  mosfet-over-temperature\n"
              "  position     0.5\n  velocity     -1.25\n  torque       0\n  t_mos        81\n"
              "  t_rotor      40\nlimits  -\nsaved   yes\n");
}

struct CoreFailure {
    const char* name;
    damiao::Error error;
    Failure::Kind kind;
    const char* line;
    int exit_status;
};

class ACoreError : public ::testing::TestWithParam<CoreFailure> {};

TEST_P(ACoreError, BecomesOneLineOfItsKindWithItsCauseKept) {
    const auto f = failure_of(GetParam().error, 0x001, "a read of PMAX", transport::Duration::from_millis(50));
    EXPECT_EQ(f.kind, GetParam().kind);
    EXPECT_EQ(failure_line(f, Global{.iface = "vcan0"}), std::string("velkarin-tool: ") + GetParam().line + "\n");
    EXPECT_EQ(exit_status(f, SIGINT), GetParam().exit_status);
    ASSERT_TRUE(f.cause.has_value());
    EXPECT_EQ(f.cause->text(), GetParam().error.text());
}

INSTANTIATE_TEST_SUITE_P(
    Table, ACoreError,
    ::testing::Values(
        CoreFailure{"timeout", damiao::Error(TransportError::timeout()), Failure::Kind::NoAnswer,
                    "motor 0x001 did not answer a read of PMAX within 50 ms; check its CAN id and master id "
                    "(velkarin-tool --iface vcan0 scan shows both), then its power, wiring and bit rate",
                    1},
        CoreFailure{"interrupted", damiao::Error(TransportError::backend_errno(EINTR)), Failure::Kind::Interrupted,
                    "interrupted", 130},
        CoreFailure{"queue_full", damiao::Error(TransportError::backend_errno(ENOBUFS)), Failure::Kind::Bus,
                    "a read of PMAX for motor 0x001 failed: No buffer space available (os error 105): no node "
                    "acknowledges the frames (wiring, termination, bit rate?)",
                    1},
        CoreFailure{"went_down", damiao::Error(TransportError::backend_errno(ENETDOWN)), Failure::Kind::Bus,
                    "a read of PMAX for motor 0x001 failed: Network is down (os error 100); vcan0 is down: bring it "
                    "up with: sudo ip link set vcan0 type can bitrate 1000000 && sudo ip link set vcan0 up (or run "
                    "velkarin-sim on a virtual bus to try without a motor)",
                    1},
        CoreFailure{"short_reply", damiao::Error(damiao::errors::ShortReply{3}), Failure::Kind::WrongAnswer,
                    "motor 0x001 answered a read of PMAX wrongly: reply too short to decode: 3 bytes, need 8", 1}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velkarin::tool
