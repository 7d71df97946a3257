// The bus interface the motor driver talks through: two primitives that a
// backend implements, and the deadline-bounded waits built on top of them.
#pragma once

#include <chrono>
#include <expected>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "can_frame.hpp"
#include "duration.hpp"
#include "reply_ledger.hpp"
#include "transport_error.hpp"

namespace velkarin::transport {

template <typename T>
using Result = std::expected<T, TransportError>;

using Clock = std::chrono::steady_clock;

// Asked by a wait that a signal cut short (a receive failing with
// Backend(EINTR), a pause woken early): true goes on waiting until the same
// deadline, false ends the wait with that EINTR error. It runs on the
// waiting thread between two system calls; the wait holds nothing but its
// deadline then, so the handler may use this transport itself. The Python
// binding runs the interpreter's signal handlers here, outside its bus
// lock, so that Ctrl-C ends a blocked call and a handler may command motors.
class InterruptHandler {
public:
    virtual bool resume_after_signal() = 0;

protected:
    ~InterruptHandler() = default;
};

class CanTransport {
public:
    CanTransport() = default;
    CanTransport(const CanTransport&) = delete;
    CanTransport& operator=(const CanTransport&) = delete;
    virtual ~CanTransport() = default;

    // Transmits `frame` once; never waits for a reply.
    // Errors: InvalidId (identifier out of its range, checked first),
    // FrameTooLarge (more than 8 bytes classic / 64 bytes FD), Backend (write
    // failed; EAGAIN when the backend does not block and its send buffer is
    // full, ENOBUFS when the interface's transmit queue is full).
    virtual Result<void> send(const CanFrame& frame) = 0;

    // Waits at most `timeout` for the next frame on the bus.
    // Errors: Timeout (nothing arrived in time), Backend (any other failure,
    // an interrupting signal included: the wait is not restarted).
    virtual Result<CanFrame> recv(Duration timeout) = 0;

    // Waits at most `timeout` until a send would find room again, for a
    // backend whose send reports a full buffer (EAGAIN) instead of blocking.
    // The default, for backends without such a wait, pauses a moment.
    // Errors: Timeout (still full), Backend (EINTR included, not restarted).
    virtual Result<void> wait_writable(Duration timeout);

    // Several frames per system call, for a backend that can (the default
    // sends or receives one frame through the primitives above).
    //
    // send_some sends `frames` in order until one fails, and returns how many
    // went out. Errors: those of `send` for the first frame (nothing went
    // out); a later frame's failure ends the batch short instead, and sending
    // from that frame again reports it.
    virtual Result<std::size_t> send_some(std::span<const CanFrame> frames);
    // recv_some waits at most `timeout` for the first frame, then takes the
    // frames already queued behind it without waiting, up to out.size()
    // (at least 1). A zero `timeout` takes only what is queued already.
    // Returns how many it stored. Errors: those of `recv`.
    virtual Result<std::size_t> recv_some(Duration timeout, std::span<CanFrame> out);

    // The one receive loop of every exchange: reads until `accept(frame)`
    // says a frame is the one awaited and returns it. Every frame goes
    // through the bus's reply ledger first, so one that an older claim is
    // owed (an interrupted call's reply, a late reply) goes there and is not
    // offered; every other frame is dropped, and every frame after the
    // accepted one stays queued for the next reader. `accept` must not act
    // on a frame: it may be asked about one that an older claim then takes.
    // Each read gets only the time left until `deadline`, so no stream of
    // unrelated frames can stretch the wait; once it has passed, a few reads
    // that do not wait still take what is already queued, so a reply that
    // came in time is not lost to a reader that came late.
    // Errors: Timeout when the deadline passes, any other recv error at once
    // (an interruption only when the handler says to stop).
    template <typename Accept>
    Result<CanFrame> receive_until(Clock::time_point deadline, Accept&& accept);

    // Reads until `waiter`, registered on this bus's ledger, is done, each
    // read bounded by the time left until `deadline`. After a signal whose
    // handler says go on, `waiter` is asked again first: the handler's own
    // commands may have read its frames. Errors: those of receive_until.
    Result<void> await(ReplyLedger::Waiter& waiter, Clock::time_point deadline);

    // The same loop for a caller that consumes all traffic until it is done,
    // such as a cycle of several motors: each read takes every frame already
    // queued (recv_some) into `batch` and routes each one. `now` is the first
    // reading of the clock the loop uses; a caller that has just read it for
    // the deadline passes it on. `on_signal`, when set, is asked about a
    // signal instead of the bus's own handler. Errors: those of receive_until.
    Result<void> drain_until(ReplyLedger::Waiter& waiter, Clock::time_point deadline,
                             std::span<CanFrame> batch, Clock::time_point now,
                             InterruptHandler* on_signal = nullptr);

    // Told about each frame settle_before_send drops as an earlier
    // command's late reply.
    class LateReplies {
    public:
        virtual void dropped(const CanFrame& f) = 0;

    protected:
        ~LateReplies() = default;
    };

    // Before a command's frames go out while earlier commands still owe
    // replies: whatever the bus has queued now came before those frames, so
    // it is no reply of theirs. It is read (at most so many reads, so a
    // flooded bus cannot hold a command here), settling the debts it
    // answers (each one told to `told`, if set), and the debts whose window
    // has passed are forgotten. Nothing is read when nothing is owed.
    void settle_before_send(LateReplies* told = nullptr);

    // The bus's reply ledger, for a caller with receive loops of its own.
    ReplyLedger& replies() { return replies_; }

    // Sends `frame` (send_within, with `timeout` as its patience), then
    // returns the first received frame whose identifier equals `expected`
    // (same kind and value) that no older claim takes. One monotonic
    // deadline, taken after the send, bounds the whole wait. A request that
    // ends without its reply leaves a debt on `expected` for one more
    // `timeout` after its deadline, so that its late reply is never a later
    // command's: only once queued (Claim::QueuedOnly) if a frame it wanted
    // was taken as an earlier command's late reply, which may have been its
    // own (one reply lost for good then fails one more command, not every
    // one after it).
    // Errors: whatever send_within returns (nothing is read then), and those
    // of receive_until.
    Result<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

    // How long a full send buffer (EAGAIN) or transmit queue (ENOBUFS) is
    // waited out: `patience` from the first refusal, so the clock is read
    // only once a queue is full. Calls that belong together (the chunks of
    // one cycle) share one, and with it the bound. A full transmit queue is
    // retried after short pauses only with `retry_full_queue`; otherwise it
    // fails the send at once, as one command's send does.
    // `on_signal`, when set, is asked instead of the bus's own handler.
    struct QueueWait {
        Duration patience;
        bool retry_full_queue = true;
        InterruptHandler* on_signal = nullptr;
        std::optional<Clock::time_point> give_up{};  // set at the first refusal
    };
    struct SendOutcome {
        std::size_t sent;                      // frames that went out, in order
        std::optional<TransportError> error;  // why the next one did not
    };
    // Sends `frames` (one frame through `send`, more through send_some),
    // waiting out what `wait` allows, never spinning. A signal during a wait
    // asks the interrupt handler, as a receive does. Errors (in `error`): the
    // first failing frame's own, Backend(ENOBUFS) once the patience is spent
    // (for a full send buffer too: both mean the bus takes no more frames),
    // or Backend(EINTR) when a signal's handler says stop.
    SendOutcome send_waiting(std::span<const CanFrame> frames, QueueWait& wait);

    // One command's send: `frame`, waiting at most `patience` for room in a
    // full send buffer; a full transmit queue fails at once. On the common
    // path this is exactly one send. Errors: those of send_waiting.
    Result<void> send_within(const CanFrame& frame, Duration patience);

    // Sleeps the calling thread for `length` on the monotonic clock. A signal
    // that wakes it asks the interrupt handler (`on_signal` instead, when
    // set), as a receive does.
    // Errors: Backend(EINTR) when the handler (or its absence) ends it early.
    Result<void> pause(Duration length, InterruptHandler* on_signal = nullptr);

    // Asks the backend to stamp every frame recv_some returns with its
    // arrival (CanFrame::received_ns) from now on, at no cost per read; a
    // backend that cannot leaves them 0.
    virtual void stamp_received_frames() {}

    // Frames refused for good because the bus took no more (a full transmit
    // queue or send buffer outlasting the patience: ENOBUFS), since the start.
    std::uint64_t full_queue_failures() const { return full_queue_failures_; }

    // A descriptor that polls readable while a frame is queued, for one wait
    // over several buses (wait_any_readable); none for a backend without one.
    virtual std::optional<int> poll_descriptor() const { return std::nullopt; }

    // With no handler (the default) every interruption ends the wait.
    void set_interrupt_handler(InterruptHandler* handler) { interrupt_handler_ = handler; }
    InterruptHandler* interrupt_handler() const { return interrupt_handler_; }

protected:
    // A backend moves its resource along with itself; keeping these
    // protected stops slicing moves through the interface.
    CanTransport(CanTransport&&) noexcept = default;
    CanTransport& operator=(CanTransport&&) noexcept = default;

private:
    // True when `error` is an interruption that the handler says to resume:
    // `on_signal` when set, else the bus's own.
    bool resume_after(const TransportError& error, InterruptHandler* on_signal = nullptr);

    InterruptHandler* interrupt_handler_ = nullptr;
    ReplyLedger replies_;
    std::uint64_t full_queue_failures_ = 0;
};

namespace detail {
// A receive loop's waiter for the first frame that `accept` takes.
template <typename Accept>
class FirstAccepted final : public ReplyLedger::Waiter {
public:
    explicit FirstAccepted(Accept& accept) : accept_(accept) {}
    bool wants(const CanFrame& f) const override { return !frame && accept_(f); }
    void take(const CanFrame& f) override { frame = f; }
    void passed_over(const CanFrame&) override { passed = true; }
    bool done() const override { return frame.has_value(); }

    std::optional<CanFrame> frame;
    bool passed = false;  // a frame it wanted went to an earlier command's debt

private:
    Accept& accept_;
};
}  // namespace detail

template <typename Accept>
Result<CanFrame> CanTransport::receive_until(Clock::time_point deadline, Accept&& accept) {
    detail::FirstAccepted<std::remove_reference_t<Accept>> waiter(accept);
    ReplyLedger::Scope registered(replies_, waiter);
    if (auto got = await(waiter, deadline); !got) return std::unexpected(got.error());
    return std::move(*waiter.frame);
}

}  // namespace velkarin::transport
