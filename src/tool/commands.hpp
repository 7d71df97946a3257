// The tool's commands as functions over a session on the core's driver: each
// returns its result as a value (printed as JSON or text by the caller) or
// what went wrong.
#pragma once

#include <csignal>
#include <optional>

#include "tool/cli.hpp"
#include "tool/failure.hpp"
#include "tool/output.hpp"
#include "tool/result.hpp"
#include "tool/session.hpp"

namespace velkarin::tool {

// What a command needs besides its arguments.
struct Context {
    const Session& session;
    const Global& global;
    Output& out;    // stdout: the result and monitor's live lines
    Output& notes;  // remarks for the person: stderr with --json, else stdout
    Output& err;    // stderr
    // Set (to the signal's number) by SIGINT, SIGTERM or SIGHUP.
    const volatile std::sig_atomic_t& stop;
};

// A command's result. `failed` is set when it ran to its end but what it
// found counts as a failure (no motor found): the value is printed, then
// the failure's line, and the exit status is 1.
struct Report {
    Value value;
    std::optional<Failure> failed{};

    Report(Value v) : value(std::move(v)) {}
    Report(Value v, std::optional<Failure> f) : value(std::move(v)), failed(std::move(f)) {}
};

ToolResult<Report> run_command(Context& ctx, const Command& command);

ToolResult<Report> run_scan(Context& ctx, const commands::Scan& c);
ToolResult<Report> run_info(Context& ctx, const commands::Info& c);
ToolResult<Report> run_get(Context& ctx, const commands::Get& c);
ToolResult<Report> run_set(Context& ctx, const commands::Set& c);
ToolResult<Report> run_mode(Context& ctx, const commands::Mode& c);
ToolResult<Report> run_save(Context& ctx, const commands::Save& c);
ToolResult<Report> run_special(Context& ctx, const commands::Special& c);
// Until the duration passes, a stop signal, or stdout's reader goes away.
ToolResult<Report> run_monitor(Context& ctx, const commands::Monitor& c);
// The first line of monitor's CSV: a sample's columns.
inline constexpr std::string_view kMonitorCsvHeader = "time,id,status,position,velocity,torque,t_mos,t_rotor\n";
ToolResult<Report> run_doctor(Context& ctx, const commands::Doctor& c);

// The status's name (damiao::status_name), or "code-N" for a code the firmware does not document.
std::string status_text(std::uint8_t code);

// {"status", "status_name", "position", "velocity", "torque", "t_mos", "t_rotor"}
Value state_value(const damiao::MotorState& s);

// The failure of a scan that found nothing: "no motor answered on vcan0 (ids 0x001-0x7FE)".
Failure nothing_found(std::string_view iface, std::uint16_t first, std::uint16_t last);

}  // namespace velkarin::tool
