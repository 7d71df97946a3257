// The wait over several buses' sockets.
#include "transport/wait_any.hpp"

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace velkarin::transport {

Result<void> wait_any_readable(std::span<CanTransport* const> buses, Clock::time_point deadline,
                               std::span<bool> ready, InterruptHandler* handler) {
    std::array<pollfd, kMaxWaitBuses> fds{};  // on the stack
    const std::size_t n = std::min(buses.size(), kMaxWaitBuses);
    for (std::size_t i = 0; i < n; ++i)
        fds[i] = {buses[i]->poll_descriptor().value_or(-1), POLLIN, 0};
    for (;;) {
        const Clock::time_point now = Clock::now();
        if (deadline <= now) return std::unexpected(TransportError::timeout());
        const timespec left = Duration::until(deadline, now).to_timespec();
        const int got = ::ppoll(fds.data(), n, &left, nullptr);
        if (got > 0) {
            // An error or hang-up counts as ready: the read reports it.
            for (std::size_t i = 0; i < n; ++i) ready[i] = fds[i].revents != 0;
            return {};
        }
        if (got == 0) return std::unexpected(TransportError::timeout());
        const auto error = TransportError::backend_errno(errno);
        if (error.is_os_error(EINTR) && handler != nullptr && handler->resume_after_signal()) {
            // The handler's own commands may have read frames the caller
            // waits for: it looks again before waiting on.
            std::fill(ready.begin(), ready.begin() + static_cast<std::ptrdiff_t>(n), false);
            return {};
        }
        return std::unexpected(error);
    }
}

}  // namespace velkarin::transport
