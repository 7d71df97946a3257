// The command/reply exchange every backend inherits: send once, then read
// until the expected identifier shows up or one monotonic deadline passes.
#include "transport/transport.hpp"

#include <cerrno>
#include <chrono>

namespace velkarin::transport {

Result<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, Duration timeout) {
    using Clock = std::chrono::steady_clock;

    if (auto sent = send(frame); !sent) return std::unexpected(sent.error());

    // Taken after the send returned: time spent transmitting does not count
    // against the reply.
    const Clock::time_point deadline = Clock::now() + timeout.to_clock();
    for (;;) {
        // Each read gets only what is left, so a stream of unrelated frames
        // cannot stretch the wait past the deadline.
        const Clock::time_point now = Clock::now();
        if (deadline < now) return std::unexpected(TransportError::timeout());

        auto got = recv(Duration::until(deadline, now));
        if (!got) {
            if (resume_after(got.error())) continue;  // same deadline: still bounded
            return std::unexpected(got.error());      // Timeout included: no retry
        }
        if (got->id == expected) return got;
        // Any other frame is dropped here; nobody else will see it.
    }
}

bool CanTransport::resume_after(const TransportError& error) const {
    return error.kind == TransportError::Kind::Backend && error.io.code == EINTR &&
           interrupt_handler_ != nullptr && interrupt_handler_();
}

}  // namespace velkarin::transport
