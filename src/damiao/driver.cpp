// The Damiao driver: command frames and their feedback replies, control-mode
// dispatch, register reads and writes, and the verified control-mode switch.
#include "damiao/driver.hpp"

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "damiao/motor_ids.hpp"
#include "damiao/special_commands.hpp"

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::CanId;

// Register 10 as a mode number; a Float there is a kind mismatch.
Result<std::uint32_t> read_control_mode(const Damiao& motor, transport::CanTransport& bus) {
    auto value = motor.read_register(bus, registers::CTRL_MODE);
    if (!value) return std::unexpected(std::move(value.error()));
    return control_mode_of(*value);
}

template <typename... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};

// The mode of each setpoint and the payload of its frame.
struct ModeFrame {
    ControlMode mode;
    Payload payload;
};
ModeFrame mode_frame(const setpoints::PosVel& s) {
    return {ControlMode::PosVel, modes::pos_vel_payload(s)};
}
ModeFrame mode_frame(const setpoints::Vel& s) { return {ControlMode::Vel, modes::vel_payload(s)}; }
ModeFrame mode_frame(const setpoints::ForcePos& s) {
    return {ControlMode::ForcePos, modes::force_pos_payload(s)};
}

// A pause that sleeps on the bus.
Pause pause_on(transport::CanTransport& bus) {
    return [&bus](std::chrono::milliseconds d) {
        return bus.pause(transport::from_chrono(d)).has_value();
    };
}

// One command out, its reply in: the exchange of every command.
Result<MotorState> exchange(const Damiao& motor, transport::CanTransport& bus,
                            const Result<CanFrame>& frame) {
    if (!frame) return std::unexpected(frame.error());
    auto reply = bus.request(*frame, motor.reply_id(), motor.timeout());
    if (!reply) return std::unexpected(Error(reply.error()));
    return motor.decode_reply(*reply);
}

}  // namespace

CanId Damiao::reply_id() const { return reply_id_of(master_id_); }

// The reply's id nibble is reported as received, not compared with ours.
Result<MotorState> Damiao::decode_reply(const CanFrame& reply) const {
    auto state = mit::decode_feedback(limits_, reply.data());
    if (!state) return std::unexpected(Error(errors::ShortReply{state.error().len}));
    return *state;
}

// Encoding comes first: limits the codec refuses mean no frame to send.
Result<CanFrame> Damiao::frame_of(const Command& command, FrameFormat format) const {
    const CanId mit_id = command_id(motor_id_, ControlMode::Mit);
    return std::visit(
        Overloaded{
            [&]<typename Special>(Special) -> Result<CanFrame> {
                return frame_on(mit_id, special_payload(Special::kind), format);
            },
            [&](commands::Refresh) -> Result<CanFrame> {
                return registers::request_frame(registers::refresh_request(motor_id_), format);
            },
            [&](const MitSetpoint& sp) -> Result<CanFrame> {
                auto payload = mit::encode(limits_, sp);
                if (!payload) return std::unexpected(Error(errors::InvalidLimits{payload.error()}));
                return frame_on(mit_id, *payload, format);
            },
            [&](const ControlSetpoint& sp) -> Result<CanFrame> {
                return std::visit(
                    Overloaded{
                        [&](const setpoints::Mit& s) { return frame_of(s.sp, format); },
                        [&](const auto& s) -> Result<CanFrame> {
                            const ModeFrame f = mode_frame(s);
                            return frame_on(command_id(motor_id_, f.mode), f.payload, format);
                        },
                    },
                    sp.get());
            },
        },
        command);
}

Result<CanFrame> Damiao::frame_of(const Command& command) const {
    return frame_of(command, options_.format);
}

Result<MotorState> Damiao::cmd_at_arbitration(transport::CanTransport& bus,
                                              std::uint16_t arbitration_id,
                                              const Payload& data) const {
    const CanId id = CanId::standard_low_bits(arbitration_id);
    return exchange(*this, bus, frame_on(id, data, options_.format));
}

Result<MotorState> Damiao::command(transport::CanTransport& bus, const Command& c) const {
    return exchange(*this, bus, frame_of(c));
}

Result<MotorState> Damiao::enable(transport::CanTransport& bus) const {
    return command(bus, commands::Enable{});
}

Result<MotorState> Damiao::disable(transport::CanTransport& bus) const {
    return command(bus, commands::Disable{});
}

Result<MotorState> Damiao::set_zero(transport::CanTransport& bus) const {
    return command(bus, commands::SetZero{});
}

Result<MotorState> Damiao::clear_error(transport::CanTransport& bus) const {
    return command(bus, commands::ClearError{});
}

// No frame goes out when the codec refuses the limits.
Result<MotorState> Damiao::mit_control(transport::CanTransport& bus, const MitSetpoint& sp) const {
    return command(bus, sp);
}

// No mode check here: a motor whose register 10 names another mode simply
// ignores the frame (and still answers with feedback).
Result<MotorState> Damiao::control(transport::CanTransport& bus, const ControlSetpoint& sp) const {
    return command(bus, sp);
}

Result<void> Damiao::send_request(transport::CanTransport& bus, const Payload& request) const {
    const CanFrame frame = registers::request_frame(request, options_.format);
    if (auto sent = bus.send_within(frame, timeout_); !sent) return std::unexpected(Error(sent.error()));
    return {};
}

// A register reply is known by its content, not by the identifier alone (a
// request() would take the first frame on the master id), so this awaits it
// with the reply rule instead.
Result<RegisterValue> Damiao::read_register(transport::CanTransport& bus, std::uint8_t reg) const {
    const RegisterInfo* info = registers::find(reg);
    if (info == nullptr) return std::unexpected(Error(errors::UnknownRegister{reg}));
    if (auto sent = send_request(bus, registers::read_request(motor_id_, reg)); !sent)
        return std::unexpected(sent.error());

    // Taken after the send, so transmit time does not eat into the wait.
    const auto deadline = transport::later_by(transport::Clock::now(), timeout_);
    auto value_in = [&](const CanFrame& f) {
        return registers::read_reply_value(f, options_.reply_rule, motor_id_, reg, reply_id());
    };
    // Feedback frames, write echoes and other registers' replies are dropped.
    auto reply = bus.receive_until(deadline, [&](const CanFrame& f) { return value_in(f).has_value(); });
    if (!reply) return std::unexpected(Error(reply.error()));
    return value_of_kind(info->kind, *value_in(*reply));
}

Result<void> Damiao::write_register(transport::CanTransport& bus, std::uint8_t reg,
                                    RegisterValue value) const {
    const RegisterInfo* info = registers::find(reg);
    if (info == nullptr) return std::unexpected(Error(errors::UnknownRegister{reg}));
    if (info->access == RegisterAccess::ReadOnly) {
        return std::unexpected(Error(errors::ReadOnlyRegister{reg}));
    }
    if (kind_of(value) != info->kind) {
        return std::unexpected(Error(errors::RegisterKindMismatch{reg, info->kind, kind_of(value)}));
    }
    // Whatever the motor sends back is not awaited; a later read skips it.
    return send_request(bus, registers::write_request(motor_id_, reg, raw_bits(value)));
}

Result<void> Damiao::store_parameters(transport::CanTransport& bus) const {
    return send_request(bus, registers::store_request(motor_id_));
}

Damiao Damiao::after_write(std::uint8_t reg, const RegisterValue& value) const {
    Damiao after = *this;
    const auto* id = std::get_if<std::uint32_t>(&value);
    if (id != nullptr && reg == registers::ESC_ID) after.motor_id_ = static_cast<std::uint16_t>(*id);
    if (id != nullptr && reg == registers::MST_ID) after.master_id_ = static_cast<std::uint16_t>(*id);
    return after;
}

Result<RegisterValue> Damiao::write_verified(transport::CanTransport& bus, std::uint8_t reg,
                                             RegisterValue value, const Pause& pause) const {
    if (auto written = write_register(bus, reg, value); !written) return std::unexpected(written.error());
    if (const auto settle = settle_time(reg); settle.count() > 0 && !pause(settle))
        return std::unexpected(Error(transport::TransportError::backend_errno(EINTR)));
    const Damiao after = after_write(reg, value);
    auto back = after.read_register(bus, reg);
    if (!back) return back;
    // Compared bit for bit: a float NaN written reads back as the same NaN.
    if (raw_bits(*back) != raw_bits(value))
        return std::unexpected(Error(errors::WriteVerifyFailed{reg, after.motor_id(), value, *back}));
    return back;
}

// The pause sleeps on the bus, so that a signal reaches its interrupt
// handler exactly as during a wait for a reply.
Result<RegisterValue> Damiao::write_verified(transport::CanTransport& bus, std::uint8_t reg,
                                             RegisterValue value) const {
    return write_verified(bus, reg, value, pause_on(bus));
}

Result<void> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const {
    return ensure_control_mode(bus, mode, pause_on(bus));
}

// Read, and only if the mode differs: the verified write (write, give the
// firmware time to switch, read back). At most three frames; nothing is
// retried or undone.
Result<void> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                         const Pause& pause) const {
    auto current = read_control_mode(*this, bus);
    if (!current) return std::unexpected(std::move(current.error()));
    if (*current == mode) return {};

    auto reported = write_verified(bus, registers::CTRL_MODE, RegisterValue{std::uint32_t{mode}}, pause);
    if (reported) return {};
    // Compared in full 32 bits (257 is not 1), reported in its low 8.
    if (const auto* v = reported.error().as<errors::WriteVerifyFailed>()) {
        const auto back = control_mode_of(v->reported);
        if (!back) return std::unexpected(std::move(back.error()));
        return std::unexpected(Error(errors::ModeVerifyFailed{mode, static_cast<std::uint8_t>(*back)}));
    }
    return std::unexpected(std::move(reported.error()));
}

std::chrono::milliseconds settle_time(std::uint8_t reg) {
    return reg == registers::CTRL_MODE ? kModeSwitchPause : std::chrono::milliseconds{0};
}

Result<std::uint32_t> control_mode_of(const RegisterValue& value) {
    if (const auto* mode = std::get_if<std::uint32_t>(&value)) return *mode;
    return std::unexpected(Error(errors::RegisterKindMismatch{
        registers::CTRL_MODE, RegisterKind::Uint32, RegisterKind::Float}));
}

}  // namespace velkarin::damiao
