// What the kernel says about a network interface: present, up, whether it is
// a CAN interface at all, its kind, and for a real CAN device its bit rate,
// bus state and error counters.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tool/result.hpp"

namespace velkarin::tool {

struct InterfaceFacts {
    bool exists = false;
    bool up = false;
    std::optional<unsigned> link_type;     // ARPHRD_*: 280 for CAN and vcan, 772 for loopback
    std::string kind;                      // "can", "vcan", ... ("" if not reported)
    std::optional<std::uint32_t> bitrate;  // bit/s
    std::optional<std::string> state;      // "error-active", ..., "bus-off"
    std::optional<std::uint16_t> tx_errors, rx_errors;
};

// Asks the kernel over rtnetlink; a fact it does not report stays unset.
InterfaceFacts interface_facts(std::string_view iface);

// Whether the kernel says the interface carries CAN frames (ARPHRD_CAN); an
// unreported link type is taken as CAN, and opening the socket decides.
bool is_can(const InterfaceFacts& f);

// {"name", "exists", "up", "kind", "bitrate", "state", "tx_errors", "rx_errors"}
Value facts_value(std::string_view iface, const InterfaceFacts& f);

// How to bring a CAN interface up, in one clause.
std::string bring_up_hint(std::string_view iface);

}  // namespace velkarin::tool
