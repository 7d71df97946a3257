// Finding the motors on a bus: every CAN id of a range asked for its master
// id (MST_ID), with a bounded window of reads in flight.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <vector>

#include "../transport/transport.hpp"
#include "error.hpp"
#include "frame_format.hpp"

namespace velkarin::damiao {

// At most this many reads are in flight: a slow listener (a virtual bus has
// no bit rate to pace frames) must never find its receive queue overrun, and
// at 1 Mbit/s the window is a 7 ms burst. With a 50 ms time-out the whole id
// range takes 2046 / 64 x 50 ms, under two seconds of silence.
inline constexpr std::size_t kScanWindow = 64;

struct FoundMotor {
    std::uint16_t id;
    std::uint16_t master_id;  // register MST_ID
};

// A scan that could not go on, and the motor whose read it was at.
struct ScanError {
    Error error;
    std::uint16_t motor_id;
};

// The motors from `first` to `last` that answer a read of MST_ID within
// `timeout` of its request, sorted by id; a reply counts while the scan goes
// on, so a motor slow to answer is found all the same. The reply must name
// the motor asked and come on the master id its value names; a motor that
// answers twice (two motors on one id) is listed once. Requests go out in
// `format`.
// Errors: Transport (a send refused for longer than the time-out, a failed
// read, an interruption), with the motor whose request or reply it was at.
std::expected<std::vector<FoundMotor>, ScanError> find_motors(transport::CanTransport& bus,
                                                              std::uint16_t first, std::uint16_t last,
                                                              transport::Duration timeout,
                                                              FrameFormat format);

}  // namespace velkarin::damiao
