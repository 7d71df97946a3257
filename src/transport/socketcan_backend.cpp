// SocketCAN backend: one raw CAN socket with FD frames enabled; classic and FD
// frames go out and come in as the kernel's can_frame / canfd_frame layouts.
#include "transport/socketcan_backend.hpp"

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <algorithm>
#include <limits>
#include <span>

#include "transport/kernel_frame.hpp"

namespace velkarin::transport {
namespace {

static_assert(sizeof(sockaddr_can) == 24);

Result<void> backend_errno(int e) { return std::unexpected(TransportError::backend_errno(e)); }

// A raw CAN socket takes one frame per datagram, whole or not at all: exactly
// one send of the kernel frame's size. MSG_DONTWAIT: a full send buffer is
// reported (EAGAIN) instead of blocking, so that the caller bounds the wait
// and hears signals; a non-blocking send never sleeps, so it is never cut
// short by one either. Any count but the whole frame is a failure, never
// followed by a second datagram with the rest.
Result<void> write_frame(int fd, std::span<const std::uint8_t> frame) {
    const ssize_t n = ::send(fd, frame.data(), frame.size(), MSG_DONTWAIT);
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

// An expired SO_RCVTIMEO shows up as EAGAIN; EINTR is not retried, so a
// signal handler gets the caller back at once.
TransportError receive_error(int e) {
    if (e == EAGAIN || e == EWOULDBLOCK || e == ETIMEDOUT) return TransportError::timeout();
    return TransportError::backend_errno(e);
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

Result<void> SocketCanTransport::set_receive_timeout(Duration timeout) {
    const timeval tv = to_timeval(timeout);
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        return std::unexpected(TransportError::backend_errno(errno));
    return {};
}

Result<void> SocketCanTransport::wait_writable(Duration timeout) {
    pollfd p{fd_.get(), POLLOUT, 0};
    const timespec wait = timeout.to_timespec();
    const int ready = ::ppoll(&p, 1, &wait, nullptr);
    if (ready < 0) return std::unexpected(TransportError::backend_errno(errno));
    if (ready == 0) return std::unexpected(TransportError::timeout());
    // POLLERR too: the next send reports the socket's pending error.
    return {};
}

Result<CanFrame> SocketCanTransport::recv(Duration timeout) {
    if (auto set = set_receive_timeout(timeout); !set) return std::unexpected(set.error());

    // Read into an FD-sized buffer of zeros, large enough for either layout.
    std::array<std::uint8_t, kFdMtu> in{};
    const ssize_t n = ::recv(fd_.get(), in.data(), in.size(), 0);
    if (n < 0) return std::unexpected(receive_error(errno));

    // The count tells which layout arrived; anything else is not a frame.
    return from_kernel_bytes({in.data(), static_cast<std::size_t>(n)});
}

Result<std::size_t> SocketCanTransport::send_some(std::span<const CanFrame> frames) {
    // Laid out before anything is written: the batch ends before the first
    // frame the kernel layout refuses, which then fails alone on its turn.
    std::array<KernelFrame, kBatch> out;
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> msgs{};
    std::size_t count = 0;
    for (; count < std::min(frames.size(), kBatch); ++count) {
        auto laid_out = to_kernel_bytes(frames[count]);
        if (!laid_out) {
            if (count == 0) return std::unexpected(laid_out.error());
            break;
        }
        out[count] = *laid_out;
        iov[count] = {out[count].bytes.data(), out[count].size};
        msgs[count].msg_hdr.msg_iov = &iov[count];
        msgs[count].msg_hdr.msg_iovlen = 1;
    }
    if (count == 0) return 0;
    // Non-blocking, as a single send: a full buffer is EAGAIN for the caller to wait out.
    const int sent = ::sendmmsg(fd_.get(), msgs.data(), static_cast<unsigned>(count), MSG_DONTWAIT);
    if (sent < 0) return std::unexpected(TransportError::backend_errno(errno));
    // Each datagram is one frame, whole or not at all, as with send.
    for (int i = 0; i < sent; ++i)
        if (msgs[static_cast<std::size_t>(i)].msg_len != out[static_cast<std::size_t>(i)].size)
            return std::unexpected(TransportError::backend(IoError::custom("failed to write whole buffer")));
    return static_cast<std::size_t>(sent);
}

Result<void> SocketCanTransport::keep_bursts(int bytes) {
    // SO_RCVBUFFORCE goes beyond net.core.rmem_max, for a privileged process.
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) < 0 &&
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes) < 0)
        return backend_errno(errno);
    const int on = 1;
    if (::setsockopt(fd_.get(), SOL_SOCKET, SO_RXQ_OVFL, &on, sizeof on) < 0) return backend_errno(errno);
    counting_drops_ = true;
    return {};
}

void SocketCanTransport::stamp_received_frames() {
    const int on = 1;
    stamping_ = ::setsockopt(fd_.get(), SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on) == 0;
}

Result<std::size_t> SocketCanTransport::recv_some(Duration timeout, std::span<CanFrame> out) {
    const std::size_t room = std::min(out.size(), kBatch);
    if (room == 0) return 0;
    // Nothing to wait for: no time-out to set, and the kernel is told not to wait.
    const bool wait = !timeout.is_zero();
    if (wait) {
        if (auto set = set_receive_timeout(timeout); !set) return std::unexpected(set.error());
    }

    std::array<std::array<std::uint8_t, kFdMtu>, kBatch> in{};
    std::array<iovec, kBatch> iov{};
    std::array<mmsghdr, kBatch> msgs{};
    // Room for each frame's SO_RXQ_OVFL count and SO_TIMESTAMPNS time, when asked for.
    constexpr std::size_t kControl = CMSG_SPACE(sizeof(std::uint32_t)) + CMSG_SPACE(sizeof(timespec));
    alignas(cmsghdr) std::array<std::array<char, kControl>, kBatch> control;
    const bool ancillary = counting_drops_ || stamping_;
    for (std::size_t i = 0; i < room; ++i) {
        iov[i] = {in[i].data(), in[i].size()};
        msgs[i].msg_hdr.msg_iov = &iov[i];
        msgs[i].msg_hdr.msg_iovlen = 1;
        if (ancillary) {
            msgs[i].msg_hdr.msg_control = control[i].data();
            msgs[i].msg_hdr.msg_controllen = control[i].size();
        }
    }
    // The first read waits up to SO_RCVTIMEO; MSG_WAITFORONE makes every
    // later one take only what is already queued.
    const int got = ::recvmmsg(fd_.get(), msgs.data(), static_cast<unsigned>(room),
                               wait ? MSG_WAITFORONE : MSG_DONTWAIT, nullptr);
    if (got < 0) return std::unexpected(receive_error(errno));

    std::size_t stored = 0;
    for (std::size_t i = 0; i < static_cast<std::size_t>(got); ++i) {
        auto frame = from_kernel_bytes({in[i].data(), msgs[i].msg_len});
        if (!frame) {
            if (stored == 0) return std::unexpected(frame.error());
            break;  // what follows a malformed read is dropped with it
        }
        // The kernel's count of drops so far, and the frame's arrival.
        if (ancillary)
            for (cmsghdr* c = CMSG_FIRSTHDR(&msgs[i].msg_hdr); c != nullptr; c = CMSG_NXTHDR(&msgs[i].msg_hdr, c)) {
                if (c->cmsg_level != SOL_SOCKET) continue;
                if (c->cmsg_type == SO_RXQ_OVFL) std::memcpy(&dropped_, CMSG_DATA(c), sizeof dropped_);
                if (c->cmsg_type == SCM_TIMESTAMPNS) {
                    timespec at;
                    std::memcpy(&at, CMSG_DATA(c), sizeof at);
                    frame->received_ns = static_cast<std::int64_t>(at.tv_sec) * 1'000'000'000 + at.tv_nsec;
                }
            }
        out[stored++] = *frame;
    }
    return stored;
}

}  // namespace velkarin::transport
