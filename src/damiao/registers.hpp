// The motor's configuration registers: the built-in table, the request and
// reply frames on identifier 0x7FF, and the register value type.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <variant>

#include "register_kind.hpp"

namespace velkarin::damiao {

enum class RegisterAccess : std::uint8_t { ReadOnly, ReadWrite };

struct RegisterInfo {
    std::uint8_t number;
    std::string_view name;
    RegisterAccess access;
    RegisterKind kind;
};

// A register's value; its case is its kind.
using RegisterValue = std::variant<float, std::uint32_t>;

constexpr RegisterKind kind_of(const RegisterValue& v) {
    return v.index() == 0 ? RegisterKind::Float : RegisterKind::Uint32;
}

namespace registers {

inline constexpr std::uint16_t kRequestId = 0x7FF;
inline constexpr std::uint8_t kRead = 0x33;
inline constexpr std::uint8_t kWrite = 0x55;
inline constexpr std::uint8_t kStore = 0xAA;
inline constexpr std::uint8_t kControlMode = 10;

// Every register of the table, in number order.
std::span<const RegisterInfo> table();
// The entry for `number`, or nullptr when the table does not list it.
const RegisterInfo* find(std::uint8_t number);

std::array<std::uint8_t, 8> read_request(std::uint16_t motor_id, std::uint8_t reg);
std::array<std::uint8_t, 8> write_request(std::uint16_t motor_id, std::uint8_t reg,
                                          std::uint32_t raw_value);

// A reply to a read of `reg`, recognised by content alone: exactly 8 bytes,
// byte 2 = 0x33, byte 3 = reg. Returns bytes 4-7 (little-endian) or nothing.
std::optional<std::uint32_t> match_read_reply(std::span<const std::uint8_t> data,
                                              std::uint8_t reg);

}  // namespace registers
}  // namespace velkarin::damiao
