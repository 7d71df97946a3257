// SocketCAN backend: one raw CAN socket with FD frames enabled; classic and FD
// frames go out and come in as the kernel's can_frame / canfd_frame layouts.
#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>
#include <span>

#include "transport/kernel_frame.hpp"

namespace velkarin::transport {
namespace {

static_assert(sizeof(sockaddr_can) == 24);

Result<void> backend_errno(int e) { return std::unexpected(TransportError::backend_errno(e)); }

// A raw CAN socket takes one frame per datagram, whole or not at all: exactly
// one send of the kernel frame's size. A send cut short by a signal before
// anything went out is repeated (it is the same datagram); any other count is
// a failure, never followed by a second datagram with the rest.
Result<void> write_frame(int fd, std::span<const std::uint8_t> frame) {
    ssize_t n = 0;
    do {
        n = ::send(fd, frame.data(), frame.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0) return backend_errno(errno);
    if (static_cast<std::size_t>(n) != frame.size())
        return std::unexpected(TransportError::backend(IoError::custom("failed to write whole buffer")));
    return {};
}

// SO_RCVTIMEO in the kernel's own struct timeval. A zero timeval means "no
// time-out" to the kernel, so anything below the 1 us resolution (zero
// included) is raised to 1 us: the caller gets a prompt Timeout, never an
// unbounded wait. Seconds beyond what tv_sec holds are clamped.
timeval to_timeval(Duration d) {
    using Sec = decltype(timeval::tv_sec);
    constexpr auto max_sec = static_cast<std::uint64_t>(std::numeric_limits<Sec>::max());
    timeval tv{};
    tv.tv_sec = static_cast<Sec>(d.secs < max_sec ? d.secs : max_sec);
    tv.tv_usec = static_cast<decltype(timeval::tv_usec)>(d.nanos / 1000);
    if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
    return tv;
}

}  // namespace

std::expected<SocketCanTransport, IoError> SocketCanTransport::open(std::string_view iface) {
    // if_nametoindex needs a C string, and an embedded NUL would silently name
    // a different interface.
    if (iface.find('\0') != std::string_view::npos)
        return std::unexpected(IoError::from_errno(EINVAL));
    // Names that do not fit IFNAMSIZ exist nowhere; glibc reports exactly
    // this for them, and checking first keeps the copy on the stack.
    if (iface.size() >= IFNAMSIZ) return std::unexpected(IoError::from_errno(ENODEV));
    std::array<char, IFNAMSIZ> name{};
    std::memcpy(name.data(), iface.data(), iface.size());

    const unsigned index = ::if_nametoindex(name.data());
    if (index == 0) return std::unexpected(IoError::from_errno(errno));

    // Owned from this line: every failure below closes it.
    UniqueFd fd(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (!fd.valid()) return std::unexpected(IoError::from_errno(errno));

    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0) {
        const int e = errno;  // taken before the descriptor's close can touch errno
        return std::unexpected(IoError::from_errno(e));
    }

    const int on = 1;
    if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) < 0) {
        const int e = errno;
        return std::unexpected(IoError::from_errno(e));
    }
    return SocketCanTransport(std::move(fd));
}

Result<void> SocketCanTransport::send(const CanFrame& frame) {
    // Checked and laid out before anything is written: a rejected frame never
    // reaches the socket.
    const auto out = to_kernel_bytes(frame);
    if (!out) return std::unexpected(out.error());
    return write_frame(fd_.get(), out->view());
}

Result<CanFrame> SocketCanTransport::recv(Duration timeout) {
    const timeval tv = to_timeval(timeout);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        return std::unexpected(TransportError::backend_errno(errno));

    // Read into an FD-sized buffer of zeros, large enough for either layout.
    std::array<std::uint8_t, kFdMtu> in{};
    const ssize_t n = ::recv(fd_.get(), in.data(), in.size(), 0);
    if (n < 0) {
        const int e = errno;
        // An expired SO_RCVTIMEO shows up as EAGAIN; EINTR is not retried, so a
        // signal handler gets the caller back at once.
        if (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT)
            return std::unexpected(TransportError::timeout());
        return std::unexpected(TransportError::backend_errno(e));
    }

    // The count tells which layout arrived; anything else is not a frame.
    return from_kernel_bytes({in.data(), static_cast<std::size_t>(n)});
}

}  // namespace velkarin::transport
