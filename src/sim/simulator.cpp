// Routing of bus frames to the simulated motors and the delayed-reply queue.
#include "sim/simulator.hpp"

#include <algorithm>

namespace velkarin::sim {

Simulator::Simulator(const SimConfig& config, TimePoint now) : rng_(config.seed) {
    if (config.wire)
        timeline_.emplace(config.wire->rates,
                          std::chrono::duration_cast<Clock::duration>(config.wire->latency));
    motors_.reserve(config.motors.size());
    for (std::size_t i = 0; i < config.motors.size(); ++i) {
        const auto& m = config.motors[i];
        auto& sm = motors_.emplace_back(SimMotor{
            Firmware(*m.model, m.can_id, m.master_id, m.control_mode.value_or(config.control_mode),
                     config.rate_hz, now),
            config.faults, std::nullopt, std::nullopt});
        sm.firmware.write_register(registers::TIMEOUT, config.timeout_counts);
        sm.firmware.write_register(registers::can_br, config.can_br);
        // A motor comes up with what it stored, ids included.
        if (i < config.flash.size() && config.flash[i]) {
            sm.flash = config.flash[i];
            for (const auto& [number, raw] : *sm.flash) sm.firmware.write_register(number, raw);
        }
        if (config.fault) sm.firmware.raise_fault(*config.fault);
        sm.firmware.apply_bit_rate();
    }
}

void Simulator::on_frame(const CanFrame& frame, TimePoint now) {
    heard_ = now;
    if (timeline_) timeline_->host_frame(frame, now);
    for (auto& m : motors_) {
        if (m.faults.silent || !m.firmware.addressed(frame)) continue;
        if (auto reply = m.firmware.handle(frame, now))
            for (auto& s : shape_reply(*reply, m.faults, now, rng_)) enqueue(std::move(s));
        if (m.firmware.take_store_request()) m.storing = m.firmware.registers().writable_values();
    }
}

std::optional<Flash> Simulator::pending_flash() const {
    if (std::ranges::none_of(motors_, [](const SimMotor& m) { return m.storing.has_value(); }))
        return std::nullopt;
    Flash out;
    for (const auto& m : motors_) out.push_back(m.storing ? m.storing : m.flash);
    return out;
}

void Simulator::flash_written(bool written) {
    for (auto& m : motors_) {
        if (written && m.storing) m.flash = std::move(m.storing);
        m.storing.reset();
    }
}

void Simulator::enqueue(Scheduled s) {
    // On a wire-timed bus a reply keeps only its delay (a fault's), counted
    // from the end of the command it answers.
    if (timeline_) return timeline_->answer(s.frame, s.due - heard_);
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), s.due,
                                     [](TimePoint t, const Scheduled& q) { return t < q.due; });
    queue_.insert(at, std::move(s));
}

std::optional<TimePoint> Simulator::next_due() const {
    if (timeline_) return timeline_->next_due();
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

std::vector<CanFrame> Simulator::take_due(TimePoint now) {
    if (timeline_) return timeline_->take_due(now);
    std::vector<CanFrame> out;
    while (!queue_.empty() && queue_.front().due <= now) {
        out.push_back(std::move(queue_.front().frame));
        queue_.pop_front();
    }
    return out;
}

SimMotor* Simulator::find(std::uint16_t can_id) {
    for (auto& m : motors_)
        if (m.firmware.can_id() == can_id) return &m;
    return nullptr;
}

}  // namespace velkarin::sim
