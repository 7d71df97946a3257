// Conversion between CanFrame and the kernel's can_frame / canfd_frame bytes;
// pure functions on stack buffers, no system calls.
#include "transport/kernel_frame.hpp"

#include <linux/can.h>

#include <algorithm>
#include <cstring>

namespace velkarin::transport {
namespace {

static_assert(sizeof(can_frame) == kClassicMtu && CAN_MTU == kClassicMtu);
static_assert(sizeof(canfd_frame) == kFdMtu && CANFD_MTU == kFdMtu);

// Valid CAN FD payload lengths above 8; a payload is padded up to the next one,
// because the DLC on the wire can only express these.
constexpr std::array<std::uint8_t, 7> kFdLengths{12, 16, 20, 24, 32, 48, 64};

constexpr std::uint8_t fd_wire_length(std::size_t n) {
    if (n <= CAN_MAX_DLEN) return static_cast<std::uint8_t>(n);
    for (std::uint8_t len : kFdLengths)
        if (n <= len) return len;
    return CANFD_MAX_DLEN;  // callers reject n > 64 before asking
}
static_assert(fd_wire_length(0) == 0 && fd_wire_length(8) == 8 && fd_wire_length(9) == 12 &&
              fd_wire_length(13) == 16 && fd_wire_length(33) == 48 && fd_wire_length(49) == 64);

CanId id_from_raw(canid_t raw) {
    if (raw & CAN_EFF_FLAG) return CanId::extended(raw & CAN_EFF_MASK);
    return CanId::standard(static_cast<std::uint16_t>(raw & CAN_SFF_MASK));
}

template <typename KernelStruct>
KernelFrame pack(const KernelStruct& s) {
    KernelFrame out;
    std::memcpy(out.bytes.data(), &s, sizeof s);
    out.size = sizeof s;
    return out;
}

}  // namespace

Result<CanFrame> from_kernel_bytes(std::span<const std::uint8_t> raw) {
    if (raw.size() == kClassicMtu) {
        // Classic data or remote frame (error frames are never delivered, as no
        // error mask is set). A remote frame's data are whatever the kernel
        // left there, normally zeros; the remote flag is not carried over.
        can_frame classic{};
        std::memcpy(&classic, raw.data(), sizeof classic);
        const std::size_t len = std::min<std::size_t>(classic.len, CAN_MAX_DLEN);
        return CanFrame(id_from_raw(classic.can_id), {classic.data, len}, false, false);
    }
    if (raw.size() == kFdMtu) {
        canfd_frame fd{};
        std::memcpy(&fd, raw.data(), sizeof fd);
        const std::size_t len = std::min<std::size_t>(fd.len, CANFD_MAX_DLEN);
        return CanFrame(id_from_raw(fd.can_id), {fd.data, len}, true, (fd.flags & CANFD_BRS) != 0);
    }
    return std::unexpected(TransportError::backend(IoError::custom("unexpected CAN frame size")));
}

Result<KernelFrame> to_kernel_bytes(const CanFrame& frame) {
    // The identifier is checked first: it wins over a length error.
    if (!frame.id.in_range()) return std::unexpected(TransportError::invalid_id());
    canid_t raw_id = frame.id.value;
    if (frame.id.kind == CanId::Kind::Extended) raw_id |= CAN_EFF_FLAG;

    const std::size_t n = frame.size();
    const auto payload = frame.data();
    if (frame.fd) {
        if (n > CANFD_MAX_DLEN) return std::unexpected(TransportError::frame_too_large(n));
        canfd_frame out{};  // padding and reserved bytes stay 0
        out.can_id = raw_id;
        out.len = fd_wire_length(n);
        out.flags = static_cast<std::uint8_t>(CANFD_FDF | (frame.brs ? CANFD_BRS : 0));
        std::memcpy(out.data, payload.data(), payload.size());
        return pack(out);
    }

    if (n > CAN_MAX_DLEN) return std::unexpected(TransportError::frame_too_large(n));
    can_frame out{};  // bytes 5..7 and unused data stay 0; brs has no meaning here
    out.can_id = raw_id;
    out.len = static_cast<std::uint8_t>(n);
    std::memcpy(out.data, payload.data(), payload.size());
    return pack(out);
}

}  // namespace velkarin::transport
