// The command line and the stdin console of velkarin-sim.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim/args.hpp"
#include "sim/console.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;

std::expected<Options, std::variant<HelpRequested, ArgError>> parse(
    std::vector<std::string_view> argv) {
    return parse_args(argv);
}

TEST(Args, FullCommandLine) {
    const auto o = parse({"--iface", "vcan0", "--motor", "1:0x11:DM4310", "--motor",
                          "0x2:18:dm4340p:vel", "--mode", "pos_vel", "--rate", "2000", "--drop",
                          "0.25", "--delay-ms", "50", "--duplicate", "--short", "4", "--fault",
                          "mosfet-over-temperature", "--timeout-ms", "100", "--seed", "9"});
    ASSERT_TRUE(o) << std::get<ArgError>(o.error()).message;
    EXPECT_EQ(o->iface, "vcan0");
    ASSERT_EQ(o->sim.motors.size(), 2u);
    EXPECT_EQ(o->sim.motors[0].can_id, 1);
    EXPECT_EQ(o->sim.motors[0].master_id, 0x11);
    EXPECT_EQ(o->sim.motors[0].model->name, "dm4310");
    EXPECT_FALSE(o->sim.motors[0].control_mode);
    EXPECT_EQ(o->sim.motors[1].can_id, 2);
    EXPECT_EQ(o->sim.motors[1].master_id, 18);
    EXPECT_EQ(o->sim.motors[1].model->name, "dm4340p");
    EXPECT_EQ(o->sim.motors[1].control_mode, 3);
    EXPECT_EQ(o->sim.control_mode, 2);
    EXPECT_EQ(o->sim.rate_hz, 2000.0);
    EXPECT_EQ(o->sim.faults.drop, 0.25);
    EXPECT_EQ(o->sim.faults.delay, 50ms);
    EXPECT_TRUE(o->sim.faults.duplicate);
    EXPECT_EQ(o->sim.faults.short_len, 4u);
    EXPECT_FALSE(o->sim.faults.silent);
    EXPECT_EQ(o->sim.fault, Status::MosOverTemperature);
    EXPECT_EQ(o->sim.timeout_counts, 2000u);
    EXPECT_EQ(o->sim.seed, 9u);
}

TEST(Args, DefaultsOfAMinimalCommandLine) {
    const auto o = parse({"--iface", "can0", "--motor", "3:0x13:DMH3510"});
    ASSERT_TRUE(o);
    EXPECT_EQ(o->sim.control_mode, 1);
    EXPECT_EQ(o->sim.rate_hz, 10000.0);
    EXPECT_EQ(o->sim.faults, ReplyFaults{});
    EXPECT_FALSE(o->sim.fault);
    EXPECT_EQ(o->sim.timeout_counts, 0u);
}

// The bus's rates pick the can_br code the motors start at; without them the
// bus has no wire time and the motors start at 1 Mbit/s classic.
TEST(Args, BitRatesTimeTheWireAndSetTheStartCode) {
    const auto fd = parse({"--iface", "v", "--motor", "1:2:dm4310", "--bitrate", "1000000",
                           "--dbitrate", "5000000", "--latency-us", "250"});
    ASSERT_TRUE(fd && fd->sim.wire);
    EXPECT_EQ(fd->sim.wire->rates, (transport::BusRates{1'000'000, 5'000'000}));
    EXPECT_EQ(fd->sim.wire->latency, 250us);
    EXPECT_EQ(fd->sim.can_br, 9u);
    EXPECT_EQ(parse({"--iface", "v", "--motor", "1:2:dm4310", "--bitrate", "250000"})->sim.can_br, 2u);
    const auto plain = parse({"--iface", "v", "--motor", "1:2:dm4310"});
    EXPECT_FALSE(plain->sim.wire);
    EXPECT_EQ(plain->sim.can_br, 4u);
}

TEST(Args, HelpWinsAnywhere) {
    for (const auto& argv : std::vector<std::vector<std::string_view>>{
             {"--help"}, {"--iface", "vcan0", "-h"}, {"--iface", "vcan0", "--help", "--x"}}) {
        const auto o = parse(argv);
        ASSERT_FALSE(o);
        EXPECT_TRUE(std::holds_alternative<HelpRequested>(o.error()));
    }
    EXPECT_NE(usage().find("fault <id|all> drop"), std::string::npos);
    EXPECT_NE(usage().find("dm10010l"), std::string::npos);
}

struct BadCase {
    const char* name;
    std::vector<std::string_view> argv;
    const char* says;
};

class BadArgs : public ::testing::TestWithParam<BadCase> {};

TEST_P(BadArgs, AreRejectedWithAReason) {
    const auto o = parse(GetParam().argv);
    ASSERT_FALSE(o);
    ASSERT_TRUE(std::holds_alternative<ArgError>(o.error()));
    EXPECT_NE(std::get<ArgError>(o.error()).message.find(GetParam().says), std::string::npos)
        << std::get<ArgError>(o.error()).message;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadArgs,
    ::testing::Values(
        BadCase{"no_iface", {"--motor", "1:0x11:dm4310"}, "--iface is required"},
        BadCase{"no_motor", {"--iface", "vcan0"}, "--motor is required"},
        BadCase{"unknown_model", {"--iface", "v", "--motor", "1:0x11:dm9999"}, "unknown model"},
        BadCase{"two_fields", {"--iface", "v", "--motor", "1:0x11"}, "ID:MASTER:MODEL"},
        BadCase{"id_too_big", {"--iface", "v", "--motor", "0x800:2:dm4310"}, "0..0x7FF"},
        BadCase{"bad_mode_field", {"--iface", "v", "--motor", "1:2:dm4310:5"}, "mode is"},
        BadCase{"duplicate_id", {"--iface", "v", "--motor", "1:2:dm4310", "--motor",
                                 "1:3:dm4310"}, "already has CAN id 0x001"},
        BadCase{"reply_commands_another", {"--iface", "v", "--motor", "1:2:dm4310", "--motor",
                                           "2:0x12:dm4310"},
                "motor 0x002 (master id 0x012): motor 0x001 answers on 0x002"},
        BadCase{"drop_above_one", {"--iface", "v", "--motor", "1:2:dm4310", "--drop", "1.5"},
                "fraction"},
        BadCase{"short_eight", {"--iface", "v", "--motor", "1:2:dm4310", "--short", "8"},
                "0..7"},
        BadCase{"rate_zero", {"--iface", "v", "--motor", "1:2:dm4310", "--rate", "0"}, "rate"},
        BadCase{"unknown_fault", {"--iface", "v", "--motor", "1:2:dm4310", "--fault", "fire"},
                "mosfet-over-temperature"},
        BadCase{"unknown_flag", {"--iface", "v", "--motor", "1:2:dm4310", "--fast"},
                "unknown argument '--fast'"},
        BadCase{"rate_no_motor_runs_at", {"--iface", "v", "--motor", "1:2:dm4310", "--bitrate",
                                          "800000"}, "no can_br code runs at 800000 bit/s"},
        BadCase{"latency_alone", {"--iface", "v", "--motor", "1:2:dm4310", "--latency-us", "5"},
                "--latency-us needs --bitrate"}),
    [](const auto& tp) { return std::string(tp.param.name); });

// --- console -----------------------------------------------------------------

SimConfig two_motors() {
    SimConfig c;
    c.motors = {{1, 0x11, &dm4310(), std::nullopt}, {2, 0x12, &dm4310(), std::nullopt}};
    return c;
}

struct ConsoleCase {
    const char* name;
    const char* line;
    const char* last;                         // last line printed
    std::function<bool(Simulator&)> effect;   // holds afterwards
};

class Console : public ::testing::TestWithParam<ConsoleCase> {};

TEST_P(Console, CommandHasItsEffectAndAnswers) {
    Simulator sim(two_motors(), kT0);
    const auto out = run_console_line(sim, GetParam().line, kT0);
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back().substr(0, std::string_view(GetParam().last).size()), GetParam().last)
        << out.back();
    EXPECT_TRUE(GetParam().effect(sim));
}

const ReplyFaults& f1(Simulator& s) { return s.find(1)->faults; }
const ReplyFaults& f2(Simulator& s) { return s.find(2)->faults; }
bool untouched(Simulator& s) { return f1(s) == ReplyFaults{} && f2(s) == ReplyFaults{}; }

INSTANTIATE_TEST_SUITE_P(
    Table, Console,
    ::testing::Values(
        ConsoleCase{"drop_one", "fault 1 drop 0.5", "ok",
                    [](Simulator& s) { return f1(s).drop == 0.5 && f2(s).drop == 0.0; }},
        ConsoleCase{"delay_hex_id", "fault 0x2 delay 50", "ok",
                    [](Simulator& s) { return f2(s).delay == 50ms && f1(s).delay == 0ms; }},
        ConsoleCase{"duplicate_all", "fault all duplicate on", "ok",
                    [](Simulator& s) { return f1(s).duplicate && f2(s).duplicate; }},
        ConsoleCase{"short", "  fault 1   short 3 ", "ok",
                    [](Simulator& s) { return f1(s).short_len == 3u; }},
        ConsoleCase{"silent", "fault 2 silent on", "ok",
                    [](Simulator& s) { return f2(s).silent && !f1(s).silent; }},
        ConsoleCase{"status", "fault 1 status lost-communication", "ok",
                    [](Simulator& s) {
                        return s.find(1)->firmware.status() == Status::LostCommunication &&
                               s.find(2)->firmware.status() == Status::Disabled;
                    }},
        ConsoleCase{"state", "state all", "ok", untouched},
        ConsoleCase{"no_such_motor", "fault 7 drop 0.5", "error: no motor", untouched},
        ConsoleCase{"bad_fraction", "fault 1 drop 2", "error: drop takes", untouched},
        ConsoleCase{"bad_on_off", "fault 1 silent maybe", "error: expected on or off",
                    untouched},
        ConsoleCase{"unknown_fault", "fault 1 melt on", "error: unknown fault", untouched},
        ConsoleCase{"too_few_words", "fault 1 drop", "error: usage", untouched},
        ConsoleCase{"too_many_words", "fault 1 drop 0.5 0.6", "error: too many", untouched},
        ConsoleCase{"unknown_command", "reboot", "error: unknown command", untouched}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(Console, ClearRemovesReplyFaultsButNotALatchedStatus) {
    Simulator sim(two_motors(), kT0);
    for (const char* line : {"fault 1 drop 0.5", "fault 1 silent on", "fault 1 delay 9",
                             "fault 1 status overload", "clear 1"})
        ASSERT_EQ(run_console_line(sim, line, kT0).back(), "ok") << line;
    EXPECT_EQ(sim.find(1)->faults, ReplyFaults{});
    EXPECT_EQ(sim.find(1)->firmware.status(), Status::Overload);
}

TEST(Console, StateDescribesEveryChosenMotor) {
    Simulator sim(two_motors(), kT0);
    sim.on_frame(enable(2), kT0);
    auto out = run_console_line(sim, "state all", kT0);
    ASSERT_EQ(out.size(), 3u);
    EXPECT_EQ(out[0].rfind("motor 1: disabled mode 1 status 0x0 position 0.0000", 0), 0u) << out[0];
    EXPECT_EQ(out[1].rfind("motor 2: enabled mode 1 status 0x1", 0), 0u) << out[1];
    out = run_console_line(sim, "state 2", kT0);
    ASSERT_EQ(out.size(), 2u);
    EXPECT_NE(out[0].find("t_mos 25 t_rotor 25"), std::string::npos) << out[0];
}

TEST(Console, BlankLinesAndCommentsPrintNothing) {
    Simulator sim(two_motors(), kT0);
    EXPECT_TRUE(run_console_line(sim, "", kT0).empty());
    EXPECT_TRUE(run_console_line(sim, "   ", kT0).empty());
    EXPECT_TRUE(run_console_line(sim, "# fault 1 drop 1", kT0).empty());
    EXPECT_EQ(f1(sim), ReplyFaults{});
}

}  // namespace
}  // namespace velkarin::sim
