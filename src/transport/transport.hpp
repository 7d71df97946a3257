// The bus interface the motor driver talks through: two primitives that a
// backend implements, and the command/reply exchange built on top of them.
#pragma once

#include <expected>

#include "transport/can_frame.hpp"
#include "transport/duration.hpp"
#include "transport/transport_error.hpp"

namespace velkarin::transport {

template <typename T>
using Result = std::expected<T, TransportError>;

class CanTransport {
public:
    CanTransport() = default;
    CanTransport(const CanTransport&) = delete;
    CanTransport& operator=(const CanTransport&) = delete;
    virtual ~CanTransport() = default;

    // Transmits `frame` once; never waits for a reply.
    // Errors: InvalidId (identifier out of its range, checked first),
    // FrameTooLarge (more than 8 bytes classic / 64 bytes FD), Backend (write failed).
    virtual Result<void> send(const CanFrame& frame) = 0;

    // Waits at most `timeout` for the next frame on the bus.
    // Errors: Timeout (nothing arrived in time), Backend (any other failure,
    // an interrupting signal included: the wait is not restarted).
    virtual Result<CanFrame> recv(Duration timeout) = 0;

    // Sends `frame`, then returns the first received frame whose identifier
    // equals `expected` (same kind and value). One monotonic deadline, taken
    // after the send, bounds the whole wait; every other frame is dropped.
    // Errors: whatever `send` returns (nothing is read then), Timeout when the
    // deadline passes, and any `recv` error at once (but see below for EINTR).
    Result<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

    // A signal that interrupts a wait makes `recv` fail with Backend(EINTR).
    // Loops that wait against a deadline (`request`, the driver's register
    // reads) then ask this handler: true resumes the wait until the same
    // deadline, false ends it with that error. With no handler (the default)
    // every interruption ends the wait. The Python binding runs the
    // interpreter's signal handlers here, so that Ctrl-C ends a blocked call
    // while a handler that returns normally leaves the call undisturbed.
    using InterruptHandler = bool (*)();
    void set_interrupt_handler(InterruptHandler handler) { interrupt_handler_ = handler; }

    // True when `error` is an interrupted wait that the handler says to resume.
    bool resume_after(const TransportError& error) const;

protected:
    // A backend moves its resource along with itself; the interface holds no
    // state, and keeping these protected stops slicing moves through it.
    CanTransport(CanTransport&&) noexcept = default;
    CanTransport& operator=(CanTransport&&) noexcept = default;

private:
    InterruptHandler interrupt_handler_ = nullptr;
};

}  // namespace velkarin::transport
