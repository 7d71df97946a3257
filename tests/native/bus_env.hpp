// Whether this test run has a CAN bus. Inside tools/vcan-run (which sets
// VELKARIN_REQUIRE_BUS=1) a missing vcan0 fails the test; elsewhere the test
// is skipped with a reason that names the harness.
#pragma once

#include <net/if.h>

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

namespace velkarin::testing {

inline bool bus_required() {
    const char* v = std::getenv("VELKARIN_REQUIRE_BUS");
    return v != nullptr && std::strcmp(v, "1") == 0;
}

inline bool have_interface(const char* name) { return if_nametoindex(name) != 0; }

}  // namespace velkarin::testing

// First statement of a test that needs vcan0 (and vcan1).
#define VELKARIN_REQUIRE_BUS_OR_SKIP()                                                   \
    do {                                                                                 \
        if (!::velkarin::testing::have_interface("vcan0")) {                             \
            if (::velkarin::testing::bus_required()) FAIL() << "vcan0 is missing";      \
            GTEST_SKIP() << "needs a CAN bus: run under tools/vcan-run";                 \
        }                                                                                \
    } while (0)
