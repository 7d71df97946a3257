// velkarin-tool's verbs on the scripted bus: each command line as the parser
// reads it, run against scripted motors, its result as JSON or its failure,
// and the register writes it put on the bus.
#include <csignal>
#include <ostream>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "scripted_motors.hpp"
#include "tool/commands.hpp"

namespace velkarin::tool {
namespace {

using testing::ScriptedMotors;
using testing::ScriptedTransport;

struct VerbCase {
    const char* name;
    std::vector<std::string_view> args;  // after the global options
    std::string result;                  // the JSON, or the failure's message
    int writes = 0;                      // register writes that went out
};

void PrintTo(const VerbCase& c, std::ostream* os) { *os << c.name; }

class Verb : public ::testing::TestWithParam<VerbCase> {};

TEST_P(Verb, GivesItsResultAndWritesOnlyWhatItMust) {
    ScriptedTransport bus;
    ScriptedMotors motors;
    motors.add(0x001, 0x011);
    motors.add(0x002, 0x012);
    motors.attach(bus);
    auto parsed = parse_command_line(GetParam().args);
    ASSERT_TRUE(parsed.has_value());
    const Session session{bus, 5, damiao::FrameFormat::Classic};
    Output out(std::tmpfile(), "stdout"), err(std::tmpfile(), "stderr");
    volatile std::sig_atomic_t stop = 0;
    Context ctx{session, parsed->global, out, err, err, stop};

    auto report = run_command(ctx, parsed->command);
    EXPECT_EQ(report ? to_json(report->value) : report.error().message, GetParam().result);
    int writes = 0;
    for (const auto& f : bus.sent) writes += f.id.value == 0x7FF && f.data()[2] == 0x55;
    EXPECT_EQ(writes, GetParam().writes);
    (void)bus.take_unused();  // replies to the reads after the one that failed
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Verb,
    ::testing::Values(
        VerbCase{"GetByNumberAndName", {"get", "1", "tmax", "22", "CTRL_MODE"},
                 R"({"TMAX": 10.0, "VMAX": 30.0, "CTRL_MODE": 1})"},
        VerbCase{"SetReadsBack", {"set", "1", "TIMEOUT", "2000"}, R"({"TIMEOUT": 2000})", 1},
        VerbCase{"ModeWritesOnlyWhenItDiffers", {"mode", "1", "mit"}, R"({"CTRL_MODE": 1})", 0},
        VerbCase{"ModeSwitches", {"mode", "1", "force_pos"}, R"({"CTRL_MODE": 4})", 1},
        VerbCase{"ANewIdTakenIsRefusedUnwritten", {"set", "1", "ESC_ID", "2"},
                 "motor 0x002 already has CAN id 0x002: nothing written"},
        VerbCase{"ANewMasterIdTakenIsRefusedUnwritten", {"set", "1", "MST_ID", "0x12"},
                 "motor 0x002 already answers on 0x012: nothing written"},
        VerbCase{"ANewIdThatCommandsAnotherIsRefusedUnwritten", {"set", "1", "ESC_ID", "0x102"},
                 "motor 0x002 listens on 0x102 too: commands for one would reach the other: "
                 "nothing written"},
        VerbCase{"AFreeIdIsWrittenAndReadAtTheNewId", {"set", "1", "ESC_ID", "5"}, R"({"ESC_ID": 5})", 1},
        VerbCase{"EnableAnswersWithItsStatus", {"enable", "2"},
                 R"({"status": 1, "status_name": "enabled", "position": -0.00019073486, "velocity": -0.007326126, )"
                 R"("torque": -0.00244236, "t_mos": 30, "t_rotor": 31})"},
        VerbCase{"AnAbsentMotorIsNamed", {"get", "9", "PMAX"},
                 "motor 0x009 did not answer a read of MST_ID within 5 ms"}),
    [](const auto& p) { return p.param.name; });

}  // namespace
}  // namespace velkarin::tool
