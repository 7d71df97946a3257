// Batched cycles: several motors commanded together, on one bus or on
// several. Every command frame goes out back to back, then the replies are
// collected under one deadline, over all the buses at once.
#pragma once

#include <array>
#include <bitset>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include "../transport/transport.hpp"
#include "command.hpp"
#include "driver.hpp"
#include "error.hpp"
#include "frame_format.hpp"

namespace velkarin::damiao {

// One motor's part of a cycle on one bus; the motor is borrowed for the call.
struct MotorCommand {
    std::reference_wrapper<const Damiao> motor;
    Command command;
};

// Sends the frame of every command in `format`, in the order given (as many
// per system call as the bus takes), then receives until each motor whose
// frame went out has its reply (the first frame on its reply_id(), classic
// or FD, that no older claim of the bus's reply ledger takes) or one
// deadline passes: the largest time-out among those motors, counted from
// after the last send. A motor left without its reply leaves a debt on the
// ledger, as a single request does, so that no later command takes its late
// reply. Frames on other identifiers and second replies are dropped, and so
// are frames read together with the last reply that nobody else claims.
// Allocates nothing; a signal during a wait goes to the bus's interrupt
// handler, as in every other wait.
//
// outcomes[i] receives motor i's decoded state, or its own error without
// failing the others:
//   InvalidLimits  its MIT limits were refused by the codec; nothing sent for it.
//   Transport      Timeout: no reply by the deadline. Backend: the send of its
//                  frame failed (a full transmit queue, ENOBUFS, is first retried
//                  with pauses, and a full send buffer waited out, until the
//                  largest time-out has passed since the queue was first found
//                  full), or a receive failed while its reply was due, or
//                  EINTR: a signal whose handler said stop ended the cycle before
//                  its reply (frames not yet sent then stay unsent).
//   ShortReply     its reply had fewer than 8 data bytes.
// Errors of the whole cycle, found before anything is sent (outcomes untouched):
//   OutcomeCount       outcomes.size() differs from commands.size().
//   DuplicateMasterId  two motors share a reply identifier.
Result<void> run_cycle(transport::CanTransport& bus, std::span<const MotorCommand> commands,
                       std::span<Result<MotorState>> outcomes,
                       FrameFormat format = FrameFormat::Classic);

namespace detail {
// One bus and what a cycle knows of it: its members' places, and for every
// reply identifier the member whose reply is due there (its place + 1; 0:
// none), so that a reply finds its motor in one step.
struct CycleBus {
    transport::CanTransport* bus;
    std::vector<std::size_t> members;
    std::array<std::uint16_t, transport::CanId::kStandardMax + 1> awaiting{};
    std::size_t pending = 0;
    // Per reply identifier: a frame its motor wanted this cycle went to an
    // earlier command's debt instead.
    std::bitset<transport::CanId::kStandardMax + 1> passed_over{};
};
}  // namespace detail

// What a group counts for each member across its cycles, without a system
// call more than the cycles make.
struct MemberStats {
    std::uint64_t sent = 0;           // frames that went out
    std::uint64_t answered = 0;       // replies taken
    std::uint64_t timeouts = 0;       // cycles that ended without its reply
    std::uint64_t late = 0;           // replies after their command's deadline, dropped as such
    std::uint64_t send_failures = 0;  // frames the bus refused
    std::uint64_t consecutive_misses = 0;      // cycles in a row without a reply, up to now
    std::optional<std::uint8_t> last_status;   // the latest reply's status code
};

// A member's reply latencies, from the end of its cycle's sends (the clock
// reading after them) to the reply's arrival at the host (the kernel's
// receive time), over its latest kSize replies. A reply that beats that
// reading (a simulated motor on the same CPU) counts as 0.
class LatencyWindow {
public:
    static constexpr std::size_t kSize = 512;
    struct Summary {
        double p50_s, p99_s, max_s;
    };

    void add(std::uint32_t ns);
    // Nothing before the first reply. Allocates nothing.
    std::optional<Summary> summary() const;
    void clear() { count_ = next_ = 0; }

private:
    std::array<std::uint32_t, kSize> ns_{};
    std::size_t count_ = 0;
    std::size_t next_ = 0;
};

// Motors on one or more buses, commanded together in cycles: the members are
// checked and the tables sized once, at creation; every cycle then allocates
// nothing. Buses and motors are borrowed and must outlive the group.
class MotorGroup {
public:
    struct Member {
        transport::CanTransport* bus;
        const Damiao* motor;
    };

    // The most motors a group counts (a cycle marks a motor by its place + 1 in 16 bits).
    static constexpr std::size_t kMaxMotors = 0xFFFE;

    // Errors: DuplicateMasterId (two members on one bus answer on one
    // identifier, named by their places in `members`), GroupTooLarge (more
    // than kMaxMotors motors or transport::kMaxWaitBuses buses).
    static Result<MotorGroup> create(std::span<const Member> members);

    std::span<const Member> members() const { return members_; }

    // Per member, in member order: the counts since creation or reset_stats.
    std::span<const MemberStats> stats() const { return stats_; }
    const LatencyWindow& latency(std::size_t member) const { return latency_[member]; }
    void reset_stats();

    // One cycle: commands[i] for members()[i], outcomes[i] its result, as
    // run_cycle's. Every bus's frames go out first, then one wait over all
    // the buses' sockets at once (ppoll) takes the replies as they come, so
    // two buses cost about the slower one's time; a bus without a poll
    // descriptor is waited on after the others. Late replies are handled by
    // each bus's reply ledger, as for every other command on that bus.
    // A signal during any of its waits asks `on_signal` (if set) instead of
    // the buses' own interrupt handlers (which other threads' calls on the
    // same buses keep using); without it, each bus's own, and the first
    // bus's for the wait over all of them.
    // Errors: CommandCount (commands not one per member), OutcomeCount
    // (outcomes not one per member).
    Result<void> run(std::span<const Command> commands, std::span<Result<MotorState>> outcomes,
                     FrameFormat format = FrameFormat::Classic,
                     transport::InterruptHandler* on_signal = nullptr);

private:
    std::vector<Member> members_;
    std::vector<detail::CycleBus> buses_;
    std::vector<MemberStats> stats_;
    std::vector<LatencyWindow> latency_;
    // CLOCK_REALTIME minus the monotonic clock, in ns: the kernel stamps
    // arrivals on the former, the cycle's sends are read on the latter.
    std::int64_t realtime_offset_ns_ = 0;
};

}  // namespace velkarin::damiao
