// Frame checks shared by the driver tests: the payload of a frame as a byte
// vector, and the check that a command went out as a plain classic frame.
#pragma once

#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "transport/can_frame.hpp"

namespace velkarin::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes bytes_of(const transport::CanFrame& f) { return {f.data().begin(), f.data().end()}; }

// A classic data frame (no FD, no bit rate switch) on standard id `id` carrying `data`.
inline void expect_classic_frame(const transport::CanFrame& f, std::uint16_t id, const Bytes& data) {
    EXPECT_EQ(f.id, transport::CanId::standard(id));
    EXPECT_FALSE(f.fd);
    EXPECT_FALSE(f.brs);
    EXPECT_EQ(bytes_of(f), data);
}

}  // namespace velkarin::testing
