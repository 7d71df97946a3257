// Error frames both ways, and the socket that hears them.
#include "transport/bus_conditions.hpp"

#include <linux/can.h>
#include <linux/can/error.h>
#include <linux/can/raw.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>

namespace velkarin::transport {
namespace {

struct ConditionText {
    std::string_view name;
    std::string_view explanation;
};

// In BusCondition's order.
constexpr std::array<ConditionText, kBusConditions> kTexts{{
    {"no-ack", "no acknowledgement: is any motor powered, is the bus terminated?"},
    {"bus-off", "bus-off after too many errors: check wiring, termination and that every node runs "
                "the same bit rate (the interface comes back only with restart-ms set)"},
    {"restarted", "restarted after bus-off: look for what caused it"},
    {"error-passive", "error-passive: many errors on the wire; check termination (120 ohm at each "
                      "end), the cable and the bit rate"},
    {"error-warning", "error-warning: errors on the wire; check termination, the cable and the bit rate"},
    {"error-active", "back to error-active: the errors stopped"},
    {"rx-overflow", "receive overflow: frames were lost before they were read; the host reads too slowly"},
    {"tx-overflow", "transmit overflow: frames were sent faster than the bus carries them"},
    {"tx-timeout", "transmit time-out: a frame could not be sent; is the bus connected?"},
    {"lost-arbitration", "lost arbitration: another node sends on this bus"},
    {"protocol-violation", "protocol violation: malformed frames on the wire; check the bit rate, "
                           "sample point and termination"},
    {"transceiver", "transceiver: CAN_H or CAN_L open or shorted; check the wiring"},
    {"bus-error", "bus errors: check termination, the cable and the bit rate"},
}};

constexpr std::size_t index(BusCondition c) { return static_cast<std::size_t>(c); }

// The error class bit of each condition that has one of its own; controller
// problems (CAN_ERR_CRTL) say which in data[1].
struct ClassBit {
    std::uint32_t bit;
    BusCondition condition;
};
constexpr std::array<ClassBit, 8> kClasses{{
    {CAN_ERR_TX_TIMEOUT, BusCondition::TxTimeout},
    {CAN_ERR_LOSTARB, BusCondition::LostArbitration},
    {CAN_ERR_PROT, BusCondition::ProtocolViolation},
    {CAN_ERR_TRX, BusCondition::Transceiver},
    {CAN_ERR_ACK, BusCondition::NoAck},
    {CAN_ERR_BUSOFF, BusCondition::BusOff},
    {CAN_ERR_BUSERROR, BusCondition::BusError},
    {CAN_ERR_RESTARTED, BusCondition::Restarted},
}};

// Controller problems, in data[1].
struct ControllerBit {
    std::uint8_t bits;
    BusCondition condition;
};
constexpr std::array<ControllerBit, 5> kController{{
    {CAN_ERR_CRTL_RX_OVERFLOW, BusCondition::RxOverflow},
    {CAN_ERR_CRTL_TX_OVERFLOW, BusCondition::TxOverflow},
    {CAN_ERR_CRTL_RX_WARNING | CAN_ERR_CRTL_TX_WARNING, BusCondition::ErrorWarning},
    {CAN_ERR_CRTL_RX_PASSIVE | CAN_ERR_CRTL_TX_PASSIVE, BusCondition::ErrorPassive},
    {CAN_ERR_CRTL_ACTIVE, BusCondition::BackToErrorActive},
}};

// Reads at most this many frames per drain.
constexpr int kMaxDrain = 256;

}  // namespace

std::string_view name_of(BusCondition c) { return kTexts[index(c)].name; }
std::string_view advice_for(BusCondition c) { return kTexts[index(c)].explanation; }

BusConditions conditions_of(std::uint32_t can_id, std::span<const std::uint8_t> data) {
    BusConditions seen;
    if ((can_id & CAN_ERR_FLAG) == 0) return seen;
    for (const auto& c : kClasses)
        if ((can_id & c.bit) != 0) seen.set(index(c.condition));
    if ((can_id & CAN_ERR_CRTL) != 0 && data.size() > 1)
        for (const auto& c : kController)
            if ((data[1] & c.bits) != 0) seen.set(index(c.condition));
    return seen;
}

ErrorFrame error_frame_of(BusCondition c) {
    ErrorFrame f{CAN_ERR_FLAG, {}};
    for (const auto& k : kController) {
        if (k.condition != c) continue;
        f.can_id |= CAN_ERR_CRTL;
        f.data[1] = static_cast<std::uint8_t>(k.bits & (CAN_ERR_CRTL_TX_WARNING | CAN_ERR_CRTL_TX_PASSIVE |
                                                         CAN_ERR_CRTL_RX_OVERFLOW | CAN_ERR_CRTL_TX_OVERFLOW |
                                                         CAN_ERR_CRTL_ACTIVE));
        // The error counters a controller reports with it (data[6] tx, data[7] rx).
        if (c == BusCondition::ErrorWarning) f.data[6] = CAN_ERROR_WARNING_THRESHOLD;
        if (c == BusCondition::ErrorPassive) f.data[6] = CAN_ERROR_PASSIVE_THRESHOLD;
        if (f.data[6] != 0) f.can_id |= CAN_ERR_CNT;
        return f;
    }
    for (const auto& k : kClasses)
        if (k.condition == c) f.can_id |= k.bit;
    if (c == BusCondition::ProtocolViolation) f.data[2] = CAN_ERR_PROT_BIT;
    if (c == BusCondition::Transceiver) f.data[4] = CAN_ERR_TRX_CANH_NO_WIRE;
    return f;
}

void ConditionCounts::add(BusConditions seen) {
    for (std::size_t i = 0; i < kBusConditions; ++i) {
        if (!seen.test(i)) continue;
        ++counts[i];
        last = static_cast<BusCondition>(i);
    }
}

std::expected<BusListener, IoError> BusListener::open(int ifindex) {
    UniqueFd fd(::socket(PF_CAN, SOCK_RAW | SOCK_NONBLOCK | SOCK_CLOEXEC, CAN_RAW));
    if (!fd.valid()) return std::unexpected(IoError::from_errno(errno));
    const can_err_mask_t every_error = CAN_ERR_MASK;
    // No filter at all: not one data frame is queued here.
    if (::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_FILTER, nullptr, 0) < 0 ||
        ::setsockopt(fd.get(), SOL_CAN_RAW, CAN_RAW_ERR_FILTER, &every_error, sizeof every_error) < 0)
        return std::unexpected(IoError::from_errno(errno));
    sockaddr_can addr{};
    addr.can_family = AF_CAN;
    addr.can_ifindex = ifindex;
    if (::bind(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) < 0)
        return std::unexpected(IoError::from_errno(errno));
    return BusListener(std::move(fd));
}

BusConditions BusListener::drain(ConditionCounts& counts) {
    BusConditions all;
    for (int i = 0; i < kMaxDrain; ++i) {
        can_frame f{};
        if (::recv(fd_.get(), &f, sizeof f, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof f)) break;
        const BusConditions seen = conditions_of(f.can_id, {f.data, sizeof f.data});
        counts.add(seen);
        all |= seen;
    }
    return all;
}

std::optional<int> interface_index_of(int can_socket) {
    sockaddr_can addr{};
    socklen_t len = sizeof addr;
    if (::getsockname(can_socket, reinterpret_cast<sockaddr*>(&addr), &len) < 0 || addr.can_family != AF_CAN)
        return std::nullopt;
    return addr.can_ifindex;
}

Result<void> send_error_frame(int can_socket, BusCondition c) {
    const ErrorFrame e = error_frame_of(c);
    can_frame f{};
    f.can_id = e.can_id;
    f.len = CAN_ERR_DLC;
    std::memcpy(f.data, e.data.data(), sizeof f.data);
    if (::send(can_socket, &f, sizeof f, MSG_DONTWAIT) != static_cast<ssize_t>(sizeof f))
        return std::unexpected(TransportError::backend_errno(errno));
    return {};
}

}  // namespace velkarin::transport
