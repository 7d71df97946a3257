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
    // deadline passes, and any `recv` error at once.
    Result<CanFrame> request(const CanFrame& frame, CanId expected, Duration timeout);

protected:
    // A backend moves its resource along with itself; the interface holds no
    // state, and keeping these protected stops slicing moves through it.
    CanTransport(CanTransport&&) noexcept = default;
    CanTransport& operator=(CanTransport&&) noexcept = default;
};

}  // namespace velkarin::transport
