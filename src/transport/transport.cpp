// The exchanges every backend inherits: the command/reply request and the
// interruptible pause, both bounded by one monotonic deadline.
#include "transport/transport.hpp"

#include <time.h>

#include <array>
#include <cerrno>
#include <optional>

namespace velkarin::transport {

Result<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, Duration timeout) {
    settle_before_send();
    if (auto sent = send_within(frame, timeout); !sent) return std::unexpected(sent.error());
    // Taken after the send returned: time spent transmitting does not count
    // against the reply.
    const Clock::time_point deadline = later_by(Clock::now(), timeout);
    auto is_reply = [expected](const CanFrame& f) { return f.id == expected; };
    detail::FirstAccepted<decltype(is_reply)> waiter(is_reply);
    ReplyLedger::Scope registered(replies_, waiter);
    if (auto got = await(waiter, deadline); !got) {
        // Its reply may still come: the next command on `expected` must not take it.
        if (!waiter.frame)
            replies_.owe(expected, later_by(deadline, timeout), waiter.order(),
                         waiter.passed ? ReplyLedger::Claim::QueuedOnly : ReplyLedger::Claim::Reply);
        return std::unexpected(got.error());
    }
    return std::move(*waiter.frame);
}

namespace {

// Past its deadline a wait still takes what is already queued, up to this
// many reads that do not wait: a reply that came in time is no time-out
// because this thread was late to read it (descheduled, a page fault, a busy
// host). A frame that has not come yet is not waited for.
constexpr int kLateReads = 16;

// How long the next read of one wait may block: what is left until its
// deadline, then nothing for kLateReads reads, then no read at all.
class ReadBudget {
public:
    explicit ReadBudget(Clock::time_point deadline) : deadline_(deadline) {}

    std::optional<Duration> next(Clock::time_point now) {
        if (!(deadline_ < now)) return Duration::until(deadline_, now);
        if (late_reads_ == kLateReads) return std::nullopt;
        ++late_reads_;
        return Duration{};
    }

private:
    Clock::time_point deadline_;
    int late_reads_ = 0;
};

}  // namespace

Result<void> CanTransport::await(ReplyLedger::Waiter& waiter, Clock::time_point deadline) {
    ReadBudget budget(deadline);
    for (;;) {
        if (waiter.done()) return {};
        const auto wait = budget.next(Clock::now());
        if (!wait) return std::unexpected(TransportError::timeout());
        auto got = recv(*wait);
        if (!got) {
            if (resume_after(got.error())) continue;  // same deadline: still bounded
            return std::unexpected(got.error());      // Timeout included: no retry
        }
        // A frame nobody claims is dropped here; nobody else will see it.
        replies_.route(*got, waiter);
    }
}

Result<void> CanTransport::drain_until(ReplyLedger::Waiter& waiter, Clock::time_point deadline,
                                       std::span<CanFrame> batch, Clock::time_point now,
                                       InterruptHandler* on_signal) {
    ReadBudget budget(deadline);
    for (bool first = true;; first = false) {
        if (waiter.done()) return {};
        if (!first) now = Clock::now();
        const auto wait = budget.next(now);
        if (!wait) return std::unexpected(TransportError::timeout());
        auto got = recv_some(*wait, batch);
        if (!got) {
            if (resume_after(got.error(), on_signal)) continue;
            return std::unexpected(got.error());
        }
        for (const CanFrame& f : batch.first(*got)) replies_.route(f, waiter);
    }
}

void CanTransport::settle_before_send(LateReplies* told) {
    if (!replies_.owes()) return;
    std::array<CanFrame, 16> batch;
    for (int reads = 0; reads < 64; ++reads) {
        auto got = recv_some(Duration{}, batch);  // Timeout: nothing queued
        if (!got || *got == 0) break;
        for (const CanFrame& f : std::span(batch).first(*got))
            if (replies_.settle_queued(f) && told != nullptr) told->dropped(f);
    }
    replies_.forget_expired(Clock::now());
}

Result<std::size_t> CanTransport::send_some(std::span<const CanFrame> frames) {
    std::size_t sent = 0;
    for (const CanFrame& f : frames) {
        auto one = send(f);
        if (!one) {
            if (sent == 0) return std::unexpected(one.error());
            break;
        }
        ++sent;
    }
    return sent;
}

Result<std::size_t> CanTransport::recv_some(Duration timeout, std::span<CanFrame> out) {
    if (out.empty()) return 0;
    auto one = recv(timeout);
    if (!one) return std::unexpected(one.error());
    out[0] = *one;
    return 1;
}

namespace {

// Between two tries of a refused frame: about two frame times at 1 Mbit/s, so
// the queue has drained a little.
constexpr Duration kFullQueuePause{0, 200'000};

// One pause between tries: the full pause, or what is left if that is less.
Duration one_pause(Duration left) {
    return left.to_clock() < kFullQueuePause.to_clock() ? left : kFullQueuePause;
}

}  // namespace

// One short sleep; an interruption is returned, not resumed: the caller asks
// the interrupt handler, as it does for a backend's own wait.
Result<void> CanTransport::wait_writable(Duration timeout) {
    const timespec length = one_pause(timeout).to_timespec();
    const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, 0, &length, nullptr);
    if (rc != 0) return std::unexpected(TransportError::backend_errno(rc));
    return {};
}

CanTransport::SendOutcome CanTransport::send_waiting(std::span<const CanFrame> frames,
                                                     QueueWait& wait) {
    std::size_t done = 0;
    while (done < frames.size()) {
        const auto rest = frames.subspan(done);
        Result<std::size_t> sent = std::size_t{1};
        if (rest.size() > 1) {
            sent = send_some(rest);
        } else if (auto one = send(rest.front()); !one) {
            sent = std::unexpected(one.error());
        }
        if (sent) {
            done += *sent;
            continue;
        }
        const auto& e = sent.error();
        const bool buffer_full = e.is_os_error(EAGAIN) || e.is_os_error(EWOULDBLOCK);
        const bool queue_full = e.is_os_error(ENOBUFS);
        if (!buffer_full && !(queue_full && wait.retry_full_queue)) {
            if (queue_full) ++full_queue_failures_;
            return {done, e};
        }

        const Clock::time_point now = Clock::now();
        if (!wait.give_up) wait.give_up = now + wait.patience.to_clock();
        // Out of patience: the bus takes no more frames, whichever queue is full.
        if (now >= *wait.give_up) {
            ++full_queue_failures_;
            return {done, TransportError::backend_errno(ENOBUFS)};
        }
        const Duration left = Duration::until(*wait.give_up, now);
        if (buffer_full) {
            auto writable = wait_writable(left);
            if (writable || writable.error().kind == TransportError::Kind::Timeout) continue;
            if (resume_after(writable.error(), wait.on_signal)) continue;  // same bound
            return {done, writable.error()};
        }
        // pause asks the interrupt handler itself.
        if (auto slept = pause(one_pause(left), wait.on_signal); !slept) return {done, slept.error()};
    }
    return {done, std::nullopt};
}

Result<void> CanTransport::send_within(const CanFrame& frame, Duration patience) {
    QueueWait wait{patience, false};
    const auto outcome = send_waiting({&frame, 1}, wait);
    if (outcome.error) return std::unexpected(*outcome.error);
    return {};
}

Result<void> CanTransport::pause(Duration length, InterruptHandler* on_signal) {
    // Sleeping to an absolute time keeps a resumed pause to its first end.
    const timespec until = timespec_at(later_by(Clock::now(), length));
    for (;;) {
        const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (rc == 0) return {};
        const auto error = TransportError::backend_errno(rc);
        if (!resume_after(error, on_signal)) return std::unexpected(error);
    }
}

bool CanTransport::resume_after(const TransportError& error, InterruptHandler* on_signal) {
    InterruptHandler* handler = on_signal != nullptr ? on_signal : interrupt_handler_;
    return error.is_os_error(EINTR) && handler != nullptr && handler->resume_after_signal();
}

}  // namespace velkarin::transport
