// scan, info, get, set, mode, save and the special commands, and the one
// dispatch over every command.
#include "tool/commands.hpp"

#include <algorithm>

#include "damiao/bit_rates.hpp"
#include "damiao/float_text.hpp"
#include "damiao/mit/limits_text.hpp"
#include "damiao/motor_status.hpp"
#include "tool/id_conflict.hpp"
#include "tool/register_text.hpp"
#include "tool/scan.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;
using damiao::RegisterValue;
using Kind = Failure::Kind;

std::string value_text(const RegisterValue& v) {
    if (const auto* u = std::get_if<std::uint32_t>(&v)) return std::to_string(*u);
    return damiao::float_text::shortest(std::get<float>(v));
}

std::uint16_t as_id(const RegisterValue& v) { return static_cast<std::uint16_t>(std::get<std::uint32_t>(v)); }

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
ToolResult<void> check_new_ids(const Session& s, MotorIds now, MotorIds proposed) {
    if (now.can_id == proposed.can_id && now.master_id == proposed.master_id) return {};
    auto motors = find_motors(s, damiao::kFirstScanId, damiao::kLastScanId);
    if (!motors) return std::unexpected(std::move(motors.error()));
    std::vector<MotorIds> others;
    for (const auto& m : *motors)
        if (m.id != now.can_id) others.push_back({m.id, m.master_id});
    if (auto why = id_conflict(now, proposed, others))
        return fail(Kind::IdConflict, *why + ": nothing written");
    return {};
}

// What the interface must become after a can_br write, or "".
std::string bit_rate_hint(const Global& g, std::uint32_t code) {
    const auto rates = damiao::bit_rates_of(code);
    if (!rates) return "";
    std::string speed = std::to_string(rates->nominal);
    std::string type = "bitrate " + speed;
    if (rates->data != 0) {
        const std::string data = std::to_string(rates->data);
        speed.append("/").append(data);
        type.append(" dbitrate ").append(data).append(" fd on");
    }
    std::string out = "the motor now talks at " + speed + " bit/s: change the interface to match: ";
    out.append("sudo ip link set ").append(g.iface).append(" down && sudo ip link set ").append(g.iface);
    out.append(" type can ").append(type).append(" && sudo ip link set ").append(g.iface).append(" up");
    return out;
}

ToolResult<void> disable_and_store(const Session& s, std::uint16_t id) {
    auto motor = identify(s, id);
    if (!motor) return std::unexpected(std::move(motor.error()));
    if (auto off = exchange(s, *motor, damiao::commands::Disable{}, "the disable command"); !off)
        return std::unexpected(std::move(off.error()));
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
    if (!motors) return std::unexpected(std::move(motors.error()));
    Items list;
    for (const auto& m : *motors) list.push_back(scan_entry(m));
    if (list.empty()) return Report(Value(std::move(list)), nothing_found(ctx.global.iface, c.first, c.last));
    return Report(Value(std::move(list)));
}

ToolResult<Report> run_info(Context& ctx, const commands::Info& c) {
    const Session& s = ctx.session;
    // A motor that does not give its master id is not there: stop at once
    // rather than wait out every register.
    auto master = read_master_id(s, c.id);
    if (!master) return std::unexpected(std::move(master.error()));
    const auto motor = s.motor(c.id, *master);

    Members regs;
    std::optional<float> ranges[3];
    for (const auto& r : registers::table()) {
        auto v = read_if_answered(s, motor, r.number);
        if (!v) return std::unexpected(std::move(v.error()));
        regs.emplace_back(std::string(r.variable), *v ? value_of(r, **v) : Value());
        if (!*v) continue;
        if (r.number == registers::PMAX) ranges[0] = std::get<float>(**v);
        if (r.number == registers::VMAX) ranges[1] = std::get<float>(**v);
        if (r.number == registers::TMAX) ranges[2] = std::get<float>(**v);
    }

    Value state, models = Items{}, limits;
    if (ranges[0] && ranges[1] && ranges[2]) {
        const auto scaled = s.motor(c.id, *master, damiao::mit::firmware_limits(*ranges[0], *ranges[1], *ranges[2]));
        auto now = exchange(s, scaled, damiao::commands::Refresh{}, "a refresh request");
        if (now) state = state_value(*now);
        else if (now.error().kind != Kind::NoAnswer) return std::unexpected(std::move(now.error()));
        Items names;
        for (const auto n : matching_models(*ranges[0], *ranges[1], *ranges[2])) names.emplace_back(std::string(n));
        models = Value(std::move(names));
        limits = Value(damiao::mit::limits_text(scaled.limits()));
    }
    return Report(Members{
        {"id", Value(CanIdNumber{c.id})},
        {"master_id", Value(CanIdNumber{*master})},
        {"registers", Value(std::move(regs))},
        {"state", std::move(state)},
        {"models", std::move(models)},
        {"limits", std::move(limits)},
    });
}

ToolResult<Report> run_get(Context& ctx, const commands::Get& c) {
    const Session& s = ctx.session;
    auto master = read_master_id(s, c.id);
    if (!master) return std::unexpected(std::move(master.error()));
    const auto motor = s.motor(c.id, *master);
    Members out;
    for (const auto* r : c.registers) {
        auto v = read_register(s, motor, r->number);
        if (!v) return std::unexpected(std::move(v.error()));
        out.emplace_back(std::string(r->variable), value_of(*r, *v));
    }
    return Report(Value(std::move(out)));
}

ToolResult<Report> run_set(Context& ctx, const commands::Set& c) {
    const Session& s = ctx.session;
    const auto number = c.reg->number;
    auto master = read_master_id(s, c.id);
    if (!master) return std::unexpected(std::move(master.error()));
    const MotorIds now{c.id, *master};
    MotorIds then = now;  // the ids the motor has after the write
    if (number == registers::ESC_ID) then.can_id = as_id(c.value);
    if (number == registers::MST_ID) then.master_id = as_id(c.value);
    if (number == registers::ESC_ID || number == registers::MST_ID) {
        if (auto ok = check_new_ids(s, now, then); !ok) return std::unexpected(std::move(ok.error()));
    }

    const auto motor = s.motor(now.can_id, now.master_id);
    if (auto w = motor.write_register(s.bus, number, c.value); !w)
        return std::unexpected(failure_of(w.error(), c.id, "a write of " + std::string(c.reg->variable), s.timeout()));
    if (number == registers::CTRL_MODE) {
        // The firmware is given the driver's time to switch before the read-back.
        const auto pause = std::chrono::duration_cast<std::chrono::milliseconds>(damiao::kModeSwitchPause);
        if (auto slept = s.bus.pause(transport::Duration::from_millis(static_cast<std::uint64_t>(pause.count())));
            !slept)
            return std::unexpected(failure_of(damiao::Error(slept.error()), c.id, "the mode switch", s.timeout()));
    }
    // The motor uses new ids at once: the read-back comes from the motor as it is now.
    auto back = read_register(s, s.motor(then.can_id, then.master_id), number);
    if (number == registers::can_br) {
        const std::string hint = bit_rate_hint(ctx.global, std::get<std::uint32_t>(c.value));
        if (!back) {
            back.error().message += "; " + hint;
            return std::unexpected(std::move(back.error()));
        }
        ctx.notes.write(hint + "\n");
    }
    if (!back) return std::unexpected(std::move(back.error()));
    if (damiao::raw_bits(*back) != damiao::raw_bits(c.value))
        return fail(Kind::WrongAnswer, "verification failed: wrote " + value_text(c.value) + " to " +
                                           std::string(c.reg->variable) + ", motor " + id_text(then.can_id) +
                                           " reports " + value_text(*back));
    if (c.save) {
        if (auto stored = disable_and_store(s, then.can_id); !stored) return std::unexpected(std::move(stored.error()));
    }
    return Report(Members{{std::string(c.reg->variable), value_of(*c.reg, *back)}});
}

ToolResult<Report> run_mode(Context& ctx, const commands::Mode& c) {
    const Session& s = ctx.session;
    auto master = read_master_id(s, c.id);
    if (!master) return std::unexpected(std::move(master.error()));
    // The driver's verified switch: read, write if it differs, 100 ms, read back.
    if (auto switched = s.motor(c.id, *master).ensure_control_mode(s.bus, c.mode); !switched)
        return std::unexpected(failure_of(switched.error(), c.id, "the mode switch", s.timeout()));
    return Report(Members{{"CTRL_MODE", Value(std::uint32_t{c.mode})}});
}

ToolResult<Report> run_save(Context& ctx, const commands::Save& c) {
    if (auto stored = disable_and_store(ctx.session, c.id); !stored) return std::unexpected(std::move(stored.error()));
    return Report(Members{{"saved", Value(true)}});
}

ToolResult<Report> run_special(Context& ctx, const commands::Special& c) {
    auto motor = identify(ctx.session, c.id, c.master);
    if (!motor) return std::unexpected(std::move(motor.error()));
    auto state = exchange(ctx.session, *motor, command_of(c.kind), "the command");
    if (!state) return std::unexpected(std::move(state.error()));
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
