// The firmware of one simulated Damiao motor: enable state, control mode,
// fault latch, registers and the rigid body, answering the frames addressed
// to it as the motor does. No I/O: time comes in with every call.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <utility>
#include <variant>

#include "damiao/mit/codec.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/motor_status.hpp"
#include "sim/models.hpp"
#include "sim/physics.hpp"
#include "sim/register_file.hpp"
#include "transport/can_frame.hpp"

namespace velkarin::sim {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;
using transport::CanFrame;

// The high nibble of feedback byte 0.
using Status = damiao::MotorStatus;

inline constexpr double kAmbientCelsius = 25.0;
inline constexpr double kDefaultRateHz = 10'000.0;
// After a long idle gap the body is stepped at most this many times; the
// rest of the gap is skipped (the body has long settled by then).
inline constexpr std::int64_t kMaxCatchUpSteps = 20'000;

// The setpoint the motor is acting on, in the frame of its control mode.
namespace active {
struct None {};
struct Mit { double q, dq, kp, kd, tau; };
struct PosVel { double position, velocity; };
struct Vel { double velocity; };
struct ForcePos { double position, velocity_limit, torque_ratio; };
}  // namespace active
using ActiveSetpoint =
    std::variant<active::None, active::Mit, active::PosVel, active::Vel, active::ForcePos>;

class Firmware {
public:
    Firmware(const MotorModel& model, std::uint16_t can_id, std::uint16_t master_id,
             std::uint8_t control_mode, double rate_hz, TimePoint now);

    // Whether the firmware listens to `frame`: a standard-id frame of 8
    // bytes on its id plus 0x000/0x100/0x200/0x300, or a register request on
    // 0x7FF whose bytes 0-1 (all 16 bits) equal its CAN id; classic, or
    // CAN FD once the motor runs at an FD bit rate code.
    bool addressed(const CanFrame& frame) const;

    // The motor takes up the can_br it holds now, as a real one does when
    // it powers up: called at start. A later write of can_br changes the
    // register (and what a store keeps) but not the bus until the next start.
    void apply_bit_rate();
    // The can_br code the motor runs at, and whether that code is CAN FD.
    std::uint32_t running_can_br() const { return running_can_br_; }
    bool runs_fd() const;

    // Brings the body up to `now`, acts on `frame` and returns the answer:
    // a feedback frame for every command frame (also one for a mode other
    // than register 10's, which is not acted on), a register reply for a
    // known register, nothing for an unknown register or unknown request.
    // The answer has the command's format: CAN FD, with its bit-rate switch,
    // for an FD command; classic for a classic one.
    // The frame must be addressed to this motor.
    std::optional<CanFrame> handle(const CanFrame& frame, TimePoint now);

    // Steps the body, the thermal model and the watchdog up to `now` in
    // fixed steps; a partial step is left for the next call.
    void advance(TimePoint now);

    // A register write with the rules of a write from the bus (known,
    // writable, in range) and its effects; for start-up settings.
    RegisterFile::WriteResult write_register(std::uint8_t number, std::uint32_t raw_value);

    // True once after a store request: the simulator then keeps the
    // registers in its flash.
    bool take_store_request() { return std::exchange(store_requested_, false); }

    // Latches a fault as the firmware's protection would: the motor
    // disables itself and reports the code until clear-error.
    void raise_fault(Status fault);

    Status status() const;
    bool enabled() const { return enabled_; }
    std::optional<Status> fault() const { return fault_; }
    std::uint8_t control_mode() const;
    std::uint16_t can_id() const;
    std::uint16_t master_id() const;
    const BodyState& body() const { return body_; }
    const ActiveSetpoint& setpoint() const { return setpoint_; }
    const RegisterFile& registers() const { return regs_; }
    const MotorModel& model() const { return *model_; }
    // Whole degrees as the feedback reports them.
    std::uint8_t t_mos() const;
    std::uint8_t t_rotor() const;

    // The feedback payload for the present state.
    damiao::MitPayload feedback() const;

private:
    // A frame on one of its command identifiers: `mode` is the one it belongs to.
    std::optional<CanFrame> handle_command(const CanFrame& frame, damiao::ControlMode mode);
    std::optional<CanFrame> handle_register(const CanFrame& frame);
    void act_on_mode_frame(damiao::ControlMode mode, const CanFrame& frame);
    void step_once(TimePoint t);
    void check_watchdog(TimePoint t);
    LinearLaw law() const;
    BodyParams body_params() const;
    // The MIT ranges of the moment: PMAX, VMAX, TMAX and the fixed gain ranges.
    damiao::MitLimits mit_limits() const;
    CanFrame reply(const damiao::MitPayload& data) const;

    const MotorModel* model_;
    RegisterFile regs_;
    BodyState body_;
    ActiveSetpoint setpoint_;
    bool enabled_ = false;
    bool store_requested_ = false;
    std::uint32_t running_can_br_ = kDefaultCanBr;
    std::optional<Status> fault_;
    double t_mos_ = kAmbientCelsius;
    double t_rotor_ = kAmbientCelsius;
    Clock::duration step_;
    TimePoint stepped_to_;
    TimePoint last_frame_;
};

}  // namespace velkarin::sim
