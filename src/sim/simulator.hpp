// The simulated bus side: every motor on one interface, the routing of
// received frames to them, their reply faults and the queue of replies
// waiting for their due time, or, on a wire-timed bus, the bus's timeline.
// No I/O: the event loop feeds it frames and sends what it hands back.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <utility>
#include <vector>

#include "sim/bus_timeline.hpp"
#include "sim/faults.hpp"
#include "sim/firmware.hpp"
#include "sim/flash.hpp"
#include "transport/bus_conditions.hpp"

namespace velkarin::sim {

struct MotorSetup {
    std::uint16_t can_id;
    std::uint16_t master_id;
    const MotorModel* model;
    std::optional<std::uint8_t> control_mode;  // unset: SimConfig::control_mode
};

// How long a motor takes from the end of a command on the wire to the start
// of its answer. No published figure exists; arm projects find a few hundred
// microseconds between command and reply enough. 100 us is one step of the
// simulated firmware at its default rate (10 kHz), and keeps one exchange at
// 1 Mbit/s (two frames of about 120 us) within those few hundred.
inline constexpr std::chrono::microseconds kDefaultLatency{100};

// A bus that carries frames no faster than a real one at these rates.
struct WireTiming {
    transport::BusRates rates;
    std::chrono::microseconds latency = kDefaultLatency;
};

struct SimConfig {
    std::vector<MotorSetup> motors;
    std::uint8_t control_mode = 1;      // register 10 at start (1 MIT)
    double rate_hz = kDefaultRateHz;
    std::uint32_t timeout_counts = 0;   // register 9 at start, 50 us counts
    std::uint32_t can_br = kDefaultCanBr;  // register 35 at start
    std::optional<WireTiming> wire;     // unset: replies leave when due, as on vcan
    ReplyFaults faults;                 // for every motor at start
    std::optional<Status> fault;        // latched in every motor at start
    std::uint64_t seed = 1;
    Flash flash;                        // stored parameters, applied over the above
};

struct SimMotor {
    Firmware firmware;
    ReplyFaults faults;
    std::optional<FlashImage> flash;    // what its flash holds
    std::optional<FlashImage> storing;  // a store not yet written to the flash
};

class Simulator {
public:
    Simulator(const SimConfig& config, TimePoint now);

    // Hands `frame` to every motor it is addressed to (a silent motor does
    // not hear it) and queues their replies as the reply faults shape them.
    void on_frame(const CanFrame& frame, TimePoint now);

    // The earliest due time in the queue, if any (on a wire-timed bus: the
    // end of the next reply on the wire, if no host frame comes first).
    std::optional<TimePoint> next_due() const;
    // Removes and returns the replies due by `now`, earliest first; replies
    // due at the same time leave in the order they were queued. On a
    // wire-timed bus, the replies whose last bit has left the bus by `now`,
    // in the order they went out.
    std::vector<CanFrame> take_due(TimePoint now);
    std::size_t queued() const { return timeline_ ? timeline_->pending() : queue_.size(); }

    // What the flash is to hold once the stores since the last
    // flash_written() are written; nothing when no motor stored since.
    std::optional<Flash> pending_flash() const;
    // The outcome of writing pending_flash(). Written, it is what the flash
    // holds. Not written, those stores are dropped and every motor's flash
    // keeps what it held, as a motor whose flash write failed: a later
    // store (of any motor) then writes the old image again, never one that
    // did not reach the flash.
    void flash_written(bool written);

    // An error frame for the event loop to put on the bus, as the bus's
    // controller would send it; take_conditions hands them over in order.
    void raise(transport::BusCondition c) { conditions_.push_back(c); }
    std::vector<transport::BusCondition> take_conditions() { return std::exchange(conditions_, {}); }

    std::vector<SimMotor>& motors() { return motors_; }
    const std::vector<SimMotor>& motors() const { return motors_; }
    // The motor whose CAN id (register 8) is `can_id`, or nullptr.
    SimMotor* find(std::uint16_t can_id);

private:
    void enqueue(Scheduled s);

    std::vector<SimMotor> motors_;
    std::deque<Scheduled> queue_;  // sorted by due time
    std::vector<transport::BusCondition> conditions_;
    std::optional<BusTimeline> timeline_;
    TimePoint heard_{};  // when the frame being answered was read
    std::mt19937_64 rng_;
};

}  // namespace velkarin::sim
