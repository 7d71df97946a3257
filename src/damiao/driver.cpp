// The Damiao driver: command frames and their feedback replies, control-mode
// dispatch, register reads and writes, and the verified control-mode switch.
#include "damiao/driver.hpp"

#include <cerrno>
#include <chrono>
#include <optional>
#include <utility>

#include "damiao/special_commands.hpp"

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::CanId;

// Only the low 11 bits of an id go on the wire as a standard identifier; the
// ids themselves keep all 16 bits (register requests carry them whole).
constexpr std::uint16_t kStandardIdMask = 0x7FF;

// Every frame the driver sends: classic, standard id, exactly 8 bytes.
CanFrame command_frame(std::uint16_t id, const Payload& data) {
    return CanFrame(CanId::standard(static_cast<std::uint16_t>(id & kStandardIdMask)), data);
}

// The mode offsets are added in full width and truncated to 16 bits here;
// masking to 11 bits afterwards gives the same wire id as masking the full
// sum (0x300 + 0x7FF goes out as 0x2FF).
std::uint16_t offset_id(std::uint16_t base, std::uint16_t motor_id) {
    return static_cast<std::uint16_t>(base + motor_id);
}

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

// Each mode's frame on its own identifier offset.
Result<CanFrame> mode_frame(const Damiao& motor, const ControlSetpoint& sp) {
    return std::visit(
        Overloaded{
            [&](const setpoints::Mit& s) { return motor.frame_of(s.sp); },
            [&](const setpoints::PosVel& s) -> Result<CanFrame> {
                return command_frame(offset_id(modes::kPosVelBase, motor.motor_id()),
                                     modes::pos_vel_payload(s));
            },
            [&](const setpoints::Vel& s) -> Result<CanFrame> {
                return command_frame(offset_id(modes::kVelBase, motor.motor_id()),
                                     modes::vel_payload(s));
            },
            [&](const setpoints::ForcePos& s) -> Result<CanFrame> {
                return command_frame(offset_id(modes::kForcePosBase, motor.motor_id()),
                                     modes::force_pos_payload(s));
            },
        },
        sp.get());
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

CanId Damiao::reply_id() const {
    return CanId::standard(static_cast<std::uint16_t>(master_id_ & kStandardIdMask));
}

// The reply's id nibble is reported as received, not compared with ours.
Result<MotorState> Damiao::decode_reply(const CanFrame& reply) const {
    auto state = mit::decode_feedback(limits_, reply.data());
    if (!state) return std::unexpected(Error(errors::ShortReply{state.error().len}));
    return *state;
}

// Encoding comes first: limits the codec refuses mean no frame to send.
Result<CanFrame> Damiao::frame_of(const Command& command) const {
    return std::visit(
        Overloaded{
            [&]<typename Special>(Special) -> Result<CanFrame> {
                return command_frame(motor_id_, special_payload(Special::kind));
            },
            [&](const MitSetpoint& sp) -> Result<CanFrame> {
                auto payload = mit::encode(limits_, sp);
                if (!payload) return std::unexpected(Error(errors::InvalidLimits{payload.error()}));
                return command_frame(motor_id_, *payload);
            },
            [&](const ControlSetpoint& sp) { return mode_frame(*this, sp); },
        },
        command);
}

Result<MotorState> Damiao::cmd_at_arbitration(transport::CanTransport& bus,
                                              std::uint16_t arbitration_id,
                                              const Payload& data) const {
    return exchange(*this, bus, command_frame(arbitration_id, data));
}

Result<MotorState> Damiao::enable(transport::CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_payload(SpecialCommand::Enable));
}

Result<MotorState> Damiao::disable(transport::CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_payload(SpecialCommand::Disable));
}

Result<MotorState> Damiao::set_zero(transport::CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_payload(SpecialCommand::SetZero));
}

Result<MotorState> Damiao::clear_error(transport::CanTransport& bus) const {
    return cmd_at_arbitration(bus, motor_id_, special_payload(SpecialCommand::ClearError));
}

// No frame goes out when the codec refuses the limits.
Result<MotorState> Damiao::mit_control(transport::CanTransport& bus, const MitSetpoint& sp) const {
    return exchange(*this, bus, frame_of(sp));
}

// No mode check here: a motor whose register 10 names another mode simply
// ignores the frame (and still answers with feedback).
Result<MotorState> Damiao::control(transport::CanTransport& bus, const ControlSetpoint& sp) const {
    return exchange(*this, bus, frame_of(sp));
}

// A register reply is known by its content, not its id (the motor answers on
// its master id, and any sender's look-alike is taken), so this awaits it with
// its own test instead of request().
Result<RegisterValue> Damiao::read_register(transport::CanTransport& bus, std::uint8_t reg) const {
    const RegisterInfo* info = registers::find(reg);
    if (info == nullptr) return std::unexpected(Error(errors::UnknownRegister{reg}));

    const CanFrame frame = command_frame(registers::kRequestId, registers::read_request(motor_id_, reg));
    if (auto sent = bus.send_within(frame, timeout_); !sent) return std::unexpected(Error(sent.error()));

    // Taken after the send, so transmit time does not eat into the wait.
    const auto deadline = transport::Clock::now() + timeout_.to_clock();
    std::optional<std::uint32_t> raw;
    // Feedback frames, write echoes and other registers' replies are dropped.
    auto reply = bus.receive_until(deadline, [&](const CanFrame& f) {
        raw = registers::match_read_reply(f.data(), reg);
        return raw.has_value();
    });
    if (!reply) return std::unexpected(Error(reply.error()));
    return value_of_kind(info->kind, *raw);
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
    const CanFrame frame = command_frame(registers::kRequestId,
                                         registers::write_request(motor_id_, reg, raw_bits(value)));
    // Whatever the motor sends back is not awaited; a later read skips it.
    if (auto sent = bus.send_within(frame, timeout_); !sent) return std::unexpected(Error(sent.error()));
    return {};
}

// The pause sleeps on the bus, so that a signal reaches its interrupt
// handler exactly as during a wait for a reply.
Result<void> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const {
    return ensure_control_mode(bus, mode, [&bus](std::chrono::milliseconds d) {
        return bus.pause(transport::Duration::from_millis(static_cast<std::uint64_t>(d.count())))
            .has_value();
    });
}

// Read, and only if the mode differs: write, give the firmware time to switch,
// read back. At most three frames; nothing is retried or undone.
Result<void> Damiao::ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                         const Pause& pause) const {
    auto current = read_control_mode(*this, bus);
    if (!current) return std::unexpected(std::move(current.error()));
    if (*current == mode) return {};

    auto written = write_register(bus, registers::CTRL_MODE, RegisterValue{std::uint32_t{mode}});
    if (!written) return written;
    if (!pause(kModeSwitchPause))
        return std::unexpected(Error(transport::TransportError::backend_errno(EINTR)));

    auto reported = read_control_mode(*this, bus);
    if (!reported) return std::unexpected(std::move(reported.error()));
    // Compared in full 32 bits (257 is not 1), reported in its low 8.
    if (*reported != mode) {
        return std::unexpected(
            Error(errors::ModeVerifyFailed{mode, static_cast<std::uint8_t>(*reported)}));
    }
    return {};
}

Result<std::uint32_t> control_mode_of(const RegisterValue& value) {
    if (const auto* mode = std::get_if<std::uint32_t>(&value)) return *mode;
    return std::unexpected(Error(errors::RegisterKindMismatch{
        registers::CTRL_MODE, RegisterKind::Uint32, RegisterKind::Float}));
}

}  // namespace velkarin::damiao
