// The tool's words about a network interface (its facts come from the
// core's transport::interface_facts).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tool/result.hpp"
#include "transport/interface_facts.hpp"

namespace velkarin::tool {

using transport::InterfaceFacts;
using transport::interface_facts;
using transport::is_can;

// {"name", "exists", "up", "kind", "bitrate", "fd", "data_bitrate", "state",
//  "tx_errors", "rx_errors", "restarts"}
Value facts_value(std::string_view iface, const InterfaceFacts& f);

// The command that brings `iface` up at the rates of can_br code `code`, or
// "" for a code the firmware does not document.
std::string rates_command(std::string_view iface, std::uint32_t code);

// What keeps a motor whose can_br is `code` from talking on this interface,
// in words, or nothing: a nominal rate not the motor's, or an FD code on an
// interface not in FD mode or with another data rate. A classic code on an FD
// interface is fine (FD controllers take classic frames). Nothing where the
// kernel reports no rates (vcan).
std::optional<std::string> rate_mismatch(const InterfaceFacts& f, std::uint32_t code);

// How to bring a CAN interface up, in one clause.
std::string bring_up_hint(std::string_view iface);

}  // namespace velkarin::tool
