// timed_loop.hpp: the measured loop of the benchmark's native programs and the one JSON line
// they print: warm-up, then N calls under the monotonic clock and getrusage of the thread.
#pragma once

#include <sys/resource.h>
#include <time.h>
#include <valgrind/callgrind.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace bench {

inline std::int64_t now_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

// What getrusage says of this thread: its CPU time, and how often it gave up the CPU waiting
// (voluntary) or was preempted (involuntary).
struct ThreadUsage {
    std::int64_t cpu_ns = 0;
    long voluntary = 0;
    long involuntary = 0;
};

inline ThreadUsage thread_usage() {
    rusage ru{};
    ::getrusage(RUSAGE_THREAD, &ru);
    auto ns = [](const timeval& tv) {
        return static_cast<std::int64_t>(tv.tv_sec) * 1'000'000'000 + tv.tv_usec * 1000;
    };
    return {ns(ru.ru_utime) + ns(ru.ru_stime), ru.ru_nvcsw, ru.ru_nivcsw};
}

struct Run {
    long iterations = 0;
    std::int64_t wall_ns = 0;
    ThreadUsage used;               // over the measured loop
    std::vector<std::int64_t> lat;  // one entry per call when stamped, else empty
};

// `warmup` calls, then `iterations` under the clock: with `stamps`, one clock read after every
// call (each latency includes it); with `callgrind`, collection is on for the measured loop only.
template <typename Call>
Run timed_loop(Call&& call, long iterations, long warmup, bool stamps, bool callgrind) {
    for (long i = 0; i < warmup; ++i) call();
    Run r;
    r.iterations = iterations;
    r.lat.resize(stamps ? static_cast<std::size_t>(iterations) : 0);
    if (callgrind) CALLGRIND_TOGGLE_COLLECT;
    const ThreadUsage u0 = thread_usage();
    const std::int64_t t0 = now_ns();
    if (stamps) {
        std::int64_t t = t0;
        for (auto& slot : r.lat) {
            call();
            const std::int64_t t2 = now_ns();
            slot = t2 - t;
            t = t2;
        }
    } else {
        for (long i = 0; i < iterations; ++i) call();
    }
    r.wall_ns = now_ns() - t0;
    const ThreadUsage u1 = thread_usage();
    r.used = {u1.cpu_ns - u0.cpu_ns, u1.voluntary - u0.voluntary, u1.involuntary - u0.involuntary};
    if (callgrind) CALLGRIND_TOGGLE_COLLECT;
    return r;
}

// {"iterations": N, "wall_ns": W, "cpu_ns": C, "voluntary_switches": V,
// "involuntary_switches": I, <extra>, "lat_ns": [...]} on one line; `extra` holds further
// "key": value pairs.
inline void print_run(const Run& r, const std::string& extra) {
    std::printf("{\"iterations\": %ld, \"wall_ns\": %lld, \"cpu_ns\": %lld, "
                "\"voluntary_switches\": %ld, \"involuntary_switches\": %ld, %s, \"lat_ns\": [",
                r.iterations, static_cast<long long>(r.wall_ns), static_cast<long long>(r.used.cpu_ns),
                r.used.voluntary, r.used.involuntary, extra.c_str());
    for (std::size_t i = 0; i < r.lat.size(); ++i)
        std::printf(i == 0 ? "%lld" : ", %lld", static_cast<long long>(r.lat[i]));
    std::printf("]}\n");
}

}  // namespace bench
