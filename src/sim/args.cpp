// Command-line parsing of velkarin-sim.
#include "sim/args.hpp"

#include <algorithm>
#include <chrono>
#include <cctype>
#include <cmath>
#include <string>
#include <vector>

#include "sim/console.hpp"
#include "damiao/text/parse.hpp"
#include "damiao/bit_rates.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/id_conflict.hpp"
#include "damiao/text/can_id_text.hpp"

namespace velkarin::sim {
namespace {

using Failure = std::variant<HelpRequested, ArgError>;

std::unexpected<Failure> fail(std::string message) {
    return std::unexpected(Failure{ArgError{std::move(message)}});
}

// Register 10's value for a mode given by name or number.
std::optional<std::uint8_t> control_mode(std::string_view s) {
    const auto mode = damiao::modes::control_mode_named(s);
    if (!mode) return std::nullopt;
    return static_cast<std::uint8_t>(*mode);
}

// "pos_vel": a mode's name as the command line takes it (any case works).
std::string lower_name(damiao::ControlMode mode) {
    std::string name(*damiao::modes::name_of(static_cast<std::uint32_t>(mode)));
    std::ranges::transform(name, name.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return name;
}

// "1-4 or mit|pos_vel|vel|force_pos", from the modes' table.
std::string mode_choices() {
    std::string names;
    for (const auto mode : damiao::modes::kAllModes) {
        if (!names.empty()) names += '|';
        names += lower_name(mode);
    }
    return "1-" + std::to_string(damiao::modes::kAllModes.size()) + " or " + names;
}

// ID:MASTER:MODEL[:MODE]
std::expected<MotorSetup, std::string> parse_motor(std::string_view s) {
    std::vector<std::string_view> parts;
    for (std::size_t start = 0;;) {
        const auto colon = s.find(':', start);
        parts.push_back(s.substr(start, colon - start));
        if (colon == std::string_view::npos) break;
        start = colon + 1;
    }
    if (parts.size() < 3 || parts.size() > 4)
        return std::unexpected("--motor takes ID:MASTER:MODEL[:MODE], got '" + std::string(s) + "'");
    const auto id = damiao::parse::parse_can_id(parts[0]);
    const auto master = damiao::parse::parse_can_id(parts[1]);
    if (!id || !master)
        return std::unexpected("--motor '" + std::string(s) + "': ids are 0.." +
                               damiao::can_id_text(transport::CanId::kStandardMax));
    const auto* model = find_model(parts[2]);
    if (model == nullptr)
        return std::unexpected("--motor '" + std::string(s) + "': unknown model '" +
                               std::string(parts[2]) + "'");
    MotorSetup setup{*id, *master, model, std::nullopt};
    if (parts.size() == 4) {
        setup.control_mode = control_mode(parts[3]);
        if (!setup.control_mode)
            return std::unexpected("--motor '" + std::string(s) +
                                   "': mode is " + mode_choices());
    }
    return setup;
}

// The can_br code whose rates are the bus's: the motors start at it, since a
// motor at any other code could not talk on that bus.
std::optional<std::uint32_t> code_of(const transport::BusRates& bus) {
    for (std::uint32_t code = 0; code < damiao::kBitRateCodes.size(); ++code)
        if (const auto r = damiao::kBitRateCodes[code]; r.nominal == bus.nominal && r.data == bus.data)
            return code;
    return std::nullopt;
}

// "classic 125000 ... 1000000, or 1000000 with --dbitrate 2000000 ...": the
// rates of every can_br code, from the table.
std::string rate_choices() {
    std::string classic = "classic", fd_data = " with --dbitrate";
    std::uint32_t fd_nominal = 0;
    for (const auto r : damiao::kBitRateCodes) {
        std::string& list = r.data == 0 ? classic : fd_data;
        list += ' ';
        list += std::to_string(r.data == 0 ? r.nominal : r.data);
        if (r.data != 0) fd_nominal = r.nominal;
    }
    classic += ", or ";
    classic += std::to_string(fd_nominal);
    return classic + fd_data;
}

std::optional<std::uint32_t> parse_rate(std::optional<std::string_view> v) {
    const auto n = v ? damiao::parse::parse_uint(*v) : std::nullopt;
    if (!n || *n == 0 || *n > 100'000'000) return std::nullopt;
    return static_cast<std::uint32_t>(*n);
}

}  // namespace

std::expected<Options, Failure> parse_args(std::span<const std::string_view> args) {
    Options o;
    std::optional<std::uint32_t> bitrate, dbitrate;
    std::optional<std::chrono::microseconds> latency;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto flag = args[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        auto needs = [&](std::string_view what) {
            return fail(std::string(flag) + " needs " + std::string(what));
        };

        if (flag == "--help" || flag == "-h") return std::unexpected(Failure{HelpRequested{}});
        if (flag == "--duplicate") {
            o.sim.faults.duplicate = true;
        } else if (flag == "--silent") {
            o.sim.faults.silent = true;
        } else if (flag == "--flash") {
            const auto v = value();
            if (!v || v->empty()) return needs("a file name");
            o.flash_path = *v;
        } else if (flag == "--iface") {
            const auto v = value();
            if (!v || v->empty()) return needs("an interface name");
            o.iface = *v;
        } else if (flag == "--motor") {
            const auto v = value();
            if (!v) return needs("ID:MASTER:MODEL[:MODE]");
            auto m = parse_motor(*v);
            if (!m) return fail(m.error());
            o.sim.motors.push_back(*m);
        } else if (flag == "--mode") {
            const auto v = value();
            const auto m = v ? control_mode(*v) : std::nullopt;
            if (!m) return needs("a mode: " + mode_choices());
            o.sim.control_mode = *m;
        } else if (flag == "--rate") {
            const auto v = value();
            const auto r = v ? damiao::parse::parse_double(*v) : std::nullopt;
            if (!r || !(*r >= 100.0 && *r <= 1e6)) return needs("a step rate of 100..1000000 Hz");
            o.sim.rate_hz = *r;
        } else if (flag == "--timeout-ms") {
            const auto v = value();
            const auto ms = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!ms || *ms > 200'000'000) return needs("milliseconds 0..200000000");
            o.sim.timeout_counts = registers::timeout_counts_of(std::chrono::milliseconds(*ms));
        } else if (flag == "--drop") {
            const auto v = value();
            const auto f = v ? damiao::parse::parse_double(*v) : std::nullopt;
            if (!f || !(*f >= 0.0 && *f <= 1.0)) return needs("a fraction 0..1");
            o.sim.faults.drop = *f;
        } else if (flag == "--delay-ms") {
            const auto v = value();
            const auto ms = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!ms || *ms > 60'000) return needs("milliseconds 0..60000");
            o.sim.faults.delay = std::chrono::milliseconds(*ms);
        } else if (flag == "--short") {
            const auto v = value();
            const auto n = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!n || *n > 7) return needs("a reply length 0..7");
            o.sim.faults.short_len = static_cast<std::size_t>(*n);
        } else if (flag == "--fault") {
            const auto v = value();
            const auto s = v ? status_fault_by_name(*v) : std::nullopt;
            if (!s) return needs("one of " + status_fault_names());
            o.sim.fault = *s;
        } else if (flag == "--bitrate" || flag == "--dbitrate") {
            const auto r = parse_rate(value());
            if (!r) return needs("a bit rate in bit/s");
            (flag == "--bitrate" ? bitrate : dbitrate) = *r;
        } else if (flag == "--latency-us") {
            const auto v = value();
            const auto us = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!us || *us > 1'000'000) return needs("microseconds 0..1000000");
            latency = std::chrono::microseconds(*us);
        } else if (flag == "--seed") {
            const auto v = value();
            const auto n = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!n) return needs("a number");
            o.sim.seed = *n;
        } else {
            return fail("unknown argument '" + std::string(flag) + "'");
        }
    }
    if (o.iface.empty()) return fail("--iface is required");
    if ((dbitrate || latency) && !bitrate)
        return fail(std::string(dbitrate ? "--dbitrate" : "--latency-us") + " needs --bitrate");
    if (bitrate) {
        const transport::BusRates rates{*bitrate, dbitrate.value_or(0)};
        const auto code = code_of(rates);
        if (!code)
            return fail("no can_br code runs at " + std::to_string(rates.nominal) +
                        (rates.data ? "/" + std::to_string(rates.data) : std::string()) +
                        " bit/s: " + rate_choices());
        o.sim.can_br = *code;
        o.sim.wire = WireTiming{rates, latency.value_or(kDefaultLatency)};
    }
    if (o.sim.motors.empty()) return fail("at least one --motor is required");
    // Motors whose ids collide could not share a real bus either: one's
    // replies would command another, or both would take one command.
    std::vector<damiao::MotorIds> ids;
    for (const auto& m : o.sim.motors) ids.push_back({m.can_id, m.master_id});
    if (auto why = damiao::motor_set_conflict(ids)) return fail("the --motor ids collide: " + *why);
    return o;
}

std::string usage() {
    std::string models;
    for (const auto& m : all_models()) {
        if (!models.empty()) models += ' ';
        models += m.name;
    }
    const SimConfig defaults;
    std::string modes;  // "1 mit (default), 2 pos_vel, ..."
    for (const auto mode : damiao::modes::kAllModes) {
        const auto n = static_cast<std::uint32_t>(mode);
        if (!modes.empty()) modes += ", ";
        modes += std::to_string(n) + " " + lower_name(mode);
        if (n == defaults.control_mode) modes += " (default)";
    }
    return "usage: velkarin-sim --iface IFACE --motor ID:MASTER:MODEL[:MODE] [--motor ...] [options]\n"
           "\n"
           "A virtual Damiao motor on a SocketCAN interface: answers enable, disable, set-zero,\n"
           "clear-error, MIT, POS_VEL, VEL and FORCE_POS frames and register requests on " +
           damiao::can_id_text(damiao::registers::kRequestId) + "\n"
           "as the motor's firmware does, moving a simulated rigid body. Prints one line when\n"
           "ready; stops on SIGINT or SIGTERM.\n"
           "\n"
           "  --iface IFACE        CAN interface to serve (e.g. vcan0)\n"
           "  --motor ID:MASTER:MODEL[:MODE]\n"
           "                       one motor: CAN id, master (feedback) id, model, and\n"
           "                       optionally its start mode; ids decimal or 0x-hex;\n"
           "                       ids that collide (one motor's replies on another's\n"
           "                       command ids, a shared id) are refused\n"
           "  --mode MODE          start mode of motors without their own:\n"
           "                       " + modes + "\n"
           "  --rate HZ            simulation step rate (default " + std::to_string(static_cast<long>(defaults.rate_hz)) + ")\n"
           "  --timeout-ms MS      communication time-out, TIMEOUT (0 off, the default)\n"
           "  --seed N             seed of the reply-drop generator (default " + std::to_string(defaults.seed) + ")\n"
           "  --flash FILE         the motors' flash: read at start (stored ids and settings\n"
           "                       win over --motor), written at every store request\n"
           "\n"
           "Wire time (without it, replies leave at once, as vcan has no bit time):\n"
           "  --bitrate BPS        hold every reply until a bus at BPS could have carried it\n"
           "                       and the commands before it; motors start at the can_br\n"
           "                       code of these rates\n"
           "  --dbitrate BPS       the data rate of CAN FD frames with bit-rate switch\n"
           "  --latency-us US      a motor's time from a command's end to its answer\n"
           "                       (default " + std::to_string(kDefaultLatency.count()) + ")\n"
           "\n"
           "Faults, for every motor (per motor at run time, see below):\n"
           "  --drop FRACTION      lose that fraction of replies\n"
           "  --delay-ms MS        answer that late\n"
           "  --duplicate          answer every frame twice\n"
           "  --short N            cut every reply to N bytes (0..7)\n"
           "  --silent             off the bus: neither act nor answer\n"
           "  --fault NAME         start with a latched fault code: " +
           status_fault_names() +
           "\n"
           "\n"
           "Models (any case): " +
           models +
           "\n"
           "\n"
           "Commands on stdin, one per line:\n" +
           console_help();
}

}  // namespace velkarin::sim
