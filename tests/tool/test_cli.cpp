// The command line: every way it can be wrong is exit status 2 with one
// line that names the help once; what it accepts, with its defaults.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "damiao/text/parse.hpp"
#include "tool/cli.hpp"

namespace velkarin::tool {
namespace {

std::expected<Invocation, std::variant<HelpRequested, UsageError>> parse(std::string_view line) {
    std::vector<std::string_view> words;
    for (const auto w : damiao::parse::words(line)) words.push_back(w);
    return parse_command_line(words);
}

struct Wrong {
    const char* line;
    const char* says;
};

class AWrongCommandLine : public ::testing::TestWithParam<Wrong> {};

TEST_P(AWrongCommandLine, IsAUsageErrorThatNamesTheHelpOnce) {
    const auto parsed = parse(GetParam().line);
    ASSERT_FALSE(parsed.has_value());
    const auto* error = std::get_if<UsageError>(&parsed.error());
    ASSERT_NE(error, nullptr);
    const std::string text = error->text();
    EXPECT_NE(text.find(GetParam().says), std::string::npos) << text;
    EXPECT_EQ(text.find("--help"), text.rfind("--help")) << text;
}

INSTANTIATE_TEST_SUITE_P(
    Table, AWrongCommandLine,
    ::testing::Values(
        Wrong{"", "no command given"},
        Wrong{"frobnicate", "unknown command 'frobnicate' (velkarin-tool --help)"},
        Wrong{"--bogus scan", "unknown option --bogus"},
        Wrong{"scan --bogus", "scan: unknown option --bogus (velkarin-tool scan --help)"},
        Wrong{"--timeout-ms 0 scan", "--timeout-ms takes milliseconds, 1 to 60000"},
        Wrong{"--iface", "--iface needs an interface name"},
        Wrong{"scan --ids 5", "takes FIRST-LAST"},
        Wrong{"scan --ids 9-2", "is empty"},
        Wrong{"scan --ids 1-0x800", "0..0x7FF"},
        Wrong{"info", "takes one motor id"},
        Wrong{"info 1 2", "takes one motor id"},
        Wrong{"get 0x800 PMAX", "must be a CAN id in 0..0x7FF"},
        Wrong{"get 1", "a motor id and one or more registers"},
        Wrong{"get 1 nosuch", "unknown register 'nosuch'"},
        Wrong{"get 1 37", "unknown register '37'"},  // not documented
        Wrong{"get 1 can_br CAN_BR", "register can_br is named twice, as 'CAN_BR'"},
        Wrong{"set 1 sw_ver 3", "set: sw_ver is read-only"},
        Wrong{"set 1 PMAX -1", "PMAX must be in (0, 3.4e38]"},
        Wrong{"set 1 PMAX nan", "PMAX takes a finite number"},
        Wrong{"set 1 CTRL_MODE 5", "CTRL_MODE must be in [1, 4]"},
        Wrong{"set 1 TIMEOUT 1.5", "TIMEOUT takes an unsigned 32-bit integer"},
        Wrong{"set 1 ESC_ID 0x800", "ESC_ID must be in [0, 0x7FF]"},
        Wrong{"set 1 PMAX 1 --force", "set: unknown option --force"},
        Wrong{"mode 1 turbo", "MODE is mit, pos_vel, vel, force_pos, or 1-4"},
        Wrong{"enable 1 --master", "--master needs a value"},
        Wrong{"enable 1 --master 0x800", "--master must be a CAN id"},
        Wrong{"monitor", "one or more motor ids"},
        Wrong{"monitor 1 1", "motor 0x001 is named twice"},
        Wrong{"monitor 1 0x001", "motor 0x001 is named twice"},
        Wrong{"monitor 1 --rate 0", "--rate takes 0.01 to 10000 Hz"},
        Wrong{"monitor 1 --rate 1e-10", "--rate takes 0.01 to 10000 Hz"},
        Wrong{"monitor 1 --rate 10001", "--rate takes 0.01 to 10000 Hz"},
        Wrong{"monitor 1 --rate nan", "--rate takes"},
        Wrong{"monitor 1 --rate inf", "--rate takes"},
        Wrong{"monitor 1 --duration -1", "--duration takes 0 to 86400 s"},
        Wrong{"monitor 1 --duration 86401", "--duration takes 0 to 86400 s"},
        Wrong{"monitor 1 --duration inf", "--duration takes"},
        Wrong{"monitor 1 --duration nan", "--duration takes"},
        Wrong{"doctor 1", "doctor takes no arguments"}));

TEST(TheCommandLine, ComesWithTheDefaultsTheHelpNames) {
    const auto scan = parse("scan");
    ASSERT_TRUE(scan.has_value());
    EXPECT_FALSE(scan->global.json || scan->global.fd);
    const auto& range = std::get<commands::Scan>(scan->command);
    EXPECT_EQ(range.first, 0x001);
    EXPECT_EQ(range.last, 0x7FE);

    const auto monitor = parse("--iface vcan0 --fd --json monitor 0x11 2 --rate 0.01 --duration 0 --csv x.csv");
    ASSERT_TRUE(monitor.has_value());
    EXPECT_TRUE(monitor->global.json && monitor->global.fd);
    const auto& m = std::get<commands::Monitor>(monitor->command);
    EXPECT_EQ(m.ids, (std::vector<std::uint16_t>{0x11, 2}));
    EXPECT_EQ(m.rate_hz, 0.01);
    EXPECT_EQ(m.duration_s, 0.0);
    EXPECT_EQ(m.csv, "x.csv");
}

}  // namespace
}  // namespace velkarin::tool
