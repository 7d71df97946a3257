// The simulated motors' flash: what a store request keeps of each motor (its
// writable registers), as the text of the --flash file.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkarin::sim {

// One motor's stored parameters: register number and raw value, in number order.
using FlashImage = std::vector<std::pair<std::uint8_t, std::uint32_t>>;
// Indexed like the --motor arguments; a motor that never stored has none.
using Flash = std::vector<std::optional<FlashImage>>;

// One line per stored register, "MOTOR VARIABLE 0xRAW", after a comment line.
std::string format_flash(const Flash& flash);

// The text format_flash writes. Errors name the offending line; registers
// the table does not list are an error too.
std::expected<Flash, std::string> parse_flash(std::string_view text);

}  // namespace velkarin::sim
