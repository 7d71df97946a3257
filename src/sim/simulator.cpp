// Routing of bus frames to the simulated motors and the delayed-reply queue.
#include "sim/simulator.hpp"

#include <algorithm>

namespace velkarin::sim {

Simulator::Simulator(const SimConfig& config, TimePoint now) : rng_(config.seed) {
    motors_.reserve(config.motors.size());
    for (const auto& m : config.motors) {
        auto& sm = motors_.emplace_back(SimMotor{
            Firmware(*m.model, m.can_id, m.master_id, m.control_mode.value_or(config.control_mode),
                     config.rate_hz, now),
            config.faults});
        sm.firmware.write_register(registers::TIMEOUT, config.timeout_counts);
        if (config.fault) sm.firmware.raise_fault(*config.fault);
    }
}

void Simulator::on_frame(const CanFrame& frame, TimePoint now) {
    for (auto& m : motors_) {
        if (m.faults.silent || !m.firmware.addressed(frame)) continue;
        if (auto reply = m.firmware.handle(frame, now))
            for (auto& s : shape_reply(*reply, m.faults, now, rng_)) enqueue(std::move(s));
    }
}

void Simulator::enqueue(Scheduled s) {
    const auto at = std::upper_bound(queue_.begin(), queue_.end(), s.due,
                                     [](TimePoint t, const Scheduled& q) { return t < q.due; });
    queue_.insert(at, std::move(s));
}

std::optional<TimePoint> Simulator::next_due() const {
    if (queue_.empty()) return std::nullopt;
    return queue_.front().due;
}

std::vector<CanFrame> Simulator::take_due(TimePoint now) {
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
