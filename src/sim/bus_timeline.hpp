// The timeline of one CAN bus at given bit rates, for the simulator's
// replies: every frame occupies the bus for its exact wire time, the host's
// frames in the order they came, and whenever the bus falls idle the frame
// with the lowest identifier among those waiting goes next. A reply is sent
// (handed back by take_due) when its last bit would have left a real bus.
// No I/O: time comes in with every call.
#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <vector>

#include "sim/firmware.hpp"
#include "transport/frame_bits.hpp"

namespace velkarin::sim {

class BusTimeline {
public:
    // `latency`: how long a motor takes from the end of a command to the
    // start of its answer, at the earliest.
    BusTimeline(transport::BusRates rates, Clock::duration latency);

    // A frame the host put on the bus, read at `heard`. It queues behind
    // the host's earlier frames (a host sends its own frames in order) and
    // contends for the bus from `heard` on. It was on a real bus before it
    // could be read here; taking it from `heard` makes every reply later,
    // never earlier, than on that bus.
    void host_frame(const CanFrame& frame, TimePoint heard);

    // A motor's answer to the frame last given to host_frame(): it contends
    // for the bus from that frame's end plus the latency plus `extra` (a
    // reply fault's delay).
    void answer(const CanFrame& frame, Clock::duration extra);

    // When take_due next has a frame to hand back, if no more host frames
    // come before then; nothing while no answer is waiting.
    std::optional<TimePoint> next_due() const;
    // Decides the bus up to `now` and removes the answers whose last bit has
    // left the bus by then, in the order they went out.
    std::vector<CanFrame> take_due(TimePoint now);
    // Answers given and not yet handed back.
    std::size_t pending() const;

private:
    struct Answer {
        CanFrame frame;
        Clock::duration extra;
    };
    struct HostFrame {
        TimePoint heard;
        Clock::duration length;
        std::uint32_t key;
        std::vector<Answer> answers;
    };
    struct Offer {
        TimePoint ready;
        std::uint64_t order;  // among equal identifiers, the one offered first
        std::uint32_t key;
        Clock::duration length;
        CanFrame frame;
    };
    struct Sent {
        TimePoint end;
        CanFrame frame;
    };

    Clock::duration length_of(const CanFrame& frame) const;
    // Gives the bus to frame after frame while the next one starts by `until`.
    void decide(TimePoint until);

    transport::BusRates rates_;
    Clock::duration latency_;
    std::deque<HostFrame> host_;
    std::vector<Offer> offers_;
    std::deque<Sent> sent_;  // in the order they go out, so by end time
    TimePoint free_at_{};    // the end of the last frame given the bus
    std::uint64_t offered_ = 0;
};

}  // namespace velkarin::sim
