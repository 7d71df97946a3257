// What the kernel says about a CAN interface: present, up, its kind, and for
// a real CAN device its bit rate, bus state and error counters.
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
    std::string kind;                      // "can", "vcan", ... ("" if not reported)
    std::optional<std::uint32_t> bitrate;  // bit/s
    std::optional<std::string> state;      // "error-active", ..., "bus-off"
    std::optional<std::uint16_t> tx_errors, rx_errors;
};

// Asks the kernel over rtnetlink; a fact it does not report stays unset.
InterfaceFacts interface_facts(std::string_view iface);

// {"name", "exists", "up", "kind", "bitrate", "state", "tx_errors", "rx_errors"}
Value facts_value(std::string_view iface, const InterfaceFacts& f);

// How to bring a CAN interface up, in one clause.
std::string bring_up_hint(std::string_view iface);

}  // namespace velkarin::tool
