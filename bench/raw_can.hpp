// raw_can.hpp: the little the benchmark's native programs need from SocketCAN: an owned raw
// CAN socket bound to one interface, and the classic 16-byte frame, with no other layer.
#pragma once

#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <expected>
#include <string>
#include <utility>

namespace bench {

// Owns one descriptor from the line that creates it.
class Fd final {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) {
            if (fd_ >= 0) ::close(fd_);
            fd_ = std::exchange(other.fd_, -1);
        }
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_ = -1;
};

inline std::string errno_text(const char* what, int e) {
    return std::string(what) + ": " + std::strerror(e);
}

// A raw CAN socket on `iface` (classic frames only, no filters) whose reads give up after
// `recv_timeout_ms`, set once here: a dead peer ends a benchmark instead of hanging it.
inline std::expected<Fd, std::string> open_raw_can(const char* iface, int recv_timeout_ms) {
    if (std::strlen(iface) >= IFNAMSIZ) return std::unexpected(std::string("interface name too long"));
    const unsigned index = ::if_nametoindex(iface);
    if (index == 0) return std::unexpected(errno_text(iface, errno));
    Fd fd(::socket(PF_CAN, SOCK_RAW, CAN_RAW));
    if (fd.get() < 0) return std::unexpected(errno_text("socket(PF_CAN)", errno));
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = static_cast<int>(index);
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
        return std::unexpected(errno_text("bind", errno));
    timeval tv{};
    tv.tv_sec = recv_timeout_ms / 1000;
    tv.tv_usec = (recv_timeout_ms % 1000) * 1000;
    if (::setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0)
        return std::unexpected(errno_text("setsockopt(SO_RCVTIMEO)", errno));
    return fd;
}

}  // namespace bench
