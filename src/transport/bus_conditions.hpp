// What the bus says about itself: the conditions a CAN controller reports in
// error frames (linux/can/error.h), by name and with what to check, and a
// socket that hears only those frames. A socket receives error frames only
// when it asks for them (CAN_RAW_ERR_FILTER), so the bus object's own socket,
// which every command reads, never sees one.
#pragma once

#include <array>
#include <bitset>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string_view>

#include "transport.hpp"
#include "unique_fd.hpp"

namespace velkarin::transport {

enum class BusCondition : std::uint8_t {
    NoAck,              // a frame went out and no node acknowledged it
    BusOff,             // the controller stopped sending after too many errors
    Restarted,          // it came back from bus-off
    ErrorPassive,       // error counters at 128 or more
    ErrorWarning,       // error counters at 96 or more
    BackToErrorActive,  // counters below the warning level again
    RxOverflow,         // frames lost in the controller's receive buffer
    TxOverflow,         // the controller's transmit buffer overflowed
    TxTimeout,          // the driver gave up on a frame it could not send
    LostArbitration,
    ProtocolViolation,  // bit, form, stuff or CRC errors on the wire
    Transceiver,        // wiring: CAN_H or CAN_L open or shorted
    BusError,
};
inline constexpr std::size_t kBusConditions = 13;

using BusConditions = std::bitset<kBusConditions>;

// "no-ack", "bus-off", ...
std::string_view name_of(BusCondition c);
// What to check for it, in one clause: "is any motor powered, is the bus terminated?"
std::string_view advice_for(BusCondition c);

// The conditions an error frame reports: its can_id (CAN_ERR_FLAG and the
// class bits) and its eight data bytes. Nothing for a data frame.
BusConditions conditions_of(std::uint32_t can_id, std::span<const std::uint8_t> data);

// The error frame a controller sends for `c`, as a raw socket writes it (for
// a simulated bus): its can_id with CAN_ERR_FLAG, and its data.
struct ErrorFrame {
    std::uint32_t can_id;
    std::array<std::uint8_t, 8> data;
};
ErrorFrame error_frame_of(BusCondition c);

// How often each condition was reported, and the latest one.
struct ConditionCounts {
    std::array<std::uint64_t, kBusConditions> counts{};
    std::optional<BusCondition> last;

    void add(BusConditions seen);
    bool any() const { return last.has_value(); }
};

// A raw socket on one interface that takes no data frames and every error
// frame: the bus's own voice, read when someone asks.
class BusListener {
public:
    // Errors: those of socket, bind and setsockopt; the interface by its
    // index (a bus object's own, see interface_index_of).
    static std::expected<BusListener, IoError> open(int ifindex);

    // Reads every error frame queued, without waiting, into `counts`, and
    // returns the conditions they reported. At most so many reads, so that a
    // flooding controller cannot hold the caller. A read failure is taken as
    // nothing queued.
    BusConditions drain(ConditionCounts& counts);

    int fd() const { return fd_.get(); }

private:
    explicit BusListener(UniqueFd fd) : fd_(std::move(fd)) {}
    UniqueFd fd_;
};

// The index of the interface a CAN socket is bound to, or nothing.
std::optional<int> interface_index_of(int can_socket);

// Sends an error frame for `c` on a raw socket (vcan carries them to every
// socket that asks for them). Errors: Backend.
Result<void> send_error_frame(int can_socket, BusCondition c);

}  // namespace velkarin::transport
