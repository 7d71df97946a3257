// Frame handling, protections and stepping of the simulated motor firmware.
#include "sim/firmware.hpp"

#include <algorithm>
#include <cmath>

#include "damiao/bit_rates.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/motor_ids.hpp"
#include "damiao/special_commands.hpp"

namespace velkarin::sim {
namespace {

namespace mit = damiao::mit;
namespace modes = damiao::modes;
using damiao::ControlMode;
using damiao::SpecialCommand;
using transport::CanId;

// A store has no value to answer with; the motor acknowledges it with a 1.
constexpr std::uint32_t kStoreAcknowledged = 1;

// Thermal model: first-order lags towards ambient plus a rise proportional to
// the square of the torque, full rise at peak torque.
constexpr double kMosRise = 80.0;
constexpr double kRotorRise = 90.0;
constexpr double kMosTimeConstant = 20.0;    // s
constexpr double kRotorTimeConstant = 60.0;  // s

// Clamped before the conversion; a NaN (which no clamp catches) reads 0.
std::uint8_t whole_degrees(double celsius) {
    if (!(celsius >= 0.0)) return 0;
    return static_cast<std::uint8_t>(std::min(std::floor(celsius), 255.0));
}

// The step rate as a period that converts to clock ticks without overflow: a
// rate that is not finite and positive, or below 1 Hz, is the default.
double step_rate(double rate_hz) {
    return std::isfinite(rate_hz) && rate_hz >= 1.0 ? rate_hz : kDefaultRateHz;
}

}  // namespace

Firmware::Firmware(const MotorModel& model, std::uint16_t can_id, std::uint16_t master_id,
                   std::uint8_t control_mode, double rate_hz, TimePoint now)
    : model_(&model),
      regs_(model, can_id, master_id, control_mode),
      step_(std::max<Clock::duration>(Clock::duration{1},
                                      std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(1.0 / step_rate(rate_hz))))),
      stepped_to_(now),
      last_frame_(now) {}

std::uint8_t Firmware::control_mode() const {
    return static_cast<std::uint8_t>(regs_.as_uint(registers::CTRL_MODE));
}
std::uint16_t Firmware::can_id() const {
    return static_cast<std::uint16_t>(regs_.as_uint(registers::ESC_ID));
}
std::uint16_t Firmware::master_id() const {
    return static_cast<std::uint16_t>(regs_.as_uint(registers::MST_ID));
}

Status Firmware::status() const {
    if (fault_) return *fault_;
    return enabled_ ? Status::Enabled : Status::Disabled;
}

// A latched over-temperature reads at least the protection threshold, so a
// raised fault and the temperature bytes tell the same story.
std::uint8_t Firmware::t_mos() const {
    double t = t_mos_;
    if (fault_ == Status::MosOverTemperature)
        t = std::max(t, static_cast<double>(regs_.as_float(registers::OT_Value)) + 1.0);
    return whole_degrees(t);
}
std::uint8_t Firmware::t_rotor() const {
    double t = t_rotor_;
    if (fault_ == Status::RotorOverTemperature)
        t = std::max(t, static_cast<double>(regs_.as_float(registers::OT_Value)) + 1.0);
    return whole_degrees(t);
}

void Firmware::apply_bit_rate() { running_can_br_ = regs_.as_uint(registers::can_br); }

bool Firmware::runs_fd() const {
    const auto rates = damiao::bit_rates_of(running_can_br_);
    return rates && rates->data != 0;
}

// A motor at a classic code has a classic CAN controller, which takes no FD
// frame; one at an FD code takes both kinds.
bool Firmware::addressed(const CanFrame& frame) const {
    if (frame.id.kind != CanId::Kind::Standard || frame.size() != 8) return false;
    if (frame.fd && !runs_fd()) return false;
    if (frame.id == CanId::standard(registers::kRequestId))
        return registers::parse_request(frame.data())->motor_id == can_id();
    return damiao::mode_of_command_id(can_id(), frame.id).has_value();
}

std::optional<CanFrame> Firmware::handle(const CanFrame& frame, TimePoint now) {
    advance(now);
    last_frame_ = now;
    auto answer = frame.id == CanId::standard(registers::kRequestId)
                      ? handle_register(frame)
                      : handle_command(frame, *damiao::mode_of_command_id(can_id(), frame.id));
    if (answer) {
        answer->fd = frame.fd;
        answer->brs = frame.fd && frame.brs;
    }
    return answer;
}

std::optional<CanFrame> Firmware::handle_command(const CanFrame& frame, ControlMode mode) {
    if (const auto command = damiao::special_command_of(frame.data())) {
        switch (*command) {
            case SpecialCommand::Enable:
                // A latched fault keeps the motor off until clear-error.
                if (!fault_ && !enabled_) {
                    enabled_ = true;
                    setpoint_ = active::None{};
                }
                break;
            case SpecialCommand::Disable:
                enabled_ = false;
                setpoint_ = active::None{};
                break;
            case SpecialCommand::SetZero:
                body_.position = 0.0;
                break;
            case SpecialCommand::ClearError:
                fault_.reset();
                break;
        }
    } else {
        act_on_mode_frame(mode, frame);
    }
    return reply(feedback());
}

// Each mode's frame comes on its own identifier and is acted on only while
// CTRL_MODE holds that mode; otherwise it is answered and forgotten.
// Non-finite POS_VEL, VEL and FORCE_POS values are ignored.
void Firmware::act_on_mode_frame(ControlMode mode, const CanFrame& frame) {
    const auto d = frame.data();
    if (static_cast<std::uint8_t>(mode) != control_mode()) return;
    switch (mode) {
        case ControlMode::Mit:
            if (const auto sp = mit::decode_command(mit_limits(), d))
                setpoint_ = active::Mit{sp->q, sp->dq, sp->kp, sp->kd, sp->tau};
            return;
        case ControlMode::PosVel:
            if (const auto s = modes::parse_pos_vel(d);
                s && std::isfinite(s->position) && std::isfinite(s->velocity))
                setpoint_ = active::PosVel{s->position, s->velocity};
            return;
        case ControlMode::Vel:
            if (const auto s = modes::parse_vel(d); s && std::isfinite(s->velocity))
                setpoint_ = active::Vel{s->velocity};
            return;
        case ControlMode::ForcePos:
            if (const auto s = modes::parse_force_pos(d); s && std::isfinite(s->position)) {
                // Counts above the cap are the firmware's cap, whatever the sender put.
                const auto cap = modes::kForcePosCountCap;
                setpoint_ = active::ForcePos{
                    s->position,
                    std::min(s->speed_count, cap) / static_cast<double>(modes::kForcePosSpeedScale),
                    std::min(s->torque_count, cap) / static_cast<double>(modes::kForcePosTorqueScale)};
            }
            return;
    }
}

// Reads and writes answer on the master id with the motor's id, the request
// code, the register and its value (after the write); a store is
// acknowledged with a 1 in byte 4; a refresh gets a feedback frame. Unknown
// registers and codes get nothing.
std::optional<CanFrame> Firmware::handle_register(const CanFrame& frame) {
    const auto request = registers::parse_request(frame.data());
    if (!request) return std::nullopt;
    const auto op = request->op;
    const auto number = request->reg;
    // Built after a write, so that new ids are in the answer already.
    auto answer = [&](std::uint32_t v) { return reply(registers::reply(can_id(), op, number, v)); };
    if (op == registers::kStore) {
        store_requested_ = true;
        return answer(kStoreAcknowledged);
    }
    // A refresh asks for one feedback frame and changes nothing.
    if (op == registers::kRefresh) return reply(feedback());
    if (op != registers::kRead && op != registers::kWrite) return std::nullopt;

    if (op == registers::kWrite) {
        // A refused write (read-only, out of range) is answered with the
        // value the register keeps, so a read-back shows it did not take.
        if (write_register(number, request->value) == RegisterFile::WriteResult::Unknown)
            return std::nullopt;
    }
    regs_.set_float(registers::xout, static_cast<float>(body_.position));
    regs_.set_float(registers::p_m,
                    static_cast<float>(body_.position * static_cast<double>(model_->gear_ratio)));
    const auto held = regs_.raw(number);
    if (!held) return std::nullopt;
    return answer(*held);
}

RegisterFile::WriteResult Firmware::write_register(std::uint8_t number, std::uint32_t raw_value) {
    const auto old = regs_.raw(number);
    const auto result = regs_.write(number, raw_value);
    // A new control mode starts from no setpoint: frames of the old mode no
    // longer apply, and the new mode has not been commanded yet.
    if (result == RegisterFile::WriteResult::Applied && number == registers::CTRL_MODE &&
        old != raw_value)
        setpoint_ = active::None{};
    return result;
}

void Firmware::raise_fault(Status fault) {
    fault_ = fault;
    enabled_ = false;
    setpoint_ = active::None{};
}

void Firmware::advance(TimePoint now) {
    if (now <= stepped_to_) return;
    auto steps = (now - stepped_to_) / step_;
    if (steps > kMaxCatchUpSteps) {
        stepped_to_ += (steps - kMaxCatchUpSteps) * step_;
        check_watchdog(stepped_to_);
        steps = kMaxCatchUpSteps;
    }
    for (std::int64_t i = 0; i < steps; ++i) {
        stepped_to_ += step_;
        step_once(stepped_to_);
    }
}

void Firmware::check_watchdog(TimePoint t) {
    const auto counts = regs_.as_uint(registers::TIMEOUT);
    if (!enabled_ || counts == 0) return;
    const auto limit = registers::timeout_of_counts(counts);
    if (t - last_frame_ > limit) raise_fault(Status::LostCommunication);
}

void Firmware::step_once(TimePoint t) {
    check_watchdog(t);
    const double dt = std::chrono::duration<double>(step_).count();
    step(body_, body_params(), law(), dt);

    const double load = body_.torque / model_->torque_limit;
    const double heat = load * load;
    t_mos_ += dt * (kAmbientCelsius + kMosRise * heat - t_mos_) / kMosTimeConstant;
    t_rotor_ += dt * (kAmbientCelsius + kRotorRise * heat - t_rotor_) / kRotorTimeConstant;
    const double limit = regs_.as_float(registers::OT_Value);
    if (!fault_ && t_mos_ > limit) raise_fault(Status::MosOverTemperature);
    if (!fault_ && t_rotor_ > limit) raise_fault(Status::RotorOverTemperature);
}

BodyParams Firmware::body_params() const {
    return {model_->inertia, model_->damping, model_->torque_limit};
}

LinearLaw Firmware::law() const {
    if (!enabled_) return coast();
    const auto body = body_params();
    const double limit = model_->torque_limit;
    return std::visit(
        [&](const auto& sp) -> LinearLaw {
            using T = std::decay_t<decltype(sp)>;
            if constexpr (std::is_same_v<T, active::Mit>)
                return mit_law(sp.q, sp.dq, sp.kp, sp.kd, sp.tau, limit);
            else if constexpr (std::is_same_v<T, active::PosVel>)
                return position_law(body, body_.position, sp.position, sp.velocity, limit);
            else if constexpr (std::is_same_v<T, active::Vel>)
                return velocity_law(body, sp.velocity, limit);
            else if constexpr (std::is_same_v<T, active::ForcePos>)
                return position_law(body, body_.position, sp.position, sp.velocity_limit,
                                    limit * sp.torque_ratio);
            else
                return coast();
        },
        setpoint_);
}

damiao::MitLimits Firmware::mit_limits() const {
    return mit::firmware_limits(regs_.as_float(registers::PMAX), regs_.as_float(registers::VMAX),
                                regs_.as_float(registers::TMAX));
}

damiao::MitPayload Firmware::feedback() const {
    damiao::MotorState s;
    s.motor_id = static_cast<std::uint8_t>(can_id());  // the payload keeps its low 4 bits
    s.error = static_cast<std::uint8_t>(status());
    s.position = static_cast<float>(body_.position);
    s.velocity = static_cast<float>(body_.velocity);
    s.torque = static_cast<float>(body_.torque);
    s.t_mos = t_mos();
    s.t_rotor = t_rotor();
    return mit::encode_feedback(mit_limits(), s);
}

CanFrame Firmware::reply(const damiao::MitPayload& data) const {
    return damiao::frame_on(damiao::reply_id_of(master_id()), data);
}

}  // namespace velkarin::sim
