// Arbitration and wire time on the simulated bus, decided frame by frame.
#include "sim/bus_timeline.hpp"

#include <algorithm>
#include <tuple>

namespace velkarin::sim {

BusTimeline::BusTimeline(transport::BusRates rates, Clock::duration latency)
    : rates_(rates), latency_(latency) {}

// Frames come from the kernel or from the simulator's own motors, so every one
// has a length; a frame none could have would take no time.
Clock::duration BusTimeline::length_of(const CanFrame& frame) const {
    const auto bits = transport::frame_bits(frame);
    return bits ? std::chrono::duration_cast<Clock::duration>(transport::wire_time(*bits, rates_))
                : Clock::duration::zero();
}

void BusTimeline::host_frame(const CanFrame& frame, TimePoint heard) {
    host_.push_back({heard, length_of(frame), transport::arbitration_key(frame.id), {}});
}

void BusTimeline::answer(const CanFrame& frame, Clock::duration extra) {
    if (!host_.empty()) host_.back().answers.push_back({frame, extra});
}

// Whenever the bus falls idle, every node with a frame waiting starts it and
// the lowest identifier wins; when none is waiting, the next frame to become
// ready starts the moment it is. A slot is decided only once it starts by
// `until`: a host frame heard later could still take a slot starting after.
void BusTimeline::decide(TimePoint until) {
    for (;;) {
        std::optional<TimePoint> first;
        if (!host_.empty()) first = host_.front().heard;
        for (const auto& o : offers_)
            if (!first || o.ready < *first) first = o.ready;
        if (!first) return;
        const TimePoint start = std::max(free_at_, *first);
        if (start > until) return;

        const Offer* best = nullptr;
        for (const auto& o : offers_) {
            if (o.ready > start) continue;
            if (best == nullptr || std::tie(o.key, o.order) < std::tie(best->key, best->order))
                best = &o;
        }
        const bool host_wins = !host_.empty() && host_.front().heard <= start &&
                               (best == nullptr || host_.front().key <= best->key);
        if (host_wins) {
            HostFrame h = std::move(host_.front());
            host_.pop_front();
            free_at_ = start + h.length;
            for (auto& a : h.answers)
                offers_.push_back({free_at_ + latency_ + a.extra, offered_++,
                                   transport::arbitration_key(a.frame.id), length_of(a.frame),
                                   std::move(a.frame)});
        } else {
            free_at_ = start + best->length;
            sent_.push_back({free_at_, best->frame});
            offers_.erase(offers_.begin() + (best - offers_.data()));
        }
    }
}

std::optional<TimePoint> BusTimeline::next_due() const {
    if (!sent_.empty()) return sent_.front().end;
    if (pending() == 0) return std::nullopt;
    BusTimeline ahead = *this;
    ahead.decide(TimePoint::max());
    if (ahead.sent_.empty()) return std::nullopt;
    return ahead.sent_.front().end;
}

std::vector<CanFrame> BusTimeline::take_due(TimePoint now) {
    decide(now);
    std::vector<CanFrame> out;
    while (!sent_.empty() && sent_.front().end <= now) {
        out.push_back(std::move(sent_.front().frame));
        sent_.pop_front();
    }
    return out;
}

std::size_t BusTimeline::pending() const {
    std::size_t n = offers_.size() + sent_.size();
    for (const auto& h : host_) n += h.answers.size();
    return n;
}

}  // namespace velkarin::sim
