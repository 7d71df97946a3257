// What the kernel says about a network interface: present, up, whether it is
// a CAN interface at all, its kind, and for a real CAN device its bit rates,
// bus state, error counters and restarts. vcan reports none of the latter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velkarin::transport {

struct InterfaceFacts {
    bool exists = false;
    bool up = false;
    std::optional<unsigned> link_type;     // ARPHRD_*: 280 for CAN and vcan, 772 for loopback
    std::string kind;                      // "can", "vcan", ... ("" if not reported)
    std::optional<std::uint32_t> bitrate;  // bit/s
    std::optional<bool> fd;                 // CAN FD mode on (ctrlmode "fd on")
    std::optional<std::uint32_t> data_bitrate;  // bit/s of FD data phases
    std::optional<std::string> state;      // "error-active", ..., "bus-off", "stopped"
    std::optional<std::uint16_t> tx_errors, rx_errors;
    std::optional<std::uint32_t> restarts;  // bus-off recoveries
};

// Asks the kernel over rtnetlink; a fact it does not report stays unset.
InterfaceFacts interface_facts(std::string_view iface);

// Whether the kernel says the interface carries CAN frames (ARPHRD_CAN); an
// unreported link type is taken as CAN, and opening the socket decides.
bool is_can(const InterfaceFacts& f);

}  // namespace velkarin::transport
