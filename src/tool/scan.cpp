// The core's scan and the details read for each motor found.
#include "tool/scan.hpp"

#include "damiao/modes/control_setpoint.hpp"
#include "damiao/presets.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;

template <typename T>
ToolResult<std::optional<T>> optional_read(const Session& s, const damiao::Damiao& motor,
                                           registers::Number n) {
    auto r = read_if_answered(s, motor, n);
    if (!r) return propagate(r);
    if (*r) {
        if (const auto* v = std::get_if<T>(&**r)) return std::optional<T>{*v};
    }
    return std::optional<T>{};
}

}  // namespace

ToolResult<std::vector<FoundMotor>> find_motors(const Session& s, std::uint16_t first,
                                                std::uint16_t last) {
    auto found = damiao::find_motors(s.bus, first, last, s.timeout(), s.format);
    if (!found)
        return std::unexpected(failure_of(found.error().error, found.error().motor_id,
                                          "a scan's read of MST_ID", s.timeout()));
    return std::move(*found);
}

ToolResult<std::vector<ScannedMotor>> scan(const Session& s, std::uint16_t first, std::uint16_t last) {
    auto found = find_motors(s, first, last);
    if (!found) return propagate(found);
    std::vector<ScannedMotor> out;
    for (const auto& f : *found) {
        const auto motor = s.motor(f.id, f.master_id);
        ScannedMotor m{f, {}, {}, {}};
        auto mode = optional_read<std::uint32_t>(s, motor, registers::CTRL_MODE);
        if (!mode) return propagate(mode);
        m.mode = *mode;
        for (const auto reg : damiao::ReportedRanges::kRegisters) {
            auto v = read_if_answered(s, motor, reg);
            if (!v) return propagate(v);
            if (*v) m.ranges.note(reg, **v);
        }
        auto sw = optional_read<std::uint32_t>(s, motor, registers::sw_ver);
        if (!sw) return propagate(sw);
        m.sw_ver = *sw;
        out.push_back(m);
    }
    return out;
}

std::vector<std::string_view> matching_models(const damiao::MitLimits& reported) {
    std::vector<std::string_view> names;
    for (const auto& p : damiao::presets::kAll)
        if (p.limits.p_max == reported.p_max && p.limits.v_max == reported.v_max &&
            p.limits.t_max == reported.t_max)
            names.push_back(p.name);
    return names;
}

Value mode_value(std::uint32_t mode) {
    if (const auto name = damiao::modes::name_of(mode)) return Value(std::string(*name));
    return Value(mode);
}

Value scan_entry(const ScannedMotor& m) {
    Items models;
    if (const auto limits = m.ranges.limits())
        for (const auto name : matching_models(*limits)) models.emplace_back(std::string(name));
    auto opt = [](const auto& o) { return o ? Value(*o) : Value(); };
    return Members{
        {"id", Value(CanIdNumber{m.found.id})},
        {"master_id", Value(CanIdNumber{m.found.master_id})},
        {"mode", m.mode ? mode_value(*m.mode) : Value()},
        {"pmax", opt(m.ranges.pmax)},
        {"vmax", opt(m.ranges.vmax)},
        {"tmax", opt(m.ranges.tmax)},
        {"models", Value(std::move(models))},
        {"sw_ver", opt(m.sw_ver)},
    };
}

}  // namespace velkarin::tool
