// doctor: the interface's state, a scan, and for every motor found what would
// make a program fail, each with what to do about it.
#include <chrono>

#include "damiao/mit/limits_text.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "tool/commands.hpp"
#include "tool/interface.hpp"
#include "tool/scan.hpp"
#include "transport/bus_watch.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;

using namespace std::chrono_literals;

// A TIMEOUT under 10 ms is shorter than a typical control period, so a motor
// would disable itself between commands.
constexpr std::uint32_t kShortestTimeout = registers::timeout_counts_of(10ms);
constexpr std::uint32_t kSuggestedTimeout = registers::timeout_counts_of(100ms);
// A temperature this close to the over-temperature threshold is reported.
constexpr double kTemperatureMargin = 20.0;

// Each finding: what was found, its likely cause (shown with --explain) and
// what to do.
struct Findings {
    bool explain = false;
    Items list;
    void add(std::optional<std::uint16_t> id, std::string what, std::string cause, std::string fix) {
        Members m{{"id", id ? Value(CanIdNumber{*id}) : Value()}, {"what", Value(std::move(what))}};
        if (explain) m.emplace_back("cause", Value(std::move(cause)));
        m.emplace_back("fix", Value(std::move(fix)));
        list.push_back(std::move(m));
    }
};

std::string tool(std::string_view iface, const std::string& args) {
    return "velkarin-tool --iface " + std::string(iface) + " " + args;
}

void check_interface(Findings& out, std::string_view iface, const InterfaceFacts& f) {
    if (f.state && *f.state != "error-active")
        out.add(std::nullopt, "the CAN controller is " + *f.state,
                "it counted many errors on the wire: a missing terminator, a loose connector, or a node "
                "at another bit rate",
                "check termination (about 60 ohm between CAN_H and CAN_L), wiring and bit rate; "
                "bus-off needs: sudo ip link set " + std::string(iface) + " down && sudo ip link set " +
                    std::string(iface) + " up");
    if ((f.tx_errors && *f.tx_errors > 0) || (f.rx_errors && *f.rx_errors > 0))
        out.add(std::nullopt,
                "error counters tx " + std::to_string(f.tx_errors.value_or(0)) + ", rx " +
                    std::to_string(f.rx_errors.value_or(0)),
                "frames are not acknowledged or arrive corrupted",
                "check termination, wiring, grounds and "
                "that every node uses the interface's bit rate");
}

ToolResult<void> check_motor(Findings& out, Context& ctx, const InterfaceFacts& facts,
                             const ScannedMotor& m) {
    const Session& s = ctx.session;
    const auto id = m.found.id;
    const std::string iface = ctx.global.iface;
    const std::string ids = id_text(id);
    if (m.mode && *m.mode != static_cast<std::uint32_t>(damiao::ControlMode::Mit)) {
        const auto name = damiao::modes::name_of(*m.mode);
        out.add(id,
                "control mode is " + (name ? std::string(*name) : std::to_string(*m.mode)) +
                    ": mit_control commands are answered but not acted on",
                "the motor was set to another mode, by a tool or as it shipped",
                tool(iface, "mode " + ids + " mit") + " (or send the frames of that mode)");
    }
    const auto limits = m.ranges.limits();
    if (limits && matching_models(*limits).empty())
        out.add(id, "PMAX/VMAX/TMAX match no preset of MitLimits",
                "its ranges were changed, or it is a model without a preset",
                "use " + damiao::mit::limits_text(*limits) + " in the program, not a preset");

    const auto plain = s.motor(id, m.found.master_id);
    auto timeout = read_if_answered(s, plain, registers::TIMEOUT);
    if (!timeout) return propagate(timeout);
    if (*timeout) {
        const auto counts = std::get<std::uint32_t>(**timeout);
        const std::string fix = tool(iface, "set " + ids + " TIMEOUT " + std::to_string(kSuggestedTimeout) +
                                                " --save") + " (100 ms)";
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(registers::timeout_of_counts(counts));
        if (counts == 0)
            out.add(id, "TIMEOUT is 0: the motor keeps its last command if the program dies",
                    "the watchdog is off, as some firmware ships", fix);
        else if (counts < kShortestTimeout)
            out.add(id, "TIMEOUT is " + std::to_string(counts) + " (" + std::to_string(ms.count()) +
                            " ms), shorter than a typical control period: the motor would stop itself "
                            "between commands",
                    "TIMEOUT counts 50 us: a value meant as milliseconds comes out 20 times too short", fix);
    }

    auto code = read_if_answered(s, plain, registers::can_br);
    if (!code) return propagate(code);
    if (*code) {
        const auto c = std::get<std::uint32_t>(**code);
        if (const auto why = rate_mismatch(facts, c)) {
            const std::string to_motor = rates_command(iface, c);
            out.add(id, *why, "can_br was changed without the interface, or the interface without can_br",
                    to_motor.empty() ? "set can_br to a code of the interface's rates, store, power-cycle"
                                     : "bring the interface to the motor's rates: " + to_motor);
        }
    }

    if (!limits) return {};
    const auto scaled = s.motor(id, m.found.master_id, *limits);
    auto state = exchange(s, scaled, damiao::commands::Refresh{}, "a refresh request");
    if (!state) {
        if (state.error().kind != Failure::Kind::NoAnswer) return propagate(state);
        out.add(id, "does not answer a refresh request on its master id " + id_text(m.found.master_id),
                "another node answers on that id, or the firmware ignores refresh requests",
                "check that no other node uses " + id_text(m.found.master_id));
        return {};
    }
    const auto status = state->error;
    if (status != 0 && status != 1)
        out.add(id, "latched fault: " + status_text(status),
                "the motor protected itself: supply voltage, current, temperature or lost communication",
                "remove the cause (supply, load, cooling), then " + tool(iface, "clear " + ids));
    auto limit = read_if_answered(s, plain, registers::OT_Value);
    if (!limit) return propagate(limit);
    const double threshold = static_cast<double>(*limit ? std::get<float>(**limit) : registers::kDefaultOverTemperature);
    for (const auto& [name, t] : {std::pair{"t_mos", state->t_mos}, std::pair{"t_rotor", state->t_rotor}}) {
        if (static_cast<double>(t) >= threshold - kTemperatureMargin)
            out.add(id, std::string(name) + " is " + std::to_string(t) + " C, near the " +
                            std::to_string(static_cast<int>(threshold)) + " C protection (OT_Value)",
                    "sustained load with little cooling", "let it cool; reduce load or duty cycle");
    }
    return {};
}

// What the bus's error frames reported while the doctor looked.
void check_bus(Findings& out, transport::BusWatch& watch) {
    const auto counts = watch.health().conditions;
    for (std::size_t c = 0; c < transport::kBusConditions; ++c) {
        if (counts.counts[c] == 0) continue;
        const std::string_view text = transport::advice_for(static_cast<transport::BusCondition>(c));
        const auto colon = text.find(": ");
        const std::string what(text.substr(0, colon));
        out.add(std::nullopt,
                watch.iface() + " reported " + what + " (" + std::to_string(counts.counts[c]) + " error frames)",
                what, std::string(text.substr(colon + 2)));
    }
}

}  // namespace

ToolResult<Report> run_doctor(Context& ctx, const commands::Doctor& c) {
    // The interface was found present and up before any command ran.
    const InterfaceFacts facts = interface_facts(ctx.global.iface);
    Findings findings;
    findings.explain = c.explain;
    check_interface(findings, ctx.global.iface, facts);

    transport::BusWatch watch(ctx.session.bus_fd);  // listens while the scan goes on
    auto motors = scan(ctx.session, damiao::kFirstScanId, damiao::kLastScanId);
    if (!motors) return propagate(motors);
    Items listed;
    for (const auto& m : *motors) {
        listed.push_back(scan_entry(m));
        if (auto checked = check_motor(findings, ctx, facts, m); !checked) return propagate(checked);
    }
    check_bus(findings, watch);
    if (motors->empty())
        findings.add(std::nullopt, "no motor answered on " + ctx.global.iface,
                     "the motors are unpowered, the cable or termination is faulty, or the motors run "
                     "another bit rate",
                     "check power, wiring, termination and that the interface's bit rate is the "
                     "motors' (register can_br)");
    Value report = Members{
        {"interface", facts_value(ctx.global.iface, facts)},
        {"motors", Value(std::move(listed))},
        {"findings", Value(std::move(findings.list))},
    };
    if (motors->empty())
        return Report(std::move(report), nothing_found(ctx.global.iface, damiao::kFirstScanId, damiao::kLastScanId));
    return Report(std::move(report));
}

}  // namespace velkarin::tool
