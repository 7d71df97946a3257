// The help texts of velkarin-tool and its commands.
#include "tool/help.hpp"

#include <array>
#include <cstdio>

#include "damiao/registers.hpp"
#include "tool/register_text.hpp"

namespace velkarin::tool {
namespace {

constexpr std::string_view kProgram = R"(usage: velkarin-tool [--iface IFACE] [--timeout-ms MS] [--json] COMMAND [ARGS]

Find, inspect, configure and watch Damiao motors on a SocketCAN interface.

options:
  --iface IFACE     CAN interface (default can0)
  --timeout-ms MS   bound of each exchange with a motor (default 50)
  --json            print exactly one JSON document on stdout
  -h, --help        this text; COMMAND --help for one command

commands:
  scan [--ids FIRST-LAST]          find motors and their master ids, modes and limits
  info ID                          every register, status, temperatures, limits for a program
  get ID REG...                    read registers (by number or variable name, any case)
  set ID REG VALUE [--save]        write a register, read it back, compare (--save: store)
  mode ID MODE                     switch the control mode: mit, pos_vel, vel, force_pos, 1-4
  save ID                          disable the motor, then store every parameter to flash
  enable|disable|zero|clear ID [--master ID]
                                   the special commands; print the motor's answer
  monitor ID... [--rate HZ] [--duration S] [--csv FILE]
                                   watch motors by refresh requests (never commands them)
  doctor                           check the interface and every motor for what would fail

Ids are decimal or 0x-hex. Exit status: 0 done, 1 the bus or a motor failed, 2 the command
line is wrong (nothing was sent).
)";

struct CommandHelp {
    std::string_view name;
    std::string_view text;
};

constexpr std::array<CommandHelp, 12> kCommands{{
    {"scan", R"(usage: velkarin-tool scan [--ids FIRST-LAST]

Asks every CAN id in the range for its master id (register MST_ID), many requests in flight
but never more than a small window, then reads CTRL_MODE, PMAX, VMAX, TMAX and sw_ver of every
motor found. "models" lists the presets whose p_max, v_max and t_max equal the motor's.

  --ids FIRST-LAST   the ids to ask (default 1-0x7FE)
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
register's documented range. ESC_ID: refused if a motor answers at the new id; verified by
reading at it. MST_ID: refused if another motor answers on that id; verified by the read-back
arriving on it. can_br: says what the interface must be changed to.

  --save   then store every parameter to flash, as the save command does
)"},
    {"mode", R"(usage: velkarin-tool mode ID MODE

Writes CTRL_MODE if it differs (mit or 1, pos_vel or 2, vel or 3, force_pos or 4), waits
100 ms and reads it back.
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
shows a live line per motor, decoded with each motor's own PMAX, VMAX and TMAX. Ctrl-C ends it
cleanly; --json prints one summary per motor at the end.

  --rate HZ      refreshes per second and motor (default 100)
  --duration S   stop after S seconds (default: at Ctrl-C)
  --csv FILE     every sample as time,id,status,position,velocity,torque,t_mos,t_rotor
)"},
    {"doctor", R"(usage: velkarin-tool doctor

Checks the interface (present, up, bit rate, state, error counters), scans, and reports for
every motor what would make a program fail: control mode, limits matching no preset, a latched
fault, a TIMEOUT of 0 or under 200 (10 ms), temperatures. Each finding says what to do.
)"},
}};

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
        std::string out(c.text);
        out += "\nglobal options: --iface IFACE (default can0), --timeout-ms MS (default 50), --json\n";
        if (command == "get" || command == "set") out += register_list();
        return out;
    }
    return std::string(kProgram);
}

}  // namespace velkarin::tool
