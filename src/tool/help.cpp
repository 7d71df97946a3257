// The help texts of velkarin-tool and its commands.
#include "tool/help.hpp"

#include <array>
#include <cstdio>

#include "damiao/bit_rates.hpp"
#include "damiao/driver.hpp"
#include "damiao/text/float_text.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/motor_ids.hpp"
#include "damiao/registers.hpp"
#include "tool/cli.hpp"
#include "tool/commands.hpp"
#include "tool/register_text.hpp"
#include "tool/result.hpp"

namespace velkarin::tool {
namespace {

// Each {name} stands for what the core or the command line defines, filled
// in by help_text: {modes}, {scan_ids}, {rates}, {durations}, {iface},
// {timeout_ms}, {rate}, {mode_pause}, {can_br} and {csv}.
constexpr std::string_view kProgram = R"(usage: velkarin-tool [--iface IFACE] [--timeout-ms MS] [--json] [--fd] COMMAND [ARGS]

Find, inspect, configure and watch Damiao motors on a SocketCAN interface.

options:
  --iface IFACE     CAN interface (default {iface})
  --timeout-ms MS   bound of each exchange with a motor (default {timeout_ms})
  --json            print exactly one JSON document on stdout
  --fd              send CAN FD frames (bit-rate switch), for motors set to an FD bit rate
  -h, --help        this text; COMMAND --help for one command

commands:
  scan [--ids FIRST-LAST]          find motors and their master ids, modes and limits
  info ID                          every register, status, temperatures, limits for a program
  get ID REG...                    read registers (by number or variable name, any case)
  set ID REG VALUE [--save]        write a register, read it back, compare (--save: store)
  mode ID MODE                     switch the control mode: {modes}
  save ID                          disable the motor, then store every parameter to flash
  enable|disable|zero|clear ID [--master ID]
                                   the special commands; print the motor's answer
  monitor ID... [--rate HZ] [--duration S] [--csv FILE]
                                   watch motors by refresh requests (never commands them)
  doctor [--explain]               check the interface and every motor for what would fail

Ids are decimal or 0x-hex, and shown as the bus shows them (0x011). Exit status: 0 done; 1 the
bus, a motor or the output failed (no answer, no motor found, an id already taken, a write to
stdout or a file failed); 2 the command line is wrong (nothing was sent); 130 stopped by Ctrl-C
(128 + the signal) before it was done. Ctrl-C during monitor's watching ends it normally (0).
)";

struct CommandHelp {
    std::string_view name;
    std::string_view text;
};

constexpr std::array<CommandHelp, 12> kCommands{{
    {"scan", R"(usage: velkarin-tool scan [--ids FIRST-LAST]

Asks every CAN id in the range for its master id (register MST_ID), many requests in flight
but never more than a small window, then reads CTRL_MODE, PMAX, VMAX, TMAX and sw_ver of every
motor found. "models" lists the presets whose p_max, v_max and t_max equal the motor's. No
motor found is exit status 1.

  --ids FIRST-LAST   the ids to ask (default {scan_ids})
)"},
    {"info", R"(usage: velkarin-tool info ID

Reads every documented register of motor ID, asks it for a status frame (a refresh request,
which commands nothing), and prints the MitLimits to use for it in a program. Registers that do
not answer show as null.
)"},
    {"get", R"(usage: velkarin-tool get ID REG...

Reads the registers, named by number or variable name in any case (21, pmax, PMAX).
)"},
    {"set", R"(usage: velkarin-tool set ID REG VALUE [--save]

Writes VALUE to the register, reads it back and compares. The value must lie in the
register's documented range. ESC_ID and MST_ID: refused, with nothing written, when the new id
would collide with another motor's (scanned first): a master id that another motor answers on
or takes commands on, a CAN id whose command identifiers (the id and its mode offsets) another
motor answers on or takes commands on, or the register-request id. ESC_ID is verified by
reading at the new id, MST_ID by the read-back arriving on it. can_br ({can_br}):
then prints the next steps in order: the store (unless --save), the power cycle, the
interface command for the new rates, and how to talk to the motor afterwards.

  --save   then store every parameter to flash, as the save command does
)"},
    {"mode", R"(usage: velkarin-tool mode ID MODE

Writes CTRL_MODE if it differs, waits {mode_pause} and reads it back. MODE is one of
{modes}.
)"},
    {"save", R"(usage: velkarin-tool save ID

Disables the motor (waiting for its answer), then stores every parameter in RAM to flash. Flash
endures a limited number of writes: nothing else in this tool stores, except set --save.
)"},
    {"enable", R"(usage: velkarin-tool enable ID [--master ID]

Enables the motor and prints its answer, decoded with its own PMAX, VMAX and TMAX.

  --master ID   the id the motor answers on (default: read from register MST_ID)
)"},
    {"disable", R"(usage: velkarin-tool disable ID [--master ID]

Disables the motor and prints its answer, decoded with its own PMAX, VMAX and TMAX.

  --master ID   the id the motor answers on (default: read from register MST_ID)
)"},
    {"zero", R"(usage: velkarin-tool zero ID [--master ID]

Makes the present position the motor's zero and prints its answer.

  --master ID   the id the motor answers on (default: read from register MST_ID)
)"},
    {"clear", R"(usage: velkarin-tool clear ID [--master ID]

Clears the motor's latched fault and prints its answer.

  --master ID   the id the motor answers on (default: read from register MST_ID)
)"},
    {"monitor", R"(usage: velkarin-tool monitor ID... [--rate HZ] [--duration S] [--csv FILE]

Asks each motor for a status frame at the rate (refresh requests: nothing is commanded) and
shows a live line per motor, decoded with each motor's own PMAX, VMAX and TMAX. A reply later
than the next round (or --timeout-ms) is missed. Ctrl-C (or SIGTERM, SIGHUP) ends it cleanly with the CSV complete
and the summary printed (--json: one summary per motor); so does stdout's reader going away
(monitor ... | head), the summary then going to stderr. Ctrl-C while the motors are still being
identified ends it with exit status 130.

  --rate HZ      refreshes per second and motor, {rates} (default {rate})
  --duration S   stop after S seconds, {durations} (default: at Ctrl-C)
  --csv FILE     every sample as {csv}
)"},
    {"doctor", R"(usage: velkarin-tool doctor [--explain]

Checks the interface (present, up, bit rate, state, error counters), scans while it listens for
the bus's error frames, and reports for every motor what would make a program fail: control
mode, limits matching no preset, a latched fault, a TIMEOUT of 0 or shorter than 10 ms,
temperatures; and every condition the bus reported (no acknowledgement, error-passive,
bus-off, ...). Each finding says what to do. No motor found is exit status 1, after the
findings.

  --explain   each finding with its likely cause too
)"},
}};

// "0-4 classic, 5-9 CAN FD": the codes of each kind, from the table.
std::string can_br_codes() {
    const auto& codes = damiao::kBitRateCodes;
    std::size_t classic = 0;
    while (classic < codes.size() && codes[classic].data == 0) ++classic;
    return "0-" + std::to_string(classic - 1) + " classic, " + std::to_string(classic) + "-" +
           std::to_string(codes.size() - 1) + " CAN FD";
}

void fill_in(std::string& text, std::string_view name, const std::string& value) {
    for (auto at = text.find(name); at != std::string::npos; at = text.find(name, at + value.size()))
        text.replace(at, name.size(), value);
}

std::string filled_in(std::string_view text) {
    using damiao::float_text::shortest;
    std::string out(text);
    fill_in(out, "{modes}", mode_names());
    fill_in(out, "{scan_ids}", id_text(damiao::kFirstScanId) + "-" + id_text(damiao::kLastScanId));
    fill_in(out, "{rates}", shortest(static_cast<float>(kMinRateHz)) + " to " +
                                shortest(static_cast<float>(kMaxRateHz)));
    fill_in(out, "{durations}", "0 to " + shortest(static_cast<float>(kMaxDurationS)));
    fill_in(out, "{iface}", std::string(kDefaultIface));
    fill_in(out, "{timeout_ms}", std::to_string(kDefaultTimeoutMs));
    fill_in(out, "{rate}", shortest(static_cast<float>(kDefaultRateHz)));
    fill_in(out, "{mode_pause}", std::to_string(damiao::kModeSwitchPause.count()) + " ms");
    fill_in(out, "{can_br}", can_br_codes());
    std::string_view csv = kMonitorCsvHeader;
    fill_in(out, "{csv}", std::string(csv.substr(0, csv.find('\n'))));
    return out;
}

std::string register_list() {
    std::string out = "\nregisters (number variable access kind range):\n";
    for (const auto& r : damiao::registers::table()) {
        char line[128];
        std::snprintf(line, sizeof line, "  %-3u %-9s %s %-6s %s\n", static_cast<unsigned>(r.number),
                      std::string(r.variable).c_str(),
                      r.access == damiao::RegisterAccess::ReadWrite ? "RW" : "RO",
                      r.kind == damiao::RegisterKind::Float ? "float" : "uint32",
                      r.access == damiao::RegisterAccess::ReadWrite ? range_text(r).c_str() : "");
        out += line;
    }
    return out;
}

}  // namespace

std::string help_text(std::string_view command) {
    for (const auto& c : kCommands) {
        if (c.name != command) continue;
        std::string out = filled_in(c.text);
        out += filled_in("\nglobal options: --iface IFACE (default {iface}), --timeout-ms MS (default {timeout_ms}), --json, --fd\n");
        if (command == "get" || command == "set") out += register_list();
        return out;
    }
    return filled_in(kProgram);
}

}  // namespace velkarin::tool
