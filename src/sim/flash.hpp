// The simulated motors' flash: what a store request keeps of each motor (its
// writable registers), as the text of the --flash file, and the checks a file
// passes before any of it is applied.
#pragma once

#include <cstddef>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace velkarin::sim {

// One motor's stored parameters: register number and raw value, in number order.
using FlashImage = std::vector<std::pair<std::uint8_t, std::uint32_t>>;
// Indexed like the --motor arguments; a motor that never stored has none.
using Flash = std::vector<std::optional<FlashImage>>;

// Why a flash text is refused: the line (counted from 1) and what is wrong.
struct FlashError {
    std::size_t line;
    std::string reason;
};

// The largest --flash file taken for `motors` motors. The simulator writes
// each writable register of each motor once, a line of at most 26 bytes
// (motor index below 2048, the longest variable name, 0x and eight digits);
// 64 bytes a line leave room for hand-edited spacing and decimal values, and
// 4 KiB for comments. Anything larger is no flash image: /dev/zero's stream,
// a log given by mistake.
std::size_t max_flash_bytes(std::size_t motors);

// One line per stored register, "MOTOR VARIABLE 0xRAW", after a comment line.
std::string format_flash(const Flash& flash);

// Parses and checks the whole text for the motors given on the command line
// (`can_ids`: their CAN ids, in --motor order). Every line other than blank
// ones and #-comments is MOTOR VARIABLE RAW: MOTOR an index into `can_ids`,
// VARIABLE a writable register of the core's table, at most once per motor,
// RAW (decimal or 0x-hex) in its documented range; and once the ESC_IDs of
// the file are applied no two motors share a CAN id. The error names the
// first line found wrong (for a shared CAN id, the later of the two lines
// that give it). Nothing is returned from a text that fails a check, so a bad
// file is never half taken.
std::expected<Flash, FlashError> parse_flash(std::string_view text,
                                             std::span<const std::uint16_t> can_ids);

}  // namespace velkarin::sim
