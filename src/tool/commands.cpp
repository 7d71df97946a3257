// scan, info, get, set, mode, save and the special commands, and the one
// dispatch over every command.
#include "tool/commands.hpp"
#include "tool/interface.hpp"

#include <algorithm>

#include "damiao/bit_rates.hpp"
#include "damiao/text/float_text.hpp"
#include "damiao/mit/limits_text.hpp"
#include "damiao/motor_status.hpp"
#include "damiao/id_conflict.hpp"
#include "tool/register_text.hpp"
#include "tool/scan.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;
using damiao::RegisterValue;
using Kind = Failure::Kind;

damiao::Command command_of(damiao::SpecialCommand kind) {
    switch (kind) {
        case damiao::SpecialCommand::Enable: return damiao::commands::Enable{};
        case damiao::SpecialCommand::Disable: return damiao::commands::Disable{};
        case damiao::SpecialCommand::SetZero: return damiao::commands::SetZero{};
        case damiao::SpecialCommand::ClearError: return damiao::commands::ClearError{};
    }
    return damiao::commands::Disable{};
}

// Refuses new ids that would collide with another motor's: every motor on
// the bus is found first, since any of them may hold the identifier.
ToolResult<void> check_new_ids(const Session& s, damiao::MotorIds now, damiao::MotorIds proposed) {
    if (now.can_id == proposed.can_id && now.master_id == proposed.master_id) return {};
    auto motors = find_motors(s, damiao::kFirstScanId, damiao::kLastScanId);
    if (!motors) return propagate(motors);
    std::vector<damiao::MotorIds> others;
    for (const auto& m : *motors)
        if (m.id != now.can_id) others.push_back({m.id, m.master_id});
    if (auto why = damiao::id_conflict(now, proposed, others))
        return fail(Kind::IdConflict, *why + ": nothing written");
    return {};
}

// What to do after a can_br write, in order. Community reports disagree on
// whether the store must go at the old rate or the new one, and on when the
// motor switches; storing at the old rate, then a power cycle, then the
// interface at the new rates is the order that needs no guess.
std::string bit_rate_next_steps(const Global& g, std::uint16_t id, std::uint32_t code, bool saved) {
    const auto rates = damiao::bit_rates_of(code);
    if (!rates) return "";
    const bool fd = rates->data != 0;
    const std::string tool = "velkarin-tool --iface " + g.iface + (fd ? " --fd" : "");
    std::string out = "can_br " + std::to_string(code) + ": " + std::to_string(rates->nominal) + " bit/s" +
                      (fd ? " arbitration, " + std::to_string(rates->data) + " bit/s data (CAN FD)" : "") +
                      ". Next:\n";
    int step = 0;
    auto add = [&](const std::string& line) { out += "  " + std::to_string(++step) + ". " + line + "\n"; };
    if (!saved)
        add("store it, at the rate the motor talks now: velkarin-tool --iface " + g.iface +
            (g.fd ? " --fd" : "") + " save " + id_text(id));
    add("power-cycle the motor: it starts at the new rate");
    add("bring the interface up at the new rates: " + rates_command(g.iface, code));
    add("talk to it: " + tool + " scan" + (fd ? " (programs: MotorGroup(..., fd=True))" : ""));
    out += "  Each store is a flash write, and flash endures about 10,000 of them: change bit rates rarely.\n";
    return out;
}

ToolResult<void> disable_and_store(const Session& s, std::uint16_t id) {
    auto motor = identify(s, id);
    if (!motor) return propagate(motor);
    if (auto off = exchange(s, *motor, damiao::commands::Disable{}, "the disable command"); !off)
        return propagate(off);
    if (auto stored = motor->store_parameters(s.bus); !stored)
        return std::unexpected(failure_of(stored.error(), id, "the store request", s.timeout()));
    return {};
}

}  // namespace

std::string status_text(std::uint8_t code) {
    if (const auto name = damiao::status_name(code)) return std::string(*name);
    return "code-" + std::to_string(code);
}

Value state_value(const damiao::MotorState& s) {
    return Members{
        {"status", Value(std::uint32_t{s.error})},
        {"status_name", Value(status_text(s.error))},
        {"position", Value(s.position)},
        {"velocity", Value(s.velocity)},
        {"torque", Value(s.torque)},
        {"t_mos", Value(std::uint32_t{s.t_mos})},
        {"t_rotor", Value(std::uint32_t{s.t_rotor})},
    };
}

Failure nothing_found(std::string_view iface, std::uint16_t first, std::uint16_t last) {
    return {Kind::NoAnswer,
            "no motor answered on " + std::string(iface) + " (ids " + id_text(first) + "-" + id_text(last) +
                "): check power, wiring, termination and the bit rate",
            std::nullopt};
}

ToolResult<Report> run_scan(Context& ctx, const commands::Scan& c) {
    auto motors = scan(ctx.session, c.first, c.last);
    if (!motors) return propagate(motors);
    Items list;
    for (const auto& m : *motors) list.push_back(scan_entry(m));
    if (list.empty()) return Report(Value(std::move(list)), nothing_found(ctx.global.iface, c.first, c.last));
    return Report(Value(std::move(list)));
}

ToolResult<Report> run_info(Context& ctx, const commands::Info& c) {
    const Session& s = ctx.session;
    // A motor that does not give its master id is not there: stop at once
    // rather than wait out every register.
    auto found = addressed(s, c.id);
    if (!found) return propagate(found);
    const damiao::Damiao& motor = *found;

    Members regs;
    damiao::ReportedRanges ranges;
    for (const auto& r : registers::table()) {
        auto v = read_if_answered(s, motor, r.number);
        if (!v) return propagate(v);
        regs.emplace_back(std::string(r.variable), *v ? value_of(r, **v) : Value());
        if (*v) ranges.note(r.number, **v);
    }

    Value state, models = Items{}, limits;
    if (const auto reported = ranges.limits()) {
        const auto scaled = s.motor(c.id, motor.master_id(), *reported);
        auto now = exchange(s, scaled, damiao::commands::Refresh{}, "a refresh request");
        if (now) state = state_value(*now);
        else if (now.error().kind != Kind::NoAnswer) return propagate(now);
        Items names;
        for (const auto n : matching_models(*reported)) names.emplace_back(std::string(n));
        models = Value(std::move(names));
        limits = Value(damiao::mit::limits_text(scaled.limits()));
    }
    return Report(Members{
        {"id", Value(CanIdNumber{c.id})},
        {"master_id", Value(CanIdNumber{motor.master_id()})},
        {"registers", Value(std::move(regs))},
        {"state", std::move(state)},
        {"models", std::move(models)},
        {"limits", std::move(limits)},
    });
}

ToolResult<Report> run_get(Context& ctx, const commands::Get& c) {
    auto motor = addressed(ctx.session, c.id);
    if (!motor) return propagate(motor);
    Members out;
    for (const auto* r : c.registers) {
        auto v = read_register(ctx.session, *motor, r->number);
        if (!v) return propagate(v);
        out.emplace_back(std::string(r->variable), value_of(*r, *v));
    }
    return Report(Value(std::move(out)));
}

ToolResult<Report> run_set(Context& ctx, const commands::Set& c) {
    const Session& s = ctx.session;
    const auto number = c.reg->number;
    auto found = addressed(s, c.id);
    if (!found) return propagate(found);
    const damiao::Damiao& motor = *found;
    const auto after = motor.after_write(number, c.value);  // its ids once written
    if (auto ok = check_new_ids(s, {c.id, motor.master_id()}, {after.motor_id(), after.master_id()}); !ok)
        return propagate(ok);

    auto back = motor.write_verified(s.bus, number, c.value);
    if (!back) {
        auto f = failure_of(back.error(), c.id, "the verified write of " + std::string(c.reg->variable), s.timeout());
        // Gone quiet: a motor that switched at once needs the interface at its new rates.
        if (number == registers::can_br && f.kind == Kind::NoAnswer)
            f.message += "; if it switched already: " + rates_command(ctx.global.iface, std::get<std::uint32_t>(c.value));
        return std::unexpected(std::move(f));
    }
    if (c.save) {
        if (auto stored = disable_and_store(s, after.motor_id()); !stored) return propagate(stored);
    }
    if (number == registers::can_br)
        ctx.notes.write(bit_rate_next_steps(ctx.global, after.motor_id(), std::get<std::uint32_t>(c.value), c.save));
    return Report(Members{{std::string(c.reg->variable), value_of(*c.reg, *back)}});
}

ToolResult<Report> run_mode(Context& ctx, const commands::Mode& c) {
    const Session& s = ctx.session;
    auto motor = addressed(s, c.id);
    if (!motor) return propagate(motor);
    // The driver's verified switch: read, write if it differs, pause, read back.
    if (auto switched = motor->ensure_control_mode(s.bus, c.mode); !switched)
        return std::unexpected(failure_of(switched.error(), c.id, "the mode switch", s.timeout()));
    return Report(Members{{"CTRL_MODE", Value(std::uint32_t{c.mode})}});
}

ToolResult<Report> run_save(Context& ctx, const commands::Save& c) {
    if (auto stored = disable_and_store(ctx.session, c.id); !stored) return propagate(stored);
    return Report(Members{{"saved", Value(true)}});
}

ToolResult<Report> run_special(Context& ctx, const commands::Special& c) {
    auto motor = identify(ctx.session, c.id, c.master);
    if (!motor) return propagate(motor);
    auto state = exchange(ctx.session, *motor, command_of(c.kind), "the command");
    if (!state) return propagate(state);
    return Report(state_value(*state));
}

ToolResult<Report> run_command(Context& ctx, const Command& command) {
    return std::visit(
        [&](const auto& c) -> ToolResult<Report> {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, commands::Scan>) return run_scan(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Info>) return run_info(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Get>) return run_get(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Set>) return run_set(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Mode>) return run_mode(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Save>) return run_save(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Special>) return run_special(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Monitor>) return run_monitor(ctx, c);
            else return run_doctor(ctx, c);
        },
        command);
}

}  // namespace velkarin::tool
