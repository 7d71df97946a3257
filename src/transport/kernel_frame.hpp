// A CanFrame to and from the raw bytes a CAN_RAW socket reads and writes: the
// kernel's 16-byte struct can_frame and 72-byte struct canfd_frame layouts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "transport/transport.hpp"

namespace velkarin::transport {

inline constexpr std::size_t kClassicMtu = 16;  // CAN_MTU, sizeof(struct can_frame)
inline constexpr std::size_t kFdMtu = 72;       // CANFD_MTU, sizeof(struct canfd_frame)

// One frame laid out for the kernel, held on the stack: `size` is kClassicMtu
// or kFdMtu, and the bytes past it are zero.
struct KernelFrame {
    std::array<std::uint8_t, kFdMtu> bytes{};
    std::size_t size = 0;

    std::span<const std::uint8_t> view() const { return {bytes.data(), size}; }
};

// The bytes of one read from the socket. 16 bytes are a classic data or remote
// frame, 72 bytes an FD frame; the identifier loses its EFF/RTR/ERR flag bits,
// a classic frame keeps its first can_dlc (at most 8) data bytes, an FD frame
// its first len (at most 64) and its BRS flag.
// Errors: Backend "unexpected CAN frame size" for any other length.
Result<CanFrame> from_kernel_bytes(std::span<const std::uint8_t> raw);

// The buffer that `send` writes for `frame`: a canfd_frame with the payload
// padded to the next valid FD length when `fd` is set, else a can_frame.
// Errors: InvalidId (identifier out of range, checked first), FrameTooLarge
// (more than 64 bytes FD or 8 bytes classic, with the payload length).
Result<KernelFrame> to_kernel_bytes(const CanFrame& frame);

}  // namespace velkarin::transport
