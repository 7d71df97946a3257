// The status code a motor reports in the high nibble of feedback byte 0, and
// the names the tools print for it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string_view>

namespace velkarin::damiao {

// A fault (8 and up) disables the motor and is reported until clear-error.
enum class MotorStatus : std::uint8_t {
    Disabled = 0x0,
    Enabled = 0x1,
    OverVoltage = 0x8,           // threshold OV_Value
    UnderVoltage = 0x9,          // threshold UV_Value
    OverCurrent = 0xA,           // threshold OC_Value
    MosOverTemperature = 0xB,    // threshold OT_Value
    RotorOverTemperature = 0xC,  // threshold OT_Value
    LostCommunication = 0xD,     // no command within TIMEOUT
    Overload = 0xE,
};

// The codes that latch: the motor disables itself until clear-error.
constexpr bool is_fault(MotorStatus s) { return static_cast<std::uint8_t>(s) >= 0x8; }

struct StatusName {
    MotorStatus status;
    std::string_view name;
};

inline constexpr std::array<StatusName, 9> kStatusNames{{
    {MotorStatus::Disabled, "disabled"},
    {MotorStatus::Enabled, "enabled"},
    {MotorStatus::OverVoltage, "over-voltage"},
    {MotorStatus::UnderVoltage, "under-voltage"},
    {MotorStatus::OverCurrent, "over-current"},
    {MotorStatus::MosOverTemperature, "mosfet-over-temperature"},
    {MotorStatus::RotorOverTemperature, "rotor-over-temperature"},
    {MotorStatus::LostCommunication, "lost-communication"},
    {MotorStatus::Overload, "overload"},
}};

// The name of a documented code, or nothing.
constexpr std::optional<std::string_view> status_name(std::uint8_t code) {
    for (const auto& s : kStatusNames)
        if (static_cast<std::uint8_t>(s.status) == code) return s.name;
    return std::nullopt;
}

}  // namespace velkarin::damiao
