// The 8 data bytes of every Damiao command, feedback and register frame, and
// the little-endian fields inside them. Pure constexpr helpers, no allocation.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velkarin::damiao {

using Payload = std::array<std::uint8_t, 8>;

// Data with fewer than the 8 bytes a payload layout needs.
struct PayloadTooShort {
    std::size_t len;
};

namespace le {

constexpr void put_u16(Payload& out, std::size_t at, std::uint16_t v) {
    out[at] = static_cast<std::uint8_t>(v);
    out[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

constexpr void put_u32(Payload& out, std::size_t at, std::uint32_t v) {
    put_u16(out, at, static_cast<std::uint16_t>(v));
    put_u16(out, at + 2, static_cast<std::uint16_t>(v >> 16));
}

// A float goes out as its IEEE 754 bit pattern.
constexpr void put_f32(Payload& out, std::size_t at, float f) {
    put_u32(out, at, std::bit_cast<std::uint32_t>(f));
}

// The readers expect the caller to have checked that the bytes are there.
constexpr std::uint16_t u16_at(std::span<const std::uint8_t> d, std::size_t at) {
    return static_cast<std::uint16_t>(d[at] | d[at + 1] << 8);
}

constexpr std::uint32_t u32_at(std::span<const std::uint8_t> d, std::size_t at) {
    return std::uint32_t{u16_at(d, at)} | std::uint32_t{u16_at(d, at + 2)} << 16;
}

constexpr float f32_at(std::span<const std::uint8_t> d, std::size_t at) {
    return std::bit_cast<float>(u32_at(d, at));
}

}  // namespace le
}  // namespace velkarin::damiao
