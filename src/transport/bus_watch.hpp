// One bus's health as a program watching it sees it: the interface's own
// state and error counters (rtnetlink), and the conditions its error frames
// reported since the watch began (a BusListener beside the bus's socket).
#pragma once

#include <optional>
#include <string>

#include "bus_conditions.hpp"
#include "interface_facts.hpp"

namespace velkarin::transport {

struct BusHealth {
    std::string iface;
    // "error-active", "error-warning", "error-passive", "bus-off",
    // "stopped", or "unknown" where the device reports none (vcan).
    std::string state;
    std::optional<std::uint16_t> tx_errors, rx_errors;
    std::optional<std::uint32_t> restarts;
    ConditionCounts conditions;
};

class BusWatch {
public:
    // Watches the interface that `can_socket` is bound to. Without a
    // listener (the interface is gone, or the socket is not a CAN socket)
    // only the interface's facts are reported.
    explicit BusWatch(int can_socket);

    const std::string& iface() const { return iface_; }
    // The conditions reported since the last look, added to the counts.
    BusConditions look();
    // look(), then the interface's facts.
    BusHealth health();

private:
    std::string iface_;
    std::optional<BusListener> listener_;
    ConditionCounts counts_;
};

}  // namespace velkarin::transport
