// Parsing and effect of the console commands.
#include "sim/console.hpp"

#include <array>
#include <cstdio>
#include <expected>

#include "damiao/text/parse.hpp"
#include "transport/bus_conditions.hpp"

namespace velkarin::sim {
namespace {

using Words = std::vector<std::string_view>;

std::expected<std::vector<SimMotor*>, std::string> targets(Simulator& sim, std::string_view t) {
    std::vector<SimMotor*> out;
    if (t == "all") {
        for (auto& m : sim.motors()) out.push_back(&m);
        return out;
    }
    const auto id = damiao::parse::parse_uint(t);
    if (!id || *id > 0xFFFF) return std::unexpected("bad motor '" + std::string(t) + "'");
    auto* m = sim.find(static_cast<std::uint16_t>(*id));
    if (m == nullptr) return std::unexpected("no motor with CAN id " + std::string(t));
    out.push_back(m);
    return out;
}

std::expected<bool, std::string> on_off(const Words& w, std::size_t at) {
    if (w.size() == at + 1 && w[at] == "on") return true;
    if (w.size() == at + 1 && w[at] == "off") return false;
    return std::unexpected("expected on or off");
}

// "fault TARGET WHAT VALUE": one setting for the chosen motors.
std::expected<void, std::string> fault(Simulator& sim, const Words& w, TimePoint now) {
    if (w.size() < 4) return std::unexpected("usage: fault <id|all> <what> <value>");
    auto ms = targets(sim, w[1]);
    if (!ms) return std::unexpected(ms.error());
    const auto what = w[2];
    if (w.size() != 4) return std::unexpected("too many words");
    const auto value = w[3];

    if (what == "status") {
        const auto s = status_fault_by_name(value);
        if (!s) return std::unexpected("status is one of " + status_fault_names());
        for (auto* m : *ms) {
            m->firmware.advance(now);
            m->firmware.raise_fault(*s);
        }
        return {};
    }
    if (what == "drop") {
        const auto f = damiao::parse::parse_double(value);
        if (!f || !(*f >= 0.0 && *f <= 1.0)) return std::unexpected("drop takes a fraction 0..1");
        for (auto* m : *ms) m->faults.drop = *f;
        return {};
    }
    if (what == "delay") {
        const auto d = damiao::parse::parse_uint(value);
        if (!d || *d > 60'000) return std::unexpected("delay takes milliseconds 0..60000");
        for (auto* m : *ms) m->faults.delay = std::chrono::milliseconds(*d);
        return {};
    }
    if (what == "short") {
        std::optional<std::size_t> len;
        if (value != "off") {
            const auto n = damiao::parse::parse_uint(value);
            if (!n || *n > 7) return std::unexpected("short takes a length 0..7 or off");
            len = static_cast<std::size_t>(*n);
        }
        for (auto* m : *ms) m->faults.short_len = len;
        return {};
    }
    if (what == "duplicate" || what == "silent" || what == "classic-only") {
        const auto on = on_off(w, 3);
        if (!on) return std::unexpected(on.error());
        for (auto* m : *ms)
            (what == "silent" ? m->faults.silent : what == "duplicate" ? m->faults.duplicate : m->faults.classic_only) = *on;
        return {};
    }
    return std::unexpected("unknown fault '" + std::string(what) + "'");
}

// The conditions a controller reports that matter to a motor's program.
constexpr std::array<transport::BusCondition, 6> kInjected{
    transport::BusCondition::NoAck,        transport::BusCondition::ErrorWarning,
    transport::BusCondition::ErrorPassive, transport::BusCondition::BusOff,
    transport::BusCondition::Restarted,    transport::BusCondition::RxOverflow};

std::optional<transport::BusCondition> bus_condition_named(std::string_view name) {
    for (const auto c : kInjected)
        if (transport::name_of(c) == name) return c;
    return std::nullopt;
}

std::string bus_condition_names() {
    std::string out;
    for (const auto c : kInjected) {
        if (!out.empty()) out += ' ';
        out += transport::name_of(c);
    }
    return out;
}

}  // namespace

std::string console_help() {
    return "  fault <id|all> drop <fraction>     lose that fraction of replies (0 off)\n"
           "  fault <id|all> delay <ms>          answer that late (0 off)\n"
           "  fault <id|all> duplicate on|off    answer every frame twice\n"
           "  fault <id|all> short <n>|off       cut replies to n bytes (0..7)\n"
           "  fault <id|all> silent on|off       off the bus: neither act nor answer\n"
           "  fault <id|all> classic-only on|off answer FD frames with classic ones\n"
           "  fault <id|all> status <name>       latch a fault code until clear-error:\n"
           "      " + status_fault_names() + "\n"
           "  clear <id|all>                     remove every reply fault above\n"
           "  bus <condition>                    an error frame on the bus, as a controller\n"
           "      sends it: " + bus_condition_names() + "\n"
           "  state <id|all>                     one line per motor (its mode is CTRL_MODE)\n"
           "  help\n"
           "  <id> is a motor's CAN id (decimal or 0x-hex). Each command answers \"ok\" or\n"
           "  \"error: <why>\" on its own line, after any state lines.\n";
}

std::string describe(const SimMotor& motor) {
    const auto& fw = motor.firmware;
    const std::string state(damiao::status_name(static_cast<std::uint8_t>(fw.status())).value_or("?"));
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "motor %u: %s mode %u status 0x%X position %.4f velocity %.4f torque %.4f "
                  "t_mos %u t_rotor %u",
                  static_cast<unsigned>(fw.can_id()), state.c_str(), static_cast<unsigned>(fw.control_mode()),
                  static_cast<unsigned>(fw.status()), fw.body().position, fw.body().velocity,
                  fw.body().torque, static_cast<unsigned>(fw.t_mos()),
                  static_cast<unsigned>(fw.t_rotor()));
    return buf;
}

std::vector<std::string> run_console_line(Simulator& sim, std::string_view line, TimePoint now) {
    const auto w = damiao::parse::words(line);
    if (w.empty() || w[0].starts_with('#')) return {};
    std::vector<std::string> out;
    std::expected<void, std::string> result;
    if (w[0] == "fault") {
        result = fault(sim, w, now);
    } else if ((w[0] == "clear" || w[0] == "state") && w.size() == 2) {
        auto ms = targets(sim, w[1]);
        if (!ms) {
            result = std::unexpected(ms.error());
        } else {
            for (auto* m : *ms) {
                if (w[0] == "clear") {
                    m->faults = ReplyFaults{};
                } else {
                    m->firmware.advance(now);
                    out.push_back(describe(*m));
                }
            }
        }
    } else if (w[0] == "bus" && w.size() == 2) {
        const auto c = bus_condition_named(w[1]);
        if (!c) result = std::unexpected("unknown bus condition '" + std::string(w[1]) + "'");
        else sim.raise(*c);
    } else if (w[0] == "help" && w.size() == 1) {
        const std::string help = console_help();
        std::string_view h = help;
        while (!h.empty()) {
            const auto nl = h.find('\n');
            out.emplace_back(h.substr(0, nl));
            h.remove_prefix(nl == std::string_view::npos ? h.size() : nl + 1);
        }
    } else {
        result = std::unexpected("unknown command '" + std::string(line) + "' (try help)");
    }
    out.push_back(result ? std::string("ok") : "error: " + result.error());
    return out;
}

}  // namespace velkarin::sim
