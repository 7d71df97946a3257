// The batched cycle: every bus's frames out, then one deadline-bounded wait
// that hands each reply to the motor whose reply identifier it carries.
#include "damiao/cycle.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdint>
#include <ctime>
#include <optional>

#include "transport/wait_any.hpp"

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::CanTransport;
using transport::Clock;
using transport::Duration;
using transport::TransportError;
using Bus = detail::CycleBus;
using Claim = transport::ReplyLedger::Claim;

// Frames built and sent together, and replies read together.
constexpr std::size_t kChunk = 16;

// The motors of a run_cycle call: all on one bus. It keeps nothing between
// calls, so it counts nothing.
struct OneBus {
    std::span<const MotorCommand> commands;

    static constexpr std::int64_t realtime_offset_ns = 0;
    void sent(std::size_t) const {}
    void refused(std::size_t) const {}
    void answered(std::size_t, const Result<MotorState>&, std::int64_t) const {}
    void missed(std::size_t, const TransportError&) const {}
    void late(std::size_t) const {}

    const Damiao& motor(std::size_t i) const { return commands[i].motor; }
    const Command& command(std::size_t i) const { return commands[i].command; }
    template <typename F>
    void for_each_on(const Bus&, F&& f) const {
        for (std::size_t i = 0; i < commands.size(); ++i) f(i);
    }
};

// The members of a MotorGroup and one cycle's commands, and what the group
// counts for each.
struct Grouped {
    std::span<const MotorGroup::Member> members;
    std::span<const Command> commands;
    std::span<MemberStats> stats;
    std::span<LatencyWindow> latency;
    std::int64_t realtime_offset_ns;  // see MotorGroup

    void sent(std::size_t i) const { ++stats[i].sent; }
    void refused(std::size_t i) const {
        ++stats[i].send_failures;
        ++stats[i].consecutive_misses;
    }
    // `since_sends_ns`: the reply's arrival after the end of the sends, or
    // below 0 when its arrival is not known.
    void answered(std::size_t i, const Result<MotorState>& state, std::int64_t since_sends_ns) const {
        auto& s = stats[i];
        ++s.answered;
        s.consecutive_misses = 0;
        if (state) s.last_status = state->error;
        // The first reply may beat the clock read after the last send.
        if (since_sends_ns >= -kLatencySlackNs)
            latency[i].add(static_cast<std::uint32_t>(std::clamp<std::int64_t>(since_sends_ns, 0, UINT32_MAX)));
    }
    void missed(std::size_t i, const TransportError& why) const {
        if (why.is_os_error(EINTR)) return;  // the program stopped it, not the motor
        if (why.kind == TransportError::Kind::Timeout) ++stats[i].timeouts;
        ++stats[i].consecutive_misses;
    }
    void late(std::size_t i) const { ++stats[i].late; }
    static constexpr std::int64_t kLatencySlackNs = 1'000'000;

    const Damiao& motor(std::size_t i) const { return *members[i].motor; }
    const Command& command(std::size_t i) const { return commands[i]; }
    template <typename F>
    void for_each_on(const Bus& bus, F&& f) const {
        for (const std::size_t i : bus.members) f(i);
    }
};

std::uint16_t slot(const Damiao& motor) { return static_cast<std::uint16_t>(motor.reply_id().value); }

// Errors: DuplicateMasterId for the first reply identifier two motors of one
// bus share. Leaves the bus's table as it found it (empty).
template <typename Motors>
Result<void> check_distinct_replies(const Motors& motors, Bus& bus) {
    std::optional<Error> clash;
    motors.for_each_on(bus, [&](std::size_t i) {
        auto& seen = bus.awaiting[slot(motors.motor(i))];
        if (seen != 0 && !clash)
            clash = Error(errors::DuplicateMasterId{slot(motors.motor(i)), seen - 1u, i});
        seen = static_cast<std::uint16_t>(i + 1);
    });
    motors.for_each_on(bus, [&](std::size_t i) { bus.awaiting[slot(motors.motor(i))] = 0; });
    if (clash) return std::unexpected(std::move(*clash));
    return {};
}

// One cycle over `buses`: the engine of run_cycle and MotorGroup::run.
template <typename Motors>
class Cycle {
public:
    // `on_signal` is asked about signals instead of each bus's own handler.
    Cycle(const Motors& motors, std::span<Bus> buses, std::span<Result<MotorState>> outcomes,
          FrameFormat format, transport::InterruptHandler* on_signal)
        : motors_(motors), buses_(buses), outcomes_(outcomes), format_(format),
          on_signal_(on_signal) {}

    void run() {
        // Each bus's waiter is registered before its frames go out, so a
        // signal handler's command during a send already leaves its replies
        // to it. After a stop every later motor still gets its outcome.
        Registered registered(*this);
        for (std::size_t b = 0; b < buses_.size(); ++b) {
            LateOnBus late{*this, buses_[b]};
            buses_[b].bus->settle_before_send(&late);
            registered.add(b);
            send_bus(b);
        }
        if (interrupted_) {
            end_awaiting(TransportError::backend_errno(EINTR));
            return;
        }
        std::size_t waiting_buses = 0;
        for (const auto& bus : buses_) waiting_buses += bus.pending > 0 ? 1 : 0;
        if (waiting_buses == 0) return;

        // Taken after the last send: transmit time does not count against the replies.
        sent_all_ = Clock::now();
        deadline_ = sent_all_ + wait_;
        if (waiting_buses == 1) {
            for (auto& bus : buses_)
                if (bus.pending > 0) drain(bus, sent_all_);
        } else {
            wait_over_all();
        }
        end_awaiting(TransportError::timeout());
    }

private:
    // One bus's part of the cycle as its reply ledger sees it: a waiter for
    // the replies still due there.
    class BusWaiter final : public transport::ReplyLedger::Waiter {
    public:
        BusWaiter() = default;
        void bind(Cycle* cycle, Bus* bus) {
            cycle_ = cycle;
            bus_ = bus;
        }
        bool wants(const CanFrame& f) const override {
            return f.id.kind == transport::CanId::Kind::Standard && f.id.in_range() &&
                   bus_->awaiting[f.id.value] != 0;
        }
        void take(const CanFrame& f) override { cycle_->take(*bus_, f); }
        void passed_over(const CanFrame& f) override {
            bus_->passed_over.set(f.id.value);
            cycle_->motors_.late(bus_->awaiting[f.id.value] - 1u);
        }
        bool done() const override { return bus_->pending == 0; }

    private:
        Cycle* cycle_ = nullptr;
        Bus* bus_ = nullptr;
    };

    // A late reply dropped before a bus's sends, counted for its member.
    struct LateOnBus final : transport::CanTransport::LateReplies {
        LateOnBus(Cycle& c, const Bus& b) : cycle(c), bus(b) {}
        void dropped(const CanFrame& f) override {
            cycle.motors_.for_each_on(bus, [&](std::size_t i) {
                if (cycle.motors_.motor(i).reply_id() == f.id) cycle.motors_.late(i);
            });
        }
        Cycle& cycle;
        const Bus& bus;
    };

    // The buses' waiters, each registered from just before its bus's sends
    // until the cycle ends, however it ends.
    class Registered {
    public:
        explicit Registered(Cycle& cycle) : cycle_(cycle) {}
        void add(std::size_t b) {
            cycle_.waiters_[b].bind(&cycle_, &cycle_.buses_[b]);
            scopes_[b].emplace(cycle_.buses_[b].bus->replies(), cycle_.waiters_[b]);
        }

    private:
        Cycle& cycle_;
        std::array<std::optional<transport::ReplyLedger::Scope>, transport::kMaxWaitBuses> scopes_;
    };

    // Builds and sends one bus's frames, a chunk per system call where the bus can.
    void send_bus(std::size_t b) {
        Bus& bus = buses_[b];
        CanTransport::QueueWait queue_wait{longest_timeout(bus), true, on_signal_};
        std::array<CanFrame, kChunk> frames;
        std::array<std::size_t, kChunk> owner{};
        std::size_t built = 0;
        auto flush = [&] {
            for (std::size_t done = 0; done < built && !interrupted_;) {
                const auto rest = std::span(frames).subspan(done, built - done);
                const auto result = bus.bus->send_waiting(rest, queue_wait);
                for (std::size_t k = done; k < done + result.sent; ++k) await(bus, owner[k]);
                done += result.sent;
                if (!result.error) continue;
                if (result.error->is_os_error(EINTR)) {
                    // Stopped by a signal: nothing more goes out and nothing is awaited.
                    interrupted_ = true;
                    for (std::size_t k = done; k < built; ++k)
                        outcomes_[owner[k]] = std::unexpected(Error(*result.error));
                    break;
                }
                motors_.refused(owner[done]);
                outcomes_[owner[done++]] = std::unexpected(Error(*result.error));  // that frame alone
            }
            built = 0;
        };
        motors_.for_each_on(bus, [&](std::size_t i) {
            auto frame = motors_.motor(i).frame_of(motors_.command(i), format_);
            if (!frame || interrupted_) {
                // Refused limits are reported as such, sent or not; after a
                // stop every other frame stays unsent.
                outcomes_[i] = frame ? std::unexpected(Error(TransportError::backend_errno(EINTR)))
                                     : std::unexpected(std::move(frame.error()));
                return;
            }
            frames[built] = *frame;
            owner[built++] = i;
            if (built == kChunk) flush();
        });
        flush();
    }

    void await(Bus& bus, std::size_t i) {
        bus.awaiting[slot(motors_.motor(i))] = static_cast<std::uint16_t>(i + 1);
        bus.passed_over.reset(slot(motors_.motor(i)));
        ++bus.pending;
        motors_.sent(i);
        wait_ = std::max(wait_, motors_.motor(i).timeout().to_clock());
    }

    Duration longest_timeout(const Bus& bus) const {
        Duration longest{};
        motors_.for_each_on(bus, [&](std::size_t i) {
            const Duration t = motors_.motor(i).timeout();
            if (t.to_clock() > longest.to_clock()) longest = t;
        });
        return longest;
    }

    // Hands `f`, a reply its waiter wants, to the motor whose reply is due
    // on its identifier.
    void take(Bus& bus, const CanFrame& f) {
        auto& owner = bus.awaiting[f.id.value];
        const std::size_t i = owner - 1u;
        owner = 0;
        outcomes_[i] = motors_.motor(i).decode_reply(f);
        --bus.pending;
        motors_.answered(i, outcomes_[i], since_sends_ns(f));
    }

    // How long after the end of the sends `f` arrived, from the kernel's
    // stamp; below zero when that is not known.
    std::int64_t since_sends_ns(const CanFrame& f) const {
        constexpr std::int64_t kUnknown = INT64_MIN / 2;
        if (f.received_ns == 0 || sent_all_ == Clock::time_point{}) return kUnknown;
        const auto sent = std::chrono::duration_cast<std::chrono::nanoseconds>(sent_all_.time_since_epoch()).count();
        return f.received_ns - (sent + motors_.realtime_offset_ns);
    }

    // Every frame until the bus's last reply is this cycle's to take: read in
    // batches, one system call for all the replies already queued.
    // `now` is a reading of the clock taken just before.
    void drain(Bus& bus, Clock::time_point now) {
        auto& waiter = waiters_[static_cast<std::size_t>(&bus - buses_.data())];
        auto last = bus.bus->drain_until(waiter, deadline_, batch_, now, on_signal_);
        if (!last) end_awaiting(bus, last.error());
    }

    // One ppoll over every bus still owed a reply, reading whichever is
    // ready; buses without a poll descriptor are drained after the others.
    // A signal asks on_signal, or else the first bus's own handler.
    void wait_over_all() {
        auto* handler = on_signal_ != nullptr ? on_signal_ : buses_.front().bus->interrupt_handler();
        std::array<CanTransport*, transport::kMaxWaitBuses> waiting{};
        std::array<Bus*, transport::kMaxWaitBuses> of{};
        std::array<bool, transport::kMaxWaitBuses> ready{};
        for (;;) {
            std::size_t n = 0;
            for (auto& bus : buses_)
                if (bus.pending > 0 && bus.bus->poll_descriptor() && n < waiting.size()) {
                    waiting[n] = bus.bus;
                    of[n++] = &bus;
                }
            if (n == 0) break;
            auto woke = transport::wait_any_readable(std::span(waiting).first(n), deadline_, ready,
                                                     handler);
            if (!woke) {
                if (woke.error().kind == TransportError::Kind::Timeout) break;
                end_awaiting(woke.error());
                return;
            }
            for (std::size_t k = 0; k < n; ++k)
                if (ready[k]) take_queued(*of[k]);
        }
        // Replies that came in time stay queued on a bus waited on last: taken
        // first, whatever the clock says by then.
        for (auto& bus : buses_) {
            while (bus.pending > 0 && take_queued(bus)) {}
            if (bus.pending > 0) drain(bus, Clock::now());
        }
    }

    // Reads what `bus` has queued, without waiting; false when nothing was.
    // The frames read together with its last reply go to whoever else
    // claims them, or are dropped; a failed read fails the motors still
    // waiting on the bus.
    bool take_queued(Bus& bus) {
        auto got = bus.bus->recv_some(Duration{}, batch_);
        if (!got) {
            if (got.error().kind != TransportError::Kind::Timeout) end_awaiting(bus, got.error());
            return false;
        }
        auto& waiter = waiters_[static_cast<std::size_t>(&bus - buses_.data())];
        for (const CanFrame& f : std::span(batch_).first(*got)) bus.bus->replies().route(f, waiter);
        return *got > 0;
    }

    // The motors still owed a reply end with `error`. Their frames went out,
    // so their replies may still come, for about one more time-out: each is
    // left as a debt on its bus, so that no later command takes it; only
    // once queued (Claim::QueuedOnly) for a motor whose wanted frame went to
    // an earlier command's debt, as that frame may have been its own reply.
    void end_awaiting(Bus& bus, const TransportError& error) {
        if (bus.pending == 0) return;
        const Clock::time_point ended = std::max(deadline_, sent_all_);
        const auto order = waiters_[static_cast<std::size_t>(&bus - buses_.data())].order();
        motors_.for_each_on(bus, [&](std::size_t i) {
            const Damiao& motor = motors_.motor(i);
            auto& owner = bus.awaiting[slot(motor)];
            if (owner != i + 1) return;
            owner = 0;
            outcomes_[i] = std::unexpected(Error(error));
            motors_.missed(i, error);
            bus.bus->replies().owe(motor.reply_id(), transport::later_by(ended, motor.timeout()),
                                   order, bus.passed_over.test(slot(motor)) ? Claim::QueuedOnly : Claim::Reply);
        });
        bus.pending = 0;
    }
    void end_awaiting(const TransportError& error) {
        for (auto& bus : buses_) end_awaiting(bus, error);
    }

    const Motors& motors_;
    std::span<Bus> buses_;
    std::span<Result<MotorState>> outcomes_;
    FrameFormat format_;
    transport::InterruptHandler* on_signal_;
    std::array<CanFrame, kChunk> batch_;  // replies read together
    std::array<BusWaiter, transport::kMaxWaitBuses> waiters_;  // per bus
    Clock::duration wait_{};
    Clock::time_point sent_all_{};
    Clock::time_point deadline_{};
    bool interrupted_ = false;
};

}  // namespace

Result<void> run_cycle(CanTransport& bus, std::span<const MotorCommand> commands,
                       std::span<Result<MotorState>> outcomes, FrameFormat format) {
    if (outcomes.size() != commands.size())
        return std::unexpected(Error(errors::OutcomeCount{commands.size(), outcomes.size()}));
    std::array<Bus, 1> one{Bus{&bus, {}, {}, 0, {}}};
    const OneBus motors{commands};
    if (auto distinct = check_distinct_replies(motors, one[0]); !distinct) return distinct;
    Cycle<OneBus>(motors, one, outcomes, format, nullptr).run();
    return {};
}

Result<MotorGroup> MotorGroup::create(std::span<const Member> members) {
    MotorGroup group;
    group.members_.assign(members.begin(), members.end());
    for (std::size_t i = 0; i < members.size(); ++i) {
        auto it = std::ranges::find(group.buses_, members[i].bus, &Bus::bus);
        if (it == group.buses_.end()) {
            group.buses_.emplace_back();
            it = std::prev(group.buses_.end());
            it->bus = members[i].bus;
        }
        it->members.push_back(i);
    }
    if (group.buses_.size() > transport::kMaxWaitBuses || members.size() > kMaxMotors)
        return std::unexpected(Error(errors::GroupTooLarge{group.buses_.size(), members.size(),
                                                           transport::kMaxWaitBuses, kMaxMotors}));
    const Grouped motors{group.members_, {}, {}, {}, 0};
    for (auto& bus : group.buses_)
        if (auto distinct = check_distinct_replies(motors, bus); !distinct)
            return std::unexpected(distinct.error());
    group.stats_.resize(members.size());
    group.latency_.resize(members.size());
    for (auto& bus : group.buses_) bus.bus->stamp_received_frames();
    group.reset_stats();
    return group;
}

// Two clock readings, once: the offset between the clocks stays put but for
// a step of the wall clock, which a reset measures again.
void MotorGroup::reset_stats() {
    std::ranges::fill(stats_, MemberStats{});
    for (auto& w : latency_) w.clear();
    timespec real{}, mono{};
    ::clock_gettime(CLOCK_REALTIME, &real);
    ::clock_gettime(CLOCK_MONOTONIC, &mono);
    realtime_offset_ns_ = (static_cast<std::int64_t>(real.tv_sec) - mono.tv_sec) * 1'000'000'000 +
                          (real.tv_nsec - mono.tv_nsec);
}

void LatencyWindow::add(std::uint32_t ns) {
    ns_[next_] = ns;
    next_ = (next_ + 1) % kSize;
    count_ = std::min(count_ + 1, kSize);
}

std::optional<LatencyWindow::Summary> LatencyWindow::summary() const {
    if (count_ == 0) return std::nullopt;
    std::array<std::uint32_t, kSize> sorted = ns_;
    const auto kept = std::span(sorted).first(count_);
    std::ranges::sort(kept);
    auto at = [&](double q) { return kept[static_cast<std::size_t>(q * static_cast<double>(count_ - 1) + 0.5)] * 1e-9; };
    return Summary{at(0.5), at(0.99), kept.back() * 1e-9};
}

Result<void> MotorGroup::run(std::span<const Command> commands,
                             std::span<Result<MotorState>> outcomes, FrameFormat format,
                             transport::InterruptHandler* on_signal) {
    if (commands.size() != members_.size())
        return std::unexpected(Error(errors::CommandCount{members_.size(), commands.size()}));
    if (outcomes.size() != members_.size())
        return std::unexpected(Error(errors::OutcomeCount{members_.size(), outcomes.size()}));
    if (members_.empty()) return {};
    const Grouped motors{members_, commands, stats_, latency_, realtime_offset_ns_};
    Cycle<Grouped>(motors, buses_, outcomes, format, on_signal).run();
    return {};
}

}  // namespace velkarin::damiao
