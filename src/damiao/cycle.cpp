// The batched cycle: all frames out, then one deadline-bounded receive loop
// that hands each reply to the motor whose master id it carries.
#include "damiao/cycle.hpp"

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::Clock;
using transport::Duration;
using transport::TransportError;

// Between two tries of a frame refused for a full transmit queue: about two
// frame times at 1 Mbit/s, so the queue has drained a little, without spinning.
constexpr Duration kFullQueuePause{0, 200'000};

// A motor whose reply is still due holds Timeout: what it ends with if the
// deadline passes first. Every other outcome is final.
const Error kAwaiting{TransportError::timeout()};

bool awaiting(const Result<MotorState>& outcome) {
    if (outcome) return false;
    const auto* t = outcome.error().as<errors::Transport>();
    return t != nullptr && t->error.kind == TransportError::Kind::Timeout;
}

bool full_queue(const TransportError& e) {
    return e.kind == TransportError::Kind::Backend && e.io.code == ENOBUFS;
}

// Errors: DuplicateMasterId for the first reply identifier seen twice.
Result<void> check_distinct_replies(std::span<const MotorCommand> commands) {
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const auto id = commands[i].motor.get().reply_id();
        for (std::size_t j = i + 1; j < commands.size(); ++j) {
            if (commands[j].motor.get().reply_id() == id)
                return std::unexpected(
                    Error(errors::DuplicateMasterId{static_cast<std::uint16_t>(id.value)}));
        }
    }
    return {};
}

Clock::duration longest_timeout(std::span<const MotorCommand> commands) {
    Clock::duration longest{};
    for (const auto& c : commands) longest = std::max(longest, c.motor.get().timeout().to_clock());
    return longest;
}

// Sends `frame`, retrying a full queue with pauses until `give_up`.
// Errors: the send's own error (ENOBUFS once `give_up` has passed), or the
// pause's Backend(EINTR) when a signal's handler says stop.
transport::Result<void> send_retrying(transport::CanTransport& bus, const CanFrame& frame,
                                      Clock::time_point give_up) {
    for (;;) {
        auto sent = bus.send(frame);
        if (sent || !full_queue(sent.error())) return sent;
        const Clock::time_point now = Clock::now();
        if (now >= give_up) return sent;
        const Duration left = Duration::until(give_up, now);
        const auto pause = left.to_clock() < kFullQueuePause.to_clock() ? left : kFullQueuePause;
        if (auto slept = bus.pause(pause); !slept) return slept;
    }
}

bool interrupted(const TransportError& e) {
    return e.kind == TransportError::Kind::Backend && e.io.code == EINTR;
}

}  // namespace

Result<void> run_cycle(transport::CanTransport& bus, std::span<const MotorCommand> commands,
                       std::span<Result<MotorState>> outcomes) {
    if (outcomes.size() != commands.size())
        return std::unexpected(Error(errors::OutcomeCount{commands.size(), outcomes.size()}));
    if (auto distinct = check_distinct_replies(commands); !distinct) return distinct;

    const Clock::time_point give_up = Clock::now() + longest_timeout(commands);
    Clock::duration wait{};
    std::size_t pending = 0;
    for (std::size_t i = 0; i < commands.size(); ++i) {
        const Damiao& motor = commands[i].motor.get();
        auto frame = motor.frame_of(commands[i].command);
        if (!frame) {
            outcomes[i] = std::unexpected(std::move(frame.error()));
            continue;
        }
        auto sent = send_retrying(bus, *frame, give_up);
        if (!sent && interrupted(sent.error())) {
            // Stopped by a signal: nothing more goes out and nothing is awaited.
            for (std::size_t j = 0; j < commands.size(); ++j)
                if (j >= i || awaiting(outcomes[j])) outcomes[j] = std::unexpected(Error(sent.error()));
            return {};
        }
        if (!sent) {
            outcomes[i] = std::unexpected(Error(sent.error()));
            continue;
        }
        outcomes[i] = std::unexpected(kAwaiting);
        wait = std::max(wait, motor.timeout().to_clock());
        ++pending;
    }
    if (pending == 0) return {};

    // Taken after the last send: transmit time does not count against the replies.
    const Clock::time_point deadline = Clock::now() + wait;
    auto last = bus.receive_until(deadline, [&](const CanFrame& f) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (!awaiting(outcomes[i]) || commands[i].motor.get().reply_id() != f.id) continue;
            outcomes[i] = commands[i].motor.get().decode_reply(f);
            --pending;
            break;
        }
        return pending == 0;
    });
    if (!last) {
        for (auto& o : outcomes)
            if (awaiting(o)) o = std::unexpected(Error(last.error()));
    }
    return {};
}

}  // namespace velkarin::damiao
