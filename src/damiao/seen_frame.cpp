#include "damiao/seen_frame.hpp"

#include "damiao/motor_ids.hpp"
#include "damiao/registers.hpp"

namespace velkarin::damiao {
namespace {

// Register traffic is recognised by content: a feedback frame could spell
// the same bytes by chance, a risk every register reader on a shared bus takes.
std::optional<SeenRegister> register_traffic(std::uint16_t motor_id, bool reply,
                                             std::span<const std::uint8_t> data) {
    if (data.size() != 8) return std::nullopt;
    const auto request = registers::parse_request(data);
    if (!request || request->motor_id != motor_id || !register_op_name(request->op)) return std::nullopt;
    return SeenRegister{reply, request->op, request->reg, request->value};
}

SeenFrame command_frame(const WatchedMotor& motor, ControlMode mode, std::span<const std::uint8_t> data) {
    switch (mode) {
        case ControlMode::Mit: {
            if (const auto special = special_command_of(data)) return SeenSpecial{*special};
            if (auto sp = mit::decode_command(motor.limits, data)) return SeenSetpoint{setpoints::Mit{*sp}};
            return {};
        }
        case ControlMode::PosVel:
            if (auto s = modes::parse_pos_vel(data)) return SeenSetpoint{*s};
            return {};
        case ControlMode::Vel:
            if (auto s = modes::parse_vel(data)) return SeenSetpoint{*s};
            return {};
        case ControlMode::ForcePos:
            if (auto f = modes::parse_force_pos(data))
                return SeenSetpoint{setpoints::ForcePos{
                    f->position, static_cast<float>(f->speed_count) / modes::kForcePosSpeedScale,
                    static_cast<float>(f->torque_count) / modes::kForcePosTorqueScale}};
            return {};
    }
    return {};
}

}  // namespace

SeenFrame read_seen_frame(const WatchedMotor& motor, transport::CanId id, std::span<const std::uint8_t> data) {
    if (id.kind != transport::CanId::Kind::Standard) return {};
    if (id == reply_id_of(motor.master_id)) {
        if (auto r = register_traffic(motor.motor_id, true, data)) return *r;
        if (auto state = mit::decode_feedback(motor.limits, data)) return SeenFeedback{*state};
        return {};
    }
    if (id.value == registers::kRequestId) {
        if (auto r = register_traffic(motor.motor_id, false, data)) return *r;
        return {};
    }
    if (const auto mode = mode_of_command_id(motor.motor_id, id)) return command_frame(motor, *mode, data);
    return {};
}

std::array<transport::CanId, 6> seen_frame_ids(const WatchedMotor& motor) {
    const auto commands = command_ids(motor.motor_id);
    return {commands[0], commands[1], commands[2], commands[3], reply_id_of(motor.master_id),
            transport::CanId::standard(registers::kRequestId)};
}

std::optional<std::string_view> register_op_name(std::uint8_t op) {
    switch (op) {
        case registers::kRead: return "read";
        case registers::kWrite: return "write";
        case registers::kStore: return "store";
        case registers::kRefresh: return "refresh";
        default: return std::nullopt;
    }
}

std::string_view special_command_name(SpecialCommand command) {
    switch (command) {
        case SpecialCommand::Enable: return "enable";
        case SpecialCommand::Disable: return "disable";
        case SpecialCommand::SetZero: return "zero";
        case SpecialCommand::ClearError: return "clear";
    }
    return "";
}

}  // namespace velkarin::damiao
