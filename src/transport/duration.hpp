// A wait bound as the bus interface takes it: whole seconds plus nanoseconds
// below one second, converted to and from the monotonic clock.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <limits>

namespace velkarin::transport {

struct Duration {
    std::uint64_t secs = 0;
    std::uint32_t nanos = 0;  // always below 1'000'000'000

    static constexpr Duration from_millis(std::uint64_t ms) {
        return {ms / 1000, static_cast<std::uint32_t>((ms % 1000) * 1'000'000)};
    }

    // Saturates instead of overflowing: a time-out of 2^64 - 1 ms is "forever"
    // for any robot, but it must not wrap to a deadline in the past.
    std::chrono::steady_clock::duration to_clock() const {
        using namespace std::chrono;
        constexpr auto max_secs = static_cast<std::uint64_t>(
            duration_cast<seconds>(steady_clock::duration::max()).count() / 2);
        if (secs >= max_secs) return steady_clock::duration::max() / 2;
        return duration_cast<steady_clock::duration>(seconds(secs) + nanoseconds(nanos));
    }

    // Time left until `deadline`; zero when it has passed.
    static Duration until(std::chrono::steady_clock::time_point deadline,
                          std::chrono::steady_clock::time_point now) {
        using namespace std::chrono;
        if (deadline <= now) return {};
        const auto left = duration_cast<nanoseconds>(deadline - now).count();
        return {static_cast<std::uint64_t>(left / 1'000'000'000),
                static_cast<std::uint32_t>(left % 1'000'000'000)};
    }

    // As the kernel's timespec for a relative wait (ppoll, clock_nanosleep),
    // seconds clamped to what tv_sec holds. A zero wait only looks.
    timespec to_timespec() const {
        using Sec = decltype(timespec::tv_sec);
        constexpr auto max_sec = static_cast<std::uint64_t>(std::numeric_limits<Sec>::max());
        return {static_cast<Sec>(secs < max_sec ? secs : max_sec), static_cast<long>(nanos)};
    }

    constexpr bool is_zero() const { return secs == 0 && nanos == 0; }
    friend constexpr bool operator==(const Duration&, const Duration&) = default;
};

// A std::chrono duration as a Duration, nanoseconds truncated; a negative
// one is zero.
template <typename Rep, typename Period>
constexpr Duration from_chrono(std::chrono::duration<Rep, Period> d) {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    if (ns <= 0) return {};
    return {static_cast<std::uint64_t>(ns / 1'000'000'000), static_cast<std::uint32_t>(ns % 1'000'000'000)};
}

// A point on the monotonic clock as the kernel's timespec, for a sleep to an
// absolute time (clock_nanosleep with TIMER_ABSTIME on CLOCK_MONOTONIC, which
// steady_clock is on Linux).
inline timespec timespec_at(std::chrono::steady_clock::time_point t) {
    const auto since = t.time_since_epoch();
    const Duration d = from_chrono(since);
    return d.to_timespec();
}

// `from` plus `d`, saturated at the clock's last instant: a deadline a
// time-out after another deadline must not wrap into the past.
inline std::chrono::steady_clock::time_point later_by(std::chrono::steady_clock::time_point from,
                                                      Duration d) {
    using Clock = std::chrono::steady_clock;
    const Clock::duration step = d.to_clock();
    if (from.time_since_epoch() > Clock::duration::max() - step) return Clock::time_point::max();
    return from + step;
}

}  // namespace velkarin::transport
