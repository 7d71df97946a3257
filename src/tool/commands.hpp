// The tool's commands as functions over a bus link: each returns its result
// as a value (printed as JSON or text by the caller) or what went wrong.
#pragma once

#include <csignal>
#include <cstdio>

#include "tool/cli.hpp"
#include "tool/result.hpp"
#include "tool/link.hpp"

namespace velkarin::tool {

// What a command needs besides its arguments.
struct Context {
    Link& link;
    const Global& global;
    std::FILE* notes;  // remarks for the person: stderr with --json, else stdout
};

LinkResult<Value> run_scan(Context& ctx, const commands::Scan& c);
LinkResult<Value> run_info(Context& ctx, const commands::Info& c);
LinkResult<Value> run_get(Context& ctx, const commands::Get& c);
LinkResult<Value> run_set(Context& ctx, const commands::Set& c);
LinkResult<Value> run_mode(Context& ctx, const commands::Mode& c);
LinkResult<Value> run_save(Context& ctx, const commands::Save& c);
LinkResult<Value> run_special(Context& ctx, const commands::Special& c);
// Until the duration passes or `stop` is set (by SIGINT or SIGTERM).
LinkResult<Value> run_monitor(Context& ctx, const commands::Monitor& c, const volatile std::sig_atomic_t& stop);
LinkResult<Value> run_doctor(Context& ctx, const commands::Doctor& c);

// "enabled", "over-voltage", ... or "code-N" for a code the firmware does not document.
std::string status_text(std::uint8_t code);

// {"status", "status_name", "position", "velocity", "torque", "t_mos", "t_rotor"}
Value state_value(const damiao::MotorState& s);

// "MitLimits(p_max=12.5, v_max=30, kp_max=500, kd_max=5, t_max=10)": what the
// Python module's repr gives for these limits.
std::string limits_repr(const damiao::MitLimits& l);

}  // namespace velkarin::tool
