// The tool's words about an interface: its facts as a result, the command
// that brings it to a motor's rates, and what keeps a motor from talking on it.
#include "tool/interface.hpp"

#include "damiao/bit_rates.hpp"

namespace velkarin::tool {

Value facts_value(std::string_view iface, const InterfaceFacts& f) {
    auto opt = [](const auto& o) { return o ? Value(*o) : Value(); };
    return Members{
        {"name", Value(std::string(iface))},
        {"exists", Value(f.exists)},
        {"up", Value(f.up)},
        {"kind", f.kind.empty() ? Value() : Value(f.kind)},
        {"bitrate", opt(f.bitrate)},
        {"fd", opt(f.fd)},
        {"data_bitrate", opt(f.data_bitrate)},
        {"state", opt(f.state)},
        {"tx_errors", f.tx_errors ? Value(std::uint32_t{*f.tx_errors}) : Value()},
        {"rx_errors", f.rx_errors ? Value(std::uint32_t{*f.rx_errors}) : Value()},
        {"restarts", opt(f.restarts)},
    };
}

std::string rates_command(std::string_view iface, std::uint32_t code) {
    const auto rates = damiao::bit_rates_of(code);
    if (!rates) return "";
    const std::string n(iface);
    std::string type = "bitrate " + std::to_string(rates->nominal);
    if (rates->data != 0) type += " dbitrate " + std::to_string(rates->data) + " fd on";
    return "sudo ip link set " + n + " down && sudo ip link set " + n + " type can " + type +
           " && sudo ip link set " + n + " up";
}

std::optional<std::string> rate_mismatch(const InterfaceFacts& f, std::uint32_t code) {
    if (!f.bitrate) return std::nullopt;
    const auto rates = damiao::bit_rates_of(code);
    const std::string motor = "the motor's can_br " + std::to_string(code);
    if (!rates) return motor + " is not a documented code";
    if (*f.bitrate != rates->nominal)
        return motor + " means " + std::to_string(rates->nominal) + " bit/s, the interface runs at " +
               std::to_string(*f.bitrate);
    if (rates->data == 0) return std::nullopt;
    if (f.fd != true)
        return motor + " is CAN FD with a " + std::to_string(rates->data) +
               " bit/s data phase, the interface is not in FD mode";
    if (f.data_bitrate && *f.data_bitrate != rates->data)
        return motor + " sends data phases at " + std::to_string(rates->data) +
               " bit/s, the interface at " + std::to_string(*f.data_bitrate);
    return std::nullopt;
}

std::string bring_up_hint(std::string_view iface) {
    const std::string n(iface);
    return "bring it up with: sudo ip link set " + n + " type can bitrate 1000000 && sudo ip link set " +
           n + " up (or run velkarin-sim on a virtual bus to try without a motor)";
}

}  // namespace velkarin::tool
