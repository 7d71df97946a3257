// How the driver's frames go on the wire: classic CAN, or CAN FD with
// bit-rate switch for motors set to an FD bit rate. Either way a frame is a
// standard identifier and the same 8 payload bytes.
#pragma once

#include <cstdint>

#include "../transport/can_frame.hpp"
#include "payload.hpp"

namespace velkarin::damiao {

enum class FrameFormat : std::uint8_t { Classic, Fd };

// The one place a Damiao frame is made from an identifier and its payload.
inline transport::CanFrame frame_on(transport::CanId id, const Payload& data,
                                    FrameFormat format = FrameFormat::Classic) {
    const bool fd = format == FrameFormat::Fd;
    return transport::CanFrame(id, data, fd, fd);
}

}  // namespace velkarin::damiao
