// One wait over several buses: until any of them has a frame queued, under
// one deadline, with signals handled as in every other wait.
#pragma once

#include <span>

#include "transport.hpp"

namespace velkarin::transport {

// The most buses one wait takes.
inline constexpr std::size_t kMaxWaitBuses = 64;

// Waits until at least one of `buses` has a frame queued or `deadline`
// passes, with one ppoll over their poll descriptors; `ready[i]` then says
// whether buses[i] has. A signal asks `handler` (none: the wait ends): true
// returns with none ready, so that the caller sees what the handler's own
// commands changed before it waits on to the same deadline. Every bus must have a poll descriptor, and
// there are at most kMaxWaitBuses of them.
// Errors: Timeout (the deadline passed), Backend (ppoll failed; EINTR when
// the handler said stop).
Result<void> wait_any_readable(std::span<CanTransport* const> buses, Clock::time_point deadline,
                               std::span<bool> ready, InterruptHandler* handler);

}  // namespace velkarin::transport
