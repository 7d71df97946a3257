// Shared by the fuzz targets: a check that reports the broken property with
// the input's hex bytes and aborts, which libFuzzer records as a crash.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <span>

namespace velkarin::fuzz {

inline std::span<const std::uint8_t> g_input;  // the input of the running call

[[noreturn]] inline void fail(const char* what, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: property broken: %s\ninput (%zu bytes):", file, line, what,
                 g_input.size());
    for (const std::uint8_t b : g_input) std::fprintf(stderr, " %02x", b);
    std::fprintf(stderr, "\n");
    std::abort();
}

}  // namespace velkarin::fuzz

#define FUZZ_CHECK(cond)                                                  \
    do {                                                                  \
        if (!(cond)) ::velkarin::fuzz::fail(#cond, __FILE__, __LINE__);   \
    } while (0)
