// The batched cycle: all frames out, then one deadline-bounded receive loop
// that hands each reply to the motor whose master id it carries.
#include "damiao/cycle.hpp"

#include <algorithm>
#include <cerrno>
#include <array>
#include <chrono>
#include <optional>
#include <span>

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::Clock;
using transport::Duration;
using transport::TransportError;

// Frames built and sent together, and replies read together.
constexpr std::size_t kChunk = 16;

// A motor whose reply is still due holds Timeout: what it ends with if the
// deadline passes first. Every other outcome is final.
const Error kAwaiting{TransportError::timeout()};

bool awaiting(const Result<MotorState>& outcome) {
    if (outcome) return false;
    const auto* t = outcome.error().as<errors::Transport>();
    return t != nullptr && t->error.kind == TransportError::Kind::Timeout;
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

Duration longest_timeout(std::span<const MotorCommand> commands) {
    Duration longest{};
    for (const auto& c : commands)
        if (c.motor.get().timeout().to_clock() > longest.to_clock()) longest = c.motor.get().timeout();
    return longest;
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

    // One bound for the whole cycle's full-queue waits.
    transport::CanTransport::QueueWait queue_wait{longest_timeout(commands)};
    Clock::duration wait{};
    std::size_t pending = 0;
    // Frames go out in chunks built on the stack: no allocation, and one
    // system call for a chunk where the bus can.
    std::array<CanFrame, kChunk> frames;
    std::array<std::size_t, kChunk> owner{};
    for (std::size_t next = 0; next < commands.size();) {
        std::size_t built = 0;
        for (; next < commands.size() && built < kChunk; ++next) {
            auto frame = commands[next].motor.get().frame_of(commands[next].command);
            if (!frame) {
                outcomes[next] = std::unexpected(std::move(frame.error()));
                continue;
            }
            frames[built] = *frame;
            owner[built++] = next;
        }
        for (std::size_t done = 0; done < built;) {
            const auto result = bus.send_waiting(std::span(frames).subspan(done, built - done), queue_wait);
            for (std::size_t k = done; k < done + result.sent; ++k) {
                outcomes[owner[k]] = std::unexpected(kAwaiting);
                wait = std::max(wait, commands[owner[k]].motor.get().timeout().to_clock());
                ++pending;
            }
            done += result.sent;
            if (!result.error) continue;
            if (interrupted(*result.error)) {
                // Stopped by a signal: nothing more goes out and nothing is awaited.
                for (std::size_t j = 0; j < commands.size(); ++j)
                    if (j >= owner[done] || awaiting(outcomes[j]))
                        outcomes[j] = std::unexpected(Error(*result.error));
                return {};
            }
            outcomes[owner[done++]] = std::unexpected(Error(*result.error));  // that frame alone
        }
    }
    if (pending == 0) return {};

    // Taken after the last send: transmit time does not count against the replies.
    const Clock::time_point sent_all = Clock::now();
    const Clock::time_point deadline = sent_all + wait;
    // Every frame until the last reply is this cycle's to take: read them in
    // batches, one system call for all the replies already queued.
    std::array<CanFrame, kChunk> batch;
    auto last = bus.receive_until(deadline, [&](const CanFrame& f) {
        for (std::size_t i = 0; i < commands.size(); ++i) {
            if (!awaiting(outcomes[i]) || commands[i].motor.get().reply_id() != f.id) continue;
            outcomes[i] = commands[i].motor.get().decode_reply(f);
            --pending;
            break;
        }
        return pending == 0;
    }, batch, sent_all);
    if (!last) {
        for (auto& o : outcomes)
            if (awaiting(o)) o = std::unexpected(Error(last.error()));
    }
    return {};
}

}  // namespace velkarin::damiao
