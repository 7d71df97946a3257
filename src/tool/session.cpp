// Register reads, identification and command exchanges on the core's driver.
#include "tool/session.hpp"

#include <string>

#include "damiao/reported_limits.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;

std::string read_of(std::uint8_t reg) {
    const auto* info = registers::find(reg);
    return "a read of " + (info != nullptr ? std::string(info->variable) : std::to_string(reg));
}

}  // namespace

damiao::Damiao Session::motor(std::uint16_t id, std::uint16_t master,
                              const damiao::MitLimits& limits) const {
    return damiao::Damiao(id, master, limits, timeout_ms,
                          damiao::DriverOptions{registers::ReplyRule::AddressedMotor, format});
}

ToolResult<damiao::RegisterValue> read_register(const Session& s, const damiao::Damiao& motor,
                                                std::uint8_t reg) {
    auto v = motor.read_register(s.bus, reg);
    if (!v) return std::unexpected(failure_of(v.error(), motor.motor_id(), read_of(reg), s.timeout()));
    return *v;
}

ToolResult<std::optional<damiao::RegisterValue>> read_if_answered(const Session& s,
                                                                  const damiao::Damiao& motor,
                                                                  std::uint8_t reg) {
    auto v = read_register(s, motor, reg);
    if (v) return std::optional(*v);
    if (v.error().kind == Failure::Kind::NoAnswer) return std::optional<damiao::RegisterValue>{};
    return propagate(v);
}

// The master id a motor is built with here does not matter: a read of MST_ID
// is matched on the identifier its value names.
ToolResult<std::uint16_t> read_master_id(const Session& s, std::uint16_t id) {
    auto v = read_register(s, s.motor(id), registers::MST_ID);
    if (!v) return propagate(v);
    return static_cast<std::uint16_t>(std::get<std::uint32_t>(*v));
}

ToolResult<damiao::Damiao> addressed(const Session& s, std::uint16_t id) {
    auto master = read_master_id(s, id);
    if (!master) return propagate(master);
    return s.motor(id, *master);
}

ToolResult<damiao::Damiao> identify(const Session& s, std::uint16_t id,
                                    std::optional<std::uint16_t> master) {
    if (!master) {
        auto m = read_master_id(s, id);
        if (!m) return propagate(m);
        master = *m;
    }
    const auto motor = s.motor(id, *master);
    damiao::ReportedRanges ranges;
    for (const auto reg : damiao::ReportedRanges::kRegisters) {
        auto v = read_register(s, motor, reg);
        if (!v) return propagate(v);
        ranges.note(reg, *v);
    }
    return s.motor(id, *master, ranges.limits().value_or(damiao::MitLimits{}));
}

ToolResult<damiao::MotorState> exchange(const Session& s, const damiao::Damiao& motor,
                                        const damiao::Command& command, std::string_view what) {
    auto state = motor.command(s.bus, command);
    if (!state) return std::unexpected(failure_of(state.error(), motor.motor_id(), what, s.timeout()));
    return *state;
}

}  // namespace velkarin::tool
