// Frame handling, protections and stepping of the simulated motor firmware.
#include "sim/firmware.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "damiao/modes/control_setpoint.hpp"

namespace velkarin::sim {
namespace {

namespace mit = damiao::mit;
namespace registers = damiao::registers;
using transport::CanId;

constexpr std::uint8_t kEnable = 0xFC;
constexpr std::uint8_t kDisable = 0xFD;
constexpr std::uint8_t kSetZero = 0xFE;
constexpr std::uint8_t kClearError = 0xFB;

constexpr float kKpMax = 500.0f;
constexpr float kKdMax = 5.0f;

// Thermal model: first-order lags towards ambient plus a rise proportional to
// the square of the torque, full rise at peak torque.
constexpr double kMosRise = 80.0;
constexpr double kRotorRise = 90.0;
constexpr double kMosTimeConstant = 20.0;    // s
constexpr double kRotorTimeConstant = 60.0;  // s

bool is_special(std::span<const std::uint8_t> d) {
    return std::all_of(d.begin(), d.begin() + 7, [](std::uint8_t b) { return b == 0xFF; }) &&
           (d[7] == kEnable || d[7] == kDisable || d[7] == kSetZero || d[7] == kClearError);
}

std::uint32_t u32_at(std::span<const std::uint8_t> d, std::size_t at) {
    return std::uint32_t{d[at]} | std::uint32_t{d[at + 1]} << 8 | std::uint32_t{d[at + 2]} << 16 |
           std::uint32_t{d[at + 3]} << 24;
}

float f32_at(std::span<const std::uint8_t> d, std::size_t at) {
    return std::bit_cast<float>(u32_at(d, at));
}

std::uint16_t u16_at(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}

std::uint8_t whole_degrees(double celsius) {
    return static_cast<std::uint8_t>(std::clamp(std::floor(celsius), 0.0, 255.0));
}

}  // namespace

Firmware::Firmware(const MotorModel& model, std::uint16_t can_id, std::uint16_t master_id,
                   std::uint8_t control_mode, double rate_hz, TimePoint now)
    : model_(&model),
      regs_(model, can_id, master_id, control_mode),
      step_(std::max<Clock::duration>(
          Clock::duration{1},
          std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / rate_hz)))),
      stepped_to_(now),
      last_frame_(now) {}

std::uint8_t Firmware::control_mode() const {
    return static_cast<std::uint8_t>(regs_.as_uint(reg::kControlMode));
}
std::uint16_t Firmware::can_id() const {
    return static_cast<std::uint16_t>(regs_.as_uint(reg::kCanId));
}
std::uint16_t Firmware::master_id() const {
    return static_cast<std::uint16_t>(regs_.as_uint(reg::kMasterId));
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
        t = std::max(t, static_cast<double>(regs_.as_float(reg::kOverTemperature)) + 1.0);
    return whole_degrees(t);
}
std::uint8_t Firmware::t_rotor() const {
    double t = t_rotor_;
    if (fault_ == Status::RotorOverTemperature)
        t = std::max(t, static_cast<double>(regs_.as_float(reg::kOverTemperature)) + 1.0);
    return whole_degrees(t);
}

bool Firmware::addressed(const CanFrame& frame) const {
    if (frame.fd || frame.id.kind != CanId::Kind::Standard || frame.size() != 8) return false;
    const auto id = frame.id.value;
    if (id == registers::kRequestId) return u16_at(frame.data(), 0) == can_id();
    const auto offset = (id - can_id()) & 0x7FF;
    return offset == 0 || offset == damiao::modes::kPosVelBase ||
           offset == damiao::modes::kVelBase || offset == damiao::modes::kForcePosBase;
}

std::optional<CanFrame> Firmware::handle(const CanFrame& frame, TimePoint now) {
    advance(now);
    last_frame_ = now;
    if (frame.id.value == registers::kRequestId) return handle_register(frame);
    return handle_command(frame, static_cast<std::uint16_t>((frame.id.value - can_id()) & 0x7FF));
}

std::optional<CanFrame> Firmware::handle_command(const CanFrame& frame, std::uint16_t offset) {
    const auto d = frame.data();
    if (is_special(d)) {
        switch (d[7]) {
            case kEnable:
                // A latched fault keeps the motor off until clear-error.
                if (!fault_ && !enabled_) {
                    enabled_ = true;
                    setpoint_ = active::None{};
                }
                break;
            case kDisable:
                enabled_ = false;
                setpoint_ = active::None{};
                break;
            case kSetZero:
                body_.position = 0.0;
                break;
            case kClearError:
                fault_.reset();
                break;
        }
    } else {
        act_on_mode_frame(offset, frame);
    }
    return reply(feedback());
}

// Each mode's frame comes on its own identifier and is acted on only while
// register 10 holds that mode; otherwise it is answered and forgotten.
void Firmware::act_on_mode_frame(std::uint16_t offset, const CanFrame& frame) {
    const auto d = frame.data();
    const auto mode = control_mode();
    if (offset == 0 && mode == static_cast<std::uint8_t>(damiao::ControlMode::Mit)) {
        const float p = regs_.as_float(reg::kPMax);
        const float v = regs_.as_float(reg::kVMax);
        const float t = regs_.as_float(reg::kTMax);
        const auto q_raw = static_cast<std::uint32_t>(d[0] << 8 | d[1]);
        const auto dq_raw = static_cast<std::uint32_t>(d[2] << 4 | d[3] >> 4);
        const auto kp_raw = static_cast<std::uint32_t>((d[3] & 0x0F) << 8 | d[4]);
        const auto kd_raw = static_cast<std::uint32_t>(d[5] << 4 | d[6] >> 4);
        const auto tau_raw = static_cast<std::uint32_t>((d[6] & 0x0F) << 8 | d[7]);
        setpoint_ = active::Mit{
            mit::dequantize(q_raw, -p, p, mit::kPositionCounts),
            mit::dequantize(dq_raw, -v, v, mit::kFieldCounts),
            mit::dequantize(kp_raw, 0.0f, kKpMax, mit::kFieldCounts),
            mit::dequantize(kd_raw, 0.0f, kKdMax, mit::kFieldCounts),
            mit::dequantize(tau_raw, -t, t, mit::kFieldCounts),
        };
        return;
    }
    if (offset == damiao::modes::kPosVelBase &&
        mode == static_cast<std::uint8_t>(damiao::ControlMode::PosVel)) {
        const float p = f32_at(d, 0);
        const float v = f32_at(d, 4);
        if (std::isfinite(p) && std::isfinite(v)) setpoint_ = active::PosVel{p, v};
        return;
    }
    if (offset == damiao::modes::kVelBase &&
        mode == static_cast<std::uint8_t>(damiao::ControlMode::Vel)) {
        const float v = f32_at(d, 0);
        if (std::isfinite(v)) setpoint_ = active::Vel{v};
        return;
    }
    if (offset == damiao::modes::kForcePosBase &&
        mode == static_cast<std::uint8_t>(damiao::ControlMode::ForcePos)) {
        const float p = f32_at(d, 0);
        // Counts above 10000 are the firmware's cap, whatever the sender put.
        const double speed = std::min<std::uint16_t>(u16_at(d, 4), 10000) / 100.0;
        const double ratio = std::min<std::uint16_t>(u16_at(d, 6), 10000) / 10000.0;
        if (std::isfinite(p)) setpoint_ = active::ForcePos{p, speed, ratio};
    }
}

// Reads and writes answer on the master id with the motor's id, the request
// code, the register and its value (after the write); a store is
// acknowledged with a 1 in byte 4. Unknown registers and codes get nothing.
std::optional<CanFrame> Firmware::handle_register(const CanFrame& frame) {
    const auto d = frame.data();
    const std::uint8_t op = d[2];
    const std::uint8_t number = d[3];
    auto answer = [&](std::uint8_t code, std::uint8_t r, std::uint32_t value) {
        const auto id = can_id();
        return reply({static_cast<std::uint8_t>(id), static_cast<std::uint8_t>(id >> 8), code, r,
                      static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                      static_cast<std::uint8_t>(value >> 16),
                      static_cast<std::uint8_t>(value >> 24)});
    };
    if (op == registers::kStore) return answer(op, number, 1);
    if (op != registers::kRead && op != registers::kWrite) return std::nullopt;

    if (op == registers::kWrite) {
        // A refused write (read-only, out of range) is answered with the
        // value the register keeps, so a read-back shows it did not take.
        if (write_register(number, u32_at(d, 4)) == RegisterFile::WriteResult::Unknown)
            return std::nullopt;
    }
    regs_.set_float(reg::kShaftPosition, static_cast<float>(body_.position));
    regs_.set_float(reg::kMotorPosition,
                    static_cast<float>(body_.position * static_cast<double>(model_->gear_ratio)));
    const auto value = regs_.raw(number);
    if (!value) return std::nullopt;
    return answer(op, number, *value);
}

RegisterFile::WriteResult Firmware::write_register(std::uint8_t number, std::uint32_t raw_value) {
    const auto old = regs_.raw(number);
    const auto result = regs_.write(number, raw_value);
    // A new control mode starts from no setpoint: frames of the old mode no
    // longer apply, and the new mode has not been commanded yet.
    if (result == RegisterFile::WriteResult::Applied && number == reg::kControlMode &&
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
    const auto counts = regs_.as_uint(reg::kTimeout);
    if (!enabled_ || counts == 0) return;
    const auto limit = std::chrono::nanoseconds(std::int64_t{counts} * kTimeoutCountNanos);
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
    const double limit = regs_.as_float(reg::kOverTemperature);
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

damiao::MitPayload Firmware::feedback() const {
    const float p = regs_.as_float(reg::kPMax);
    const float v = regs_.as_float(reg::kVMax);
    const float t = regs_.as_float(reg::kTMax);
    const auto pos = mit::quantize(static_cast<float>(body_.position), -p, p, mit::kPositionCounts);
    const auto vel = mit::quantize(static_cast<float>(body_.velocity), -v, v, mit::kFieldCounts);
    const auto tor = mit::quantize(static_cast<float>(body_.torque), -t, t, mit::kFieldCounts);
    const auto code = static_cast<std::uint8_t>(status());
    return {static_cast<std::uint8_t>(code << 4 | (can_id() & 0x0F)),
            static_cast<std::uint8_t>(pos >> 8),
            static_cast<std::uint8_t>(pos),
            static_cast<std::uint8_t>(vel >> 4),
            static_cast<std::uint8_t>((vel & 0x0F) << 4 | (tor >> 8 & 0x0F)),
            static_cast<std::uint8_t>(tor),
            t_mos(),
            t_rotor()};
}

CanFrame Firmware::reply(const damiao::MitPayload& data) const {
    return CanFrame(CanId::standard(static_cast<std::uint16_t>(master_id() & 0x7FF)), data);
}

}  // namespace velkarin::sim
