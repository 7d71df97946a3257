// Parsing and checking velkarin-tool's command line.
#include "tool/cli.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "damiao/text/parse.hpp"
#include "damiao/text/float_text.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "tool/propagate.hpp"
#include "tool/register_text.hpp"
#include "tool/result.hpp"

namespace velkarin::tool {
namespace {

using damiao::RegisterInfo;
using Failure = std::variant<HelpRequested, UsageError>;

std::unexpected<Failure> usage(std::string message, std::string_view command = {}) {
    return std::unexpected(Failure{UsageError{std::move(message), std::string(command)}});
}

// The words after the command, with its own options taken out as they are
// met; the rest are its positional arguments.
class Words {
public:
    Words(std::string_view command, std::vector<std::string_view> words)
        : command_(command), words_(std::move(words)) {}

    std::string_view command() const { return command_; }
    const std::vector<std::string_view>& positional() const { return positional_; }

    // Runs `on_option(flag, value_of)` for every word starting with "--";
    // `value_of()` takes the next word as the option's value.
    template <typename OnOption>
    std::expected<void, Failure> scan(OnOption&& on_option) {
        for (std::size_t i = 0; i < words_.size(); ++i) {
            const auto w = words_[i];
            if (!w.starts_with("--") || w.size() == 2) {
                positional_.push_back(w);
                continue;
            }
            auto value_of = [&]() -> std::expected<std::string_view, Failure> {
                if (i + 1 >= words_.size())
                    return usage(std::string(command_) + ": " + std::string(w) + " needs a value", command_);
                return words_[++i];
            };
            if (auto done = on_option(w, value_of); !done) return done;
        }
        return {};
    }

    std::unexpected<Failure> unknown_option(std::string_view w) const {
        return usage(std::string(command_) + ": unknown option " + std::string(w), command_);
    }

    // For a command that takes no options at all.
    std::expected<void, Failure> no_options() {
        return scan([&](std::string_view flag, auto) -> std::expected<void, Failure> {
            return unknown_option(flag);
        });
    }

    std::expected<void, Failure> expect_count(std::size_t min, std::size_t max,
                                              std::string_view what) const {
        if (positional_.size() < min || positional_.size() > max)
            return usage(std::string(command_) + " takes " + std::string(what), command_);
        return {};
    }

private:
    std::string_view command_;
    std::vector<std::string_view> words_;
    std::vector<std::string_view> positional_;
};

std::expected<std::uint16_t, Failure> parse_id(std::string_view s, std::string_view what) {
    const auto id = damiao::parse::parse_can_id(s);
    if (!id)
        return usage(std::string(what) + " must be a CAN id in 0.." +
                     id_text(static_cast<std::uint16_t>(transport::CanId::kStandardMax)) +
                     " (decimal or 0x-hex), got '" + std::string(s) + "'");
    return *id;
}

// The registers are listed by `get --help`.
std::expected<const RegisterInfo*, Failure> parse_register(std::string_view s) {
    const RegisterInfo* info = find_register(s);
    if (info == nullptr)
        return usage("unknown register '" + std::string(s) + "': give its number or variable name", "get");
    return info;
}

std::expected<damiao::RegisterValue, Failure> parse_value(const RegisterInfo& reg,
                                                          std::string_view s) {
    const std::string name(reg.variable);
    std::optional<damiao::RegisterValue> value;
    if (reg.kind == damiao::RegisterKind::Uint32) {
        const auto v = damiao::parse::parse_uint(s);
        if (v && *v <= std::numeric_limits<std::uint32_t>::max())
            value = static_cast<std::uint32_t>(*v);
        else
            return usage("set: " + name + " takes an unsigned 32-bit integer, got '" +
                         std::string(s) + "'", "set");
    } else {
        const auto v = damiao::parse::parse_float(s);
        if (!v || !std::isfinite(*v))
            return usage("set: " + name + " takes a finite number, got '" + std::string(s) + "'", "set");
        value = *v;
    }
    if (!damiao::registers::in_documented_range(reg, *value))
        return usage("set: " + name + " must be in " + range_text(reg) + ", got '" +
                     std::string(s) + "'", "set");
    return *value;
}

// A number in [lo, hi], finite: checked before any conversion to clock
// ticks, where a value out of range would be undefined behaviour.
std::expected<double, Failure> parse_in_range(std::string_view flag, std::string_view s, double lo,
                                              double hi, std::string_view unit) {
    const auto v = damiao::parse::parse_double(s);
    if (!v || !std::isfinite(*v) || *v < lo || *v > hi) {
        using damiao::float_text::shortest;
        return usage("monitor: " + std::string(flag) + " takes " + shortest(static_cast<float>(lo)) +
                         " to " + shortest(static_cast<float>(hi)) + " " + std::string(unit) +
                         ", got '" + std::string(s) + "'",
                     "monitor");
    }
    return *v;
}

// ---- one parser per command ------------------------------------------------

std::expected<Command, Failure> parse_scan(Words& w) {
    commands::Scan scan;
    auto ok = w.scan([&](std::string_view flag, auto value_of) -> std::expected<void, Failure> {
        if (flag != "--ids") return w.unknown_option(flag);
        auto v = value_of();
        if (!v) return propagate(v);
        const auto dash = v->find('-');
        if (dash == std::string_view::npos)
            return usage("scan: --ids takes FIRST-LAST, got '" + std::string(*v) + "'", "scan");
        auto first = parse_id(v->substr(0, dash), "scan: the first id");
        if (!first) return propagate(first);
        auto last = parse_id(v->substr(dash + 1), "scan: the last id");
        if (!last) return propagate(last);
        if (*first > *last) return usage("scan: --ids " + std::string(*v) + " is empty", "scan");
        scan.first = *first;
        scan.last = *last;
        return {};
    });
    if (!ok) return propagate(ok);
    if (auto c = w.expect_count(0, 0, "no arguments besides --ids"); !c) return propagate(c);
    return scan;
}

// The commands whose only argument is one motor id.
std::expected<std::uint16_t, Failure> only_a_motor_id(Words& w) {
    if (auto ok = w.no_options(); !ok) return propagate(ok);
    if (auto c = w.expect_count(1, 1, "one motor id"); !c) return propagate(c);
    return parse_id(w.positional()[0], "the motor id");
}

std::expected<Command, Failure> parse_info(Words& w) {
    auto id = only_a_motor_id(w);
    if (!id) return propagate(id);
    return commands::Info{*id};
}

std::expected<Command, Failure> parse_get(Words& w) {
    if (auto ok = w.no_options(); !ok) return propagate(ok);
    if (auto c = w.expect_count(2, 256, "a motor id and one or more registers"); !c)
        return propagate(c);
    auto id = parse_id(w.positional()[0], "the motor id");
    if (!id) return propagate(id);
    commands::Get get{*id, {}};
    for (std::size_t i = 1; i < w.positional().size(); ++i) {
        auto reg = parse_register(w.positional()[i]);
        if (!reg) return propagate(reg);
        // One key per register in the JSON object, so each is named once.
        if (std::ranges::find(get.registers, *reg) != get.registers.end())
            return usage("register " + std::string((*reg)->variable) + " is named twice, as '" +
                         std::string(w.positional()[i]) + "'", "get");
        get.registers.push_back(*reg);
    }
    return get;
}

std::expected<Command, Failure> parse_set(Words& w) {
    bool save = false;
    auto ok = w.scan([&](std::string_view flag, auto) -> std::expected<void, Failure> {
        if (flag != "--save") return w.unknown_option(flag);
        save = true;
        return {};
    });
    if (!ok) return propagate(ok);
    if (auto c = w.expect_count(3, 3, "a motor id, a register and a value"); !c)
        return propagate(c);
    auto id = parse_id(w.positional()[0], "the motor id");
    if (!id) return propagate(id);
    auto reg = parse_register(w.positional()[1]);
    if (!reg) return propagate(reg);
    if ((*reg)->access != damiao::RegisterAccess::ReadWrite)
        return usage("set: " + std::string((*reg)->variable) + " is read-only", "set");
    auto value = parse_value(**reg, w.positional()[2]);
    if (!value) return propagate(value);
    return commands::Set{*id, *reg, *value, save};
}

std::expected<Command, Failure> parse_mode(Words& w) {
    if (auto ok = w.no_options(); !ok) return propagate(ok);
    if (auto c = w.expect_count(2, 2, "a motor id and a mode"); !c) return propagate(c);
    auto id = parse_id(w.positional()[0], "the motor id");
    if (!id) return propagate(id);
    const auto mode = damiao::modes::control_mode_named(w.positional()[1]);
    if (!mode)
        return usage("mode: MODE is " + mode_names() + ", got '" + std::string(w.positional()[1]) + "'",
                     "mode");
    return commands::Mode{*id, static_cast<std::uint8_t>(*mode)};
}

std::expected<Command, Failure> parse_save(Words& w) {
    auto id = only_a_motor_id(w);
    if (!id) return propagate(id);
    return commands::Save{*id};
}

std::expected<Command, Failure> parse_special(Words& w, damiao::SpecialCommand kind) {
    std::optional<std::uint16_t> master;
    auto ok = w.scan([&](std::string_view flag, auto value_of) -> std::expected<void, Failure> {
        if (flag != "--master") return w.unknown_option(flag);
        auto v = value_of();
        if (!v) return propagate(v);
        auto id = parse_id(*v, "--master");
        if (!id) return propagate(id);
        master = *id;
        return {};
    });
    if (!ok) return propagate(ok);
    if (auto c = w.expect_count(1, 1, "one motor id"); !c) return propagate(c);
    auto id = parse_id(w.positional()[0], "the motor id");
    if (!id) return propagate(id);
    return commands::Special{kind, *id, master};
}

std::expected<Command, Failure> parse_monitor(Words& w) {
    commands::Monitor m;
    auto ok = w.scan([&](std::string_view flag, auto value_of) -> std::expected<void, Failure> {
        if (flag != "--rate" && flag != "--duration" && flag != "--csv") return w.unknown_option(flag);
        auto v = value_of();
        if (!v) return propagate(v);
        if (flag == "--csv") {
            m.csv = std::string(*v);
            return {};
        }
        const bool rate = flag == "--rate";
        auto n = rate ? parse_in_range(flag, *v, kMinRateHz, kMaxRateHz, "Hz")
                      : parse_in_range(flag, *v, 0.0, kMaxDurationS, "s");
        if (!n) return propagate(n);
        if (rate) m.rate_hz = *n; else m.duration_s = *n;
        return {};
    });
    if (!ok) return propagate(ok);
    if (auto c = w.expect_count(1, 256, "one or more motor ids"); !c) return propagate(c);
    for (const auto word : w.positional()) {
        auto id = parse_id(word, "a motor id");
        if (!id) return propagate(id);
        // Its replies could not be told apart from its own.
        if (std::ranges::find(m.ids, *id) != m.ids.end())
            return usage("monitor: motor " + id_text(*id) + " is named twice", "monitor");
        m.ids.push_back(*id);
    }
    return m;
}

std::expected<Command, Failure> parse_doctor(Words& w) {
    commands::Doctor d;
    auto ok = w.scan([&](std::string_view flag, auto) -> std::expected<void, Failure> {
        if (flag != "--explain") return w.unknown_option(flag);
        d.explain = true;
        return {};
    });
    if (!ok) return propagate(ok);
    if (auto c = w.expect_count(0, 0, "no arguments"); !c) return propagate(c);
    return d;
}

std::expected<Command, Failure> parse_command(Words& w) {
    using damiao::SpecialCommand;
    const auto c = w.command();
    if (c == "scan") return parse_scan(w);
    if (c == "info") return parse_info(w);
    if (c == "get") return parse_get(w);
    if (c == "set") return parse_set(w);
    if (c == "mode") return parse_mode(w);
    if (c == "save") return parse_save(w);
    if (c == "enable") return parse_special(w, SpecialCommand::Enable);
    if (c == "disable") return parse_special(w, SpecialCommand::Disable);
    if (c == "zero") return parse_special(w, SpecialCommand::SetZero);
    if (c == "clear") return parse_special(w, SpecialCommand::ClearError);
    if (c == "monitor") return parse_monitor(w);
    if (c == "doctor") return parse_doctor(w);
    return usage("unknown command '" + std::string(c) + "'");
}

}  // namespace

std::string UsageError::text() const {
    return message + " (velkarin-tool " + (command.empty() ? "" : command + " ") + "--help)";
}

std::expected<Invocation, Failure> parse_command_line(std::span<const std::string_view> args) {
    Invocation inv{};
    std::optional<std::string_view> command;
    std::vector<std::string_view> rest;
    bool help = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const auto a = args[i];
        auto value = [&]() -> std::optional<std::string_view> {
            if (i + 1 >= args.size()) return std::nullopt;
            return args[++i];
        };
        if (a == "--help" || a == "-h") {
            help = true;
        } else if (a == "--json") {
            inv.global.json = true;
        } else if (a == "--fd") {
            inv.global.fd = true;
        } else if (a == "--iface") {
            const auto v = value();
            if (!v || v->empty()) return usage("--iface needs an interface name");
            inv.global.iface = std::string(*v);
        } else if (a == "--timeout-ms") {
            const auto v = value();
            const auto ms = v ? damiao::parse::parse_uint(*v) : std::nullopt;
            if (!ms || *ms == 0 || *ms > 60'000)
                return usage("--timeout-ms takes milliseconds, 1 to 60000");
            inv.global.timeout_ms = *ms;
        } else if (!command) {
            if (a.starts_with("-")) return usage("unknown option " + std::string(a));
            command = a;
        } else {
            rest.push_back(a);
        }
    }
    if (help) return std::unexpected(Failure{HelpRequested{std::string(command.value_or(""))}});
    if (!command) return usage("no command given");
    Words words(*command, std::move(rest));
    auto parsed = parse_command(words);
    if (!parsed) return propagate(parsed);
    inv.command = std::move(*parsed);
    return inv;
}

}  // namespace velkarin::tool
