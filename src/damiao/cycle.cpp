// The batched cycle: every bus's frames out, then one deadline-bounded wait
// that hands each reply to the motor whose reply identifier it carries.
#include "damiao/cycle.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>
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

// Frames built and sent together, and replies read together.
constexpr std::size_t kChunk = 16;

// The motors of a run_cycle call: all on one bus. It keeps nothing between
// calls, so it does not track late replies.
struct OneBus {
    std::span<const MotorCommand> commands;

    bool owes_late_reply(std::size_t) const { return false; }
    bool is_late_reply(std::size_t) const { return false; }
    void answered(std::size_t) const {}
    void unanswered(std::size_t, Clock::time_point) const {}

    std::size_t size() const { return commands.size(); }
    const Damiao& motor(std::size_t i) const { return commands[i].motor; }
    const Command& command(std::size_t i) const { return commands[i].command; }
    template <typename F>
    void for_each_on(const Bus&, F&& f) const {
        for (std::size_t i = 0; i < commands.size(); ++i) f(i);
    }
};

// The members of a MotorGroup and one cycle's commands, with what each may
// still owe from an earlier cycle.
struct Grouped {
    std::span<const MotorGroup::Member> members;
    std::span<const Command> commands;
    std::span<detail::LateReply> late;

    bool owes_late_reply(std::size_t i) const { return late[i].until != Clock::time_point{}; }
    // The first frame on its reply identifier while the member owes a reply
    // is that late reply, not this cycle's, if it comes within the window;
    // after the window the owed reply counts as lost.
    bool is_late_reply(std::size_t i) const {
        const bool in_window = Clock::now() < late[i].until;
        late[i] = {Clock::time_point{}, in_window};
        return in_window;
    }
    void answered(std::size_t i) const { late[i] = {}; }
    // No reply by the deadline: one may still come until `until`. Unless a
    // frame was already skipped as late this cycle: then that frame was
    // probably this cycle's reply, the debt is settled, and nothing more is
    // skipped (so one lost reply costs at most one more cycle).
    void unanswered(std::size_t i, Clock::time_point until) const {
        late[i] = {late[i].skipped ? Clock::time_point{} : until, false};
    }

    std::size_t size() const { return members.size(); }
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
        // After a stop every later motor still gets its outcome.
        for (std::size_t b = 0; b < buses_.size(); ++b) send_bus(b);
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
        ++bus.pending;
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

    // Hands `f` to the motor whose reply is due on its identifier; true once
    // the bus has every reply.
    bool take(Bus& bus, const CanFrame& f) {
        if (f.id.kind != transport::CanId::Kind::Standard || !f.id.in_range()) return false;
        auto& owner = bus.awaiting[f.id.value];
        if (owner == 0) return false;  // another identifier, or a second reply
        const std::size_t i = owner - 1u;
        if (motors_.owes_late_reply(i) && motors_.is_late_reply(i)) return false;
        owner = 0;
        motors_.answered(i);
        outcomes_[i] = motors_.motor(i).decode_reply(f);
        return --bus.pending == 0;
    }

    // Every frame until the bus's last reply is this cycle's to take: read in
    // batches, one system call for all the replies already queued.
    // `now` is a reading of the clock taken just before.
    void drain(Bus& bus, Clock::time_point now) {
        auto last = bus.bus->drain_until(deadline_, [&](const CanFrame& f) { return take(bus, f); },
                                         batch_, now, on_signal_);
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
    // The frames read together with its last reply are dropped with it; a
    // failed read fails the motors still waiting on the bus.
    bool take_queued(Bus& bus) {
        auto got = bus.bus->recv_some(Duration{}, batch_);
        if (!got) {
            if (got.error().kind != TransportError::Kind::Timeout) end_awaiting(bus, got.error());
            return false;
        }
        for (const CanFrame& f : std::span(batch_).first(*got))
            if (take(bus, f)) break;
        return *got > 0;
    }

    // The motors still owed a reply end with `error`. Their frames went out,
    // so their replies may still come, for about one more time-out: a later
    // cycle must not take them for its own.
    void end_awaiting(Bus& bus, const TransportError& error) {
        if (bus.pending == 0) return;
        bus.late_replies_possible = true;
        const Clock::time_point ended = std::max(deadline_, sent_all_);
        motors_.for_each_on(bus, [&](std::size_t i) {
            auto& owner = bus.awaiting[slot(motors_.motor(i))];
            if (owner != i + 1) return;
            owner = 0;
            outcomes_[i] = std::unexpected(Error(error));
            motors_.unanswered(i, ended + motors_.motor(i).timeout().to_clock());
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
    Clock::duration wait_{};
    Clock::time_point sent_all_{};
    Clock::time_point deadline_{};
    bool interrupted_ = false;
};

// Reads what a bus has queued before a cycle sends: late replies to an
// earlier cycle, which settle what their members owed, and anything else,
// dropped. At most so many reads: a flooded bus cannot hold the cycle here.
void settle_late_replies(Bus& bus, const Grouped& motors) {
    std::array<CanFrame, kChunk> batch;
    for (int reads = 0; reads < 64; ++reads) {
        auto got = bus.bus->recv_some(Duration{}, batch);  // Timeout: nothing queued
        if (!got || *got == 0) return;
        for (const CanFrame& f : std::span(batch).first(*got))
            motors.for_each_on(bus, [&](std::size_t i) {
                if (motors.motor(i).reply_id() == f.id) motors.answered(i);
            });
    }
}

}  // namespace

Result<void> run_cycle(CanTransport& bus, std::span<const MotorCommand> commands,
                       std::span<Result<MotorState>> outcomes, FrameFormat format) {
    if (outcomes.size() != commands.size())
        return std::unexpected(Error(errors::OutcomeCount{commands.size(), outcomes.size()}));
    std::array<Bus, 1> one{Bus{&bus, {}, {}, 0, false}};
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
    group.late_.resize(members.size());
    const Grouped motors{group.members_, {}, group.late_};
    for (auto& bus : group.buses_)
        if (auto distinct = check_distinct_replies(motors, bus); !distinct)
            return std::unexpected(distinct.error());
    return group;
}

Result<void> MotorGroup::run(std::span<const Command> commands,
                             std::span<Result<MotorState>> outcomes, FrameFormat format,
                             transport::InterruptHandler* on_signal) {
    if (commands.size() != members_.size())
        return std::unexpected(Error(errors::CommandCount{members_.size(), commands.size()}));
    if (outcomes.size() != members_.size())
        return std::unexpected(Error(errors::OutcomeCount{members_.size(), outcomes.size()}));
    if (members_.empty()) return {};
    const Grouped motors{members_, commands, late_};
    for (auto& bus : buses_) {
        if (bus.late_replies_possible) settle_late_replies(bus, motors);
        bus.late_replies_possible = false;
    }
    Cycle<Grouped>(motors, buses_, outcomes, format, on_signal).run();
    return {};
}

}  // namespace velkarin::damiao
