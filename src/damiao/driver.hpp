// The driver for one Damiao motor. It holds no bus: every operation is handed
// the bus for the length of the call, so one bus serves many motors.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>

#include "../transport/transport.hpp"
#include "command.hpp"
#include "error.hpp"
#include "frame_format.hpp"
#include "mit/codec.hpp"
#include "modes/control_setpoint.hpp"
#include "registers.hpp"

namespace velkarin::damiao {

// How long the motor is given to act on a control-mode write before it is
// read back.
inline constexpr std::chrono::milliseconds kModeSwitchPause{100};

// How long the motor is given to act on a write of `reg` before it is read
// back: the control mode's switch; every other register takes effect at once.
std::chrono::milliseconds settle_time(std::uint8_t reg);

// The pause between a control-mode write and its read-back. The default is
// the bus's own pause; tests hand in one that records instead. It returns
// false when it was cut short by a signal that should end the operation (the
// mode switch then fails with Backend(EINTR)).
using Pause = std::function<bool(std::chrono::milliseconds)>;

// What a Damiao object does beyond the defaults: how strictly it recognises
// register replies, and which frames it sends.
struct DriverOptions {
    registers::ReplyRule reply_rule = registers::ReplyRule::AnySender;
    FrameFormat format = FrameFormat::Classic;
};

class Damiao {
public:
    Damiao(std::uint16_t motor_id, std::uint16_t master_id, MitLimits limits,
           std::uint64_t timeout_ms, DriverOptions options = {})
        : motor_id_(motor_id), master_id_(master_id), limits_(limits),
          timeout_(transport::Duration::from_millis(timeout_ms)), options_(options) {}

    std::uint16_t motor_id() const { return motor_id_; }
    std::uint16_t master_id() const { return master_id_; }
    const MitLimits& limits() const { return limits_; }
    transport::Duration timeout() const { return timeout_; }
    const DriverOptions& options() const { return options_; }

    // The identifier every reply of this motor comes on: standard, master_id & 0x7FF.
    transport::CanId reply_id() const;
    // The frame `command` puts on the bus for this motor in `format`, built
    // without sending it. Errors: InvalidLimits (an MIT setpoint with limits
    // the codec refuses).
    Result<transport::CanFrame> frame_of(const Command& command, FrameFormat format) const;
    // The same in the object's own format.
    Result<transport::CanFrame> frame_of(const Command& command) const;
    // A reply frame decoded with this motor's limits.
    // Errors: ShortReply (fewer than 8 data bytes).
    Result<MotorState> decode_reply(const transport::CanFrame& reply) const;

    // Sends `data` on standard id `arbitration_id & 0x7FF` and decodes the
    // first reply on `master_id & 0x7FF`. Errors: Transport (send failure,
    // receive failure, Timeout), ShortReply (fewer than 8 reply bytes).
    Result<MotorState> cmd_at_arbitration(transport::CanTransport& bus,
                                          std::uint16_t arbitration_id, const Payload& data) const;

    // Any command's exchange: its frame out (frame_of), its reply in.
    // Errors as cmd_at_arbitration, plus InvalidLimits (nothing sent).
    Result<MotorState> command(transport::CanTransport& bus, const Command& command) const;

    Result<MotorState> enable(transport::CanTransport& bus) const;
    Result<MotorState> disable(transport::CanTransport& bus) const;
    Result<MotorState> set_zero(transport::CanTransport& bus) const;
    Result<MotorState> clear_error(transport::CanTransport& bus) const;

    // Errors as cmd_at_arbitration, plus InvalidLimits (nothing sent).
    Result<MotorState> mit_control(transport::CanTransport& bus, const MitSetpoint& sp) const;
    Result<MotorState> control(transport::CanTransport& bus, const ControlSetpoint& sp) const;

    // The value of register `reg`, its reply recognised by the object's
    // reply rule. Errors: UnknownRegister (nothing sent), Transport.
    Result<RegisterValue> read_register(transport::CanTransport& bus, std::uint8_t reg) const;
    // Errors: UnknownRegister, ReadOnlyRegister, RegisterKindMismatch (nothing
    // sent for these), Transport. No reply is awaited.
    Result<void> write_register(transport::CanTransport& bus, std::uint8_t reg,
                                RegisterValue value) const;
    // This motor as it is once `value` is written to `reg`: it uses a new
    // CAN id (ESC_ID) or master id (MST_ID) at once.
    Damiao after_write(std::uint8_t reg, const RegisterValue& value) const;
    // Writes `value` to `reg`, gives the motor settle_time(reg) (through
    // bus.pause), and reads the register back from the motor as it is after
    // the write. Returns the value read back. Errors: those of write_register
    // and read_register, Transport (Backend EINTR when the pause was cut
    // short), WriteVerifyFailed (another value read back).
    Result<RegisterValue> write_verified(transport::CanTransport& bus, std::uint8_t reg,
                                         RegisterValue value) const;
    // The same, pausing through `pause`.
    Result<RegisterValue> write_verified(transport::CanTransport& bus, std::uint8_t reg,
                                         RegisterValue value, const Pause& pause) const;
    // Asks the motor to keep every parameter in flash. Motors are not known
    // to answer, so nothing is awaited. Errors: Transport.
    Result<void> store_parameters(transport::CanTransport& bus) const;
    // Reads register 10, writes `mode` if it differs, pauses 100 ms (through
    // bus.pause) and reads it back. Errors: Transport (Backend EINTR when the
    // pause was cut short), RegisterKindMismatch, ModeVerifyFailed.
    Result<void> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode) const;
    // The same, pausing through `pause` instead of sleeping the thread.
    Result<void> ensure_control_mode(transport::CanTransport& bus, std::uint8_t mode,
                                     const Pause& pause) const;

private:
    // Sends a request on 0x7FF, waiting no longer than the time-out for room.
    Result<void> send_request(transport::CanTransport& bus, const Payload& request) const;

    std::uint16_t motor_id_;
    std::uint16_t master_id_;
    MitLimits limits_;
    transport::Duration timeout_;
    DriverOptions options_;
};

// A read of the control-mode register as an unsigned 32-bit mode.
// Errors: RegisterKindMismatch{10, Uint32, Float} for a Float value.
Result<std::uint32_t> control_mode_of(const RegisterValue& value);

}  // namespace velkarin::damiao
