// scan, info, get, set, mode, save and the special commands.
#include "tool/commands.hpp"

#include "damiao/driver.hpp"
#include "damiao/motor_ids.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/float_text.hpp"
#include "damiao/motor_status.hpp"
#include "tool/register_text.hpp"
#include "tool/scan.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;
using damiao::RegisterInfo;
using damiao::RegisterValue;

// A CAN bit rate code (register can_br) in bits per second.
constexpr std::uint32_t kBitRates[] = {125'000, 200'000, 250'000, 500'000, 1'000'000};

std::unexpected<LinkError> conflict(std::string message) {
    return std::unexpected(LinkError{LinkError::Kind::Bus, std::move(message) + ": nothing written"});
}

const RegisterInfo& reg(registers::Number n) { return *registers::find(n); }

std::string value_text(const RegisterValue& v) {
    if (const auto* u = std::get_if<std::uint32_t>(&v)) return std::to_string(*u);
    return damiao::float_text::shortest(std::get<float>(v));
}

// The commands frames of a motor use: its id and the three mode offsets. A
// feedback frame sent on one of them would reach that motor as a command.
bool is_command_id_of(std::uint16_t can_id, std::uint32_t motor) {
    return damiao::mode_of_command_id(static_cast<std::uint16_t>(motor),
                                      transport::CanId::standard(can_id)).has_value();
}

// Refuses a new CAN id that another motor answers at already.
LinkResult<void> check_new_can_id(Link& link, std::uint16_t id, std::uint16_t new_id) {
    if (new_id == id) return {};
    auto taken = link.read(new_id, reg(registers::MST_ID));
    if (taken) return conflict("a motor already answers at CAN id " + id_text(new_id));
    if (taken.error().kind != LinkError::Kind::NoAnswer) return std::unexpected(taken.error());
    return {};
}

// Refuses a master id that another motor answers on, or that another motor
// listens to (its replies would command that motor), or the request id.
LinkResult<void> check_new_master_id(Link& link, std::uint16_t id, std::uint16_t master) {
    if (master == registers::kRequestId) return conflict("0x7FF carries register requests");
    auto motors = find_motors(link, 1, 0x7FE);
    if (!motors) return std::unexpected(motors.error());
    for (const auto& m : *motors) {
        if (m.id == id) continue;
        if (m.master_id == master)
            return conflict("motor " + id_text(m.id) + " already answers on " + id_text(master));
        if (is_command_id_of(master, m.id))
            return conflict("motor " + id_text(m.id) + " listens on " + id_text(master));
    }
    return {};
}

std::string bit_rate_hint(const Global& g, std::uint32_t code) {
    if (code >= std::size(kBitRates)) return "";
    const std::string rate = std::to_string(kBitRates[code]);
    return "the motor now talks at " + rate + " bit/s: change the interface to match: sudo ip link set " +
           g.iface + " down && sudo ip link set " + g.iface + " type can bitrate " + rate +
           " && sudo ip link set " + g.iface + " up";
}

LinkResult<void> disable_and_store(Link& link, std::uint16_t id) {
    auto who = link.identify(id);
    if (!who) return std::unexpected(who.error());
    if (auto off = link.special(id, *who, damiao::SpecialCommand::Disable); !off)
        return std::unexpected(off.error());
    return link.store(id);
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

std::string limits_repr(const damiao::MitLimits& l) {
    using damiao::float_text::shortest;
    return "MitLimits(p_max=" + shortest(l.p_max) + ", v_max=" + shortest(l.v_max) +
           ", kp_max=" + shortest(l.kp_max) + ", kd_max=" + shortest(l.kd_max) +
           ", t_max=" + shortest(l.t_max) + ")";
}

LinkResult<Value> run_scan(Context& ctx, const commands::Scan& c) {
    auto motors = scan(ctx.link, c.first, c.last);
    if (!motors) return std::unexpected(motors.error());
    Items list;
    for (const auto& m : *motors) list.push_back(scan_entry(m));
    if (list.empty() && !ctx.global.json)
        std::fprintf(ctx.notes, "no motor answered on %s (ids %s-%s)\n", ctx.global.iface.c_str(),
                     id_text(c.first).c_str(), id_text(c.last).c_str());
    return Value(std::move(list));
}

LinkResult<Value> run_info(Context& ctx, const commands::Info& c) {
    // A motor that does not give its master id is not there: stop at once
    // rather than wait out every register.
    auto master = ctx.link.read(c.id, reg(registers::MST_ID));
    if (!master) return std::unexpected(master.error());

    Members regs;
    std::optional<float> ranges[3];
    for (const auto& r : registers::table()) {
        auto v = ctx.link.read(c.id, r);
        if (!v && v.error().kind != LinkError::Kind::NoAnswer) return std::unexpected(v.error());
        regs.emplace_back(std::string(r.variable), v ? value_of(v->value) : Value());
        if (!v) continue;
        if (r.number == registers::PMAX) ranges[0] = std::get<float>(v->value);
        if (r.number == registers::VMAX) ranges[1] = std::get<float>(v->value);
        if (r.number == registers::TMAX) ranges[2] = std::get<float>(v->value);
    }

    Value state, models = Items{}, limits;
    if (ranges[0] && ranges[1] && ranges[2]) {
        const Identity who{static_cast<std::uint16_t>(std::get<std::uint32_t>(master->value)),
                           damiao::mit::firmware_limits(*ranges[0], *ranges[1], *ranges[2])};
        if (auto s = ctx.link.refresh(c.id, who)) state = state_value(*s);
        else if (s.error().kind != LinkError::Kind::NoAnswer) return std::unexpected(s.error());
        Items names;
        for (const auto n : matching_models(*ranges[0], *ranges[1], *ranges[2]))
            names.emplace_back(std::string(n));
        models = Value(std::move(names));
        limits = Value(limits_repr(who.limits));
    }
    return Members{
        {"id", Value(std::uint32_t{c.id})},
        {"master_id", value_of(master->value)},
        {"registers", Value(std::move(regs))},
        {"state", std::move(state)},
        {"models", std::move(models)},
        {"limits", std::move(limits)},
    };
}

LinkResult<Value> run_get(Context& ctx, const commands::Get& c) {
    Members out;
    for (const auto* r : c.registers) {
        auto v = ctx.link.read(c.id, *r);
        if (!v) return std::unexpected(v.error());
        out.emplace_back(std::string(r->variable), value_of(v->value));
    }
    return Value(std::move(out));
}

LinkResult<Value> run_set(Context& ctx, const commands::Set& c) {
    Link& link = ctx.link;
    const auto number = c.reg->number;
    const auto as_id = [&] { return static_cast<std::uint16_t>(std::get<std::uint32_t>(c.value)); };
    if (number == registers::ESC_ID) {
        if (auto ok = check_new_can_id(link, c.id, as_id()); !ok) return std::unexpected(ok.error());
    } else if (number == registers::MST_ID) {
        if (auto ok = check_new_master_id(link, c.id, as_id()); !ok) return std::unexpected(ok.error());
    }

    if (auto w = link.write(c.id, *c.reg, c.value); !w) return std::unexpected(w.error());
    // The motor uses a new CAN id at once, so it is read back there.
    const std::uint16_t now_at = number == registers::ESC_ID ? as_id() : c.id;
    if (number == registers::CTRL_MODE) link.bus().pause(transport::Duration::from_millis(100));
    auto back = link.read(now_at, *c.reg);
    if (number == registers::can_br) {
        const std::string hint = bit_rate_hint(ctx.global, std::get<std::uint32_t>(c.value));
        if (!back) return std::unexpected(LinkError{back.error().kind, back.error().message + "; " + hint});
        std::fprintf(ctx.notes, "%s\n", hint.c_str());
    }
    if (!back) return std::unexpected(back.error());
    if (damiao::raw_bits(back->value) != damiao::raw_bits(c.value))
        return std::unexpected(LinkError{LinkError::Kind::Bus,
                                         "verification failed: wrote " + value_text(c.value) + " to " +
                                             std::string(c.reg->variable) + ", motor reports " +
                                             value_text(back->value)});
    if (number == registers::MST_ID &&
        back->arrived_on != transport::CanId::standard(as_id()))
        return std::unexpected(LinkError{LinkError::Kind::Bus,
                                         "verification failed: the read-back came on " +
                                             id_text(static_cast<std::uint16_t>(back->arrived_on.value)) +
                                             ", not on the new master id " + id_text(as_id())});
    if (c.save) {
        if (auto s = disable_and_store(link, now_at); !s) return std::unexpected(s.error());
    }
    return Members{{std::string(c.reg->variable), value_of(back->value)}};
}

LinkResult<Value> run_mode(Context& ctx, const commands::Mode& c) {
    // The driver's verified switch: read, write if it differs, 100 ms, read back.
    const damiao::Damiao motor(c.id, 0, {}, ctx.global.timeout_ms);
    auto switched = motor.ensure_control_mode(ctx.link.bus(), c.mode);
    if (!switched) {
        const auto* t = switched.error().as<damiao::errors::Transport>();
        if (t != nullptr) return std::unexpected(ctx.link.failure(t->error, c.id, "a read of CTRL_MODE"));
        return std::unexpected(LinkError{LinkError::Kind::Bus, switched.error().text()});
    }
    return Members{{"CTRL_MODE", Value(std::uint32_t{c.mode})}};
}

LinkResult<Value> run_save(Context& ctx, const commands::Save& c) {
    if (auto s = disable_and_store(ctx.link, c.id); !s) return std::unexpected(s.error());
    return Members{{"saved", Value(true)}};
}

LinkResult<Value> run_special(Context& ctx, const commands::Special& c) {
    auto who = ctx.link.identify(c.id, c.master);
    if (!who) return std::unexpected(who.error());
    auto state = ctx.link.special(c.id, *who, c.kind);
    if (!state) return std::unexpected(state.error());
    return state_value(*state);
}

}  // namespace velkarin::tool
