// The bus interface on Linux SocketCAN: one raw CAN socket bound to one
// interface, with CAN FD frames enabled, owned for the object's whole life.
#pragma once

#include <cstdint>
#include <expected>
#include <string_view>

#include "transport.hpp"
#include "unique_fd.hpp"

namespace velkarin::transport {

class SocketCanTransport final : public CanTransport {
public:
    // Resolves `iface`, creates the raw socket, binds it and enables FD
    // frames. Errors: EINVAL for a name holding a NUL byte, the errno of
    // if_nametoindex (ENODEV for an unknown name), socket, bind or setsockopt.
    // A failed open leaves no descriptor behind.
    static std::expected<SocketCanTransport, IoError> open(std::string_view iface);

    SocketCanTransport(SocketCanTransport&&) noexcept = default;
    SocketCanTransport& operator=(SocketCanTransport&&) noexcept = default;

    // Never blocks: a full socket send buffer is Backend(EAGAIN) at once,
    // for the caller to wait out through wait_writable (CanTransport's
    // send_within and send_waiting do).
    Result<void> send(const CanFrame& frame) override;
    Result<CanFrame> recv(Duration timeout) override;
    // One ppoll for POLLOUT.
    Result<void> wait_writable(Duration timeout) override;
    // One sendmmsg / recvmmsg for up to kBatch frames.
    Result<std::size_t> send_some(std::span<const CanFrame> frames) override;
    Result<std::size_t> recv_some(Duration timeout, std::span<CanFrame> out) override;

    static constexpr std::size_t kBatch = 16;

    // For a peer that reads bursts of frames (a simulated motor): asks for a
    // receive buffer of `bytes` (beyond the system's limit where the process
    // may), and from then on counts the frames the kernel drops because the
    // buffer was full, as recv_some sees them. Errors: Backend.
    Result<void> keep_bursts(int bytes);
    // Frames dropped by a full receive buffer, as of the last recv_some
    // (counting only after keep_bursts).
    std::uint32_t dropped() const { return dropped_; }

    // SO_TIMESTAMPNS: recv_some stamps each frame with its arrival.
    void stamp_received_frames() override;

    int fd() const { return fd_.get(); }
    std::optional<int> poll_descriptor() const override { return fd_.get(); }

private:
    explicit SocketCanTransport(UniqueFd fd) : fd_(std::move(fd)) {}
    // SO_RCVTIMEO, set before every read. Errors: Backend.
    Result<void> set_receive_timeout(Duration timeout);
    UniqueFd fd_;
    bool counting_drops_ = false;
    bool stamping_ = false;
    std::uint32_t dropped_ = 0;
};

}  // namespace velkarin::transport
