// The four special commands of a Damiao motor (seven 0xFF bytes, then the
// opcode): the payloads a driver sends and the recogniser a motor uses.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>

#include "payload.hpp"

namespace velkarin::damiao {

// The opcode in byte 7.
enum class SpecialCommand : std::uint8_t {
    Enable = 0xFC,
    Disable = 0xFD,
    SetZero = 0xFE,
    ClearError = 0xFB,
};

inline constexpr std::array<SpecialCommand, 4> kSpecialCommands{
    SpecialCommand::Enable, SpecialCommand::Disable, SpecialCommand::SetZero,
    SpecialCommand::ClearError};

inline constexpr std::uint8_t kSpecialFill = 0xFF;

constexpr Payload special_payload(SpecialCommand command) {
    Payload out{};
    out.fill(kSpecialFill);
    out[7] = static_cast<std::uint8_t>(command);
    return out;
}

// The command `data` spells: exactly 8 bytes, seven 0xFF and a known opcode.
// The motor takes such a frame on its id as the command, not as an MIT setpoint.
constexpr std::optional<SpecialCommand> special_command_of(std::span<const std::uint8_t> data) {
    if (data.size() != 8) return std::nullopt;
    if (!std::ranges::all_of(data.first(7), [](std::uint8_t b) { return b == kSpecialFill; }))
        return std::nullopt;
    for (const auto command : kSpecialCommands)
        if (data[7] == static_cast<std::uint8_t>(command)) return command;
    return std::nullopt;
}

}  // namespace velkarin::damiao
