// The exchanges every backend inherits: the command/reply request and the
// interruptible pause, both bounded by one monotonic deadline.
#include "transport/transport.hpp"

#include <time.h>

#include <cerrno>

namespace velkarin::transport {

Result<CanFrame> CanTransport::request(const CanFrame& frame, CanId expected, Duration timeout) {
    if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
    // Taken after the send returned: time spent transmitting does not count
    // against the reply.
    const Clock::time_point deadline = Clock::now() + timeout.to_clock();
    return receive_until(deadline, [expected](const CanFrame& f) { return f.id == expected; });
}

Result<void> CanTransport::pause(Duration length) {
    // steady_clock is CLOCK_MONOTONIC on Linux; sleeping to an absolute time
    // keeps a resumed pause to its first end.
    const auto end = (Clock::now() + length.to_clock()).time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(end);
    const timespec until{static_cast<time_t>(secs.count()),
                         static_cast<long>(std::chrono::nanoseconds(end - secs).count())};
    for (;;) {
        const int rc = ::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr);
        if (rc == 0) return {};
        const auto error = TransportError::backend_errno(rc);
        if (!resume_after(error)) return std::unexpected(error);
    }
}

bool CanTransport::resume_after(const TransportError& error) {
    return error.kind == TransportError::Kind::Backend && error.io.code == EINTR &&
           interrupt_handler_ != nullptr && interrupt_handler_->resume_after_signal();
}

}  // namespace velkarin::transport
