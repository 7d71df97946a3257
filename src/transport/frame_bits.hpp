// The exact number of bits a CAN frame occupies on the wire, classic or CAN FD,
// the time those bits take at given bit rates, and the order in which
// frames win arbitration. Pure: no I/O, no allocation.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>

#include "can_frame.hpp"

namespace velkarin::transport {

// A frame's bits by the rate they go at. A CAN FD frame with bit-rate switch
// sends from its ESI bit to the end of its CRC at the data rate and the rest
// at the nominal rate; every other frame sends all its bits at the nominal rate.
struct FrameBits {
    std::uint32_t nominal = 0;
    std::uint32_t data = 0;

    constexpr std::uint32_t total() const { return nominal + data; }
    friend constexpr bool operator==(const FrameBits&, const FrameBits&) = default;
};

// The rates of a bus in bit/s: the nominal (arbitration) rate, and the data
// rate of CAN FD frames with bit-rate switch (0: the bus has none, and such
// frames' data phase goes at the nominal rate).
struct BusRates {
    std::uint32_t nominal = 0;
    std::uint32_t data = 0;

    friend constexpr bool operator==(const BusRates&, const BusRates&) = default;
};

// The bits `frame` occupies from its start of frame to the end of the
// intermission after it, counting the stuff bits a transmitter inserts: the
// data frame as its transmitter sends it (error active, as every node that
// has not seen a run of errors is). An FD payload is sent padded with zero
// bytes to the next length its DLC can express (12, 16, 20, 24, 32, 48, 64),
// as the kernel pads it. Nothing for a frame no bus carries: an identifier
// out of range, more than 8 bytes classic or 64 FD.
std::optional<FrameBits> frame_bits(const CanFrame& frame);

// The time `bits` take on a bus at `rates` (nominal above 0), rounded up to
// the nanosecond, so that a sum of frames is never shorter than the wire.
std::chrono::nanoseconds wire_time(const FrameBits& bits, const BusRates& rates);

// The order of arbitration: when several nodes start a frame together, the
// one whose key is lowest wins the bus. The identifier's bits go out most
// significant first and a dominant (0) bit overwrites a recessive one, so a
// lower base identifier wins; with equal base identifiers a standard frame
// wins over an extended one, whose SRR bit is recessive where the standard
// frame's RTR (or RRS) bit is dominant.
constexpr std::uint32_t arbitration_key(const CanId& id) {
    if (id.kind == CanId::Kind::Standard) return (id.value & CanId::kStandardMax) << 19;
    const std::uint32_t base = (id.value >> 18) & CanId::kStandardMax;
    return base << 19 | 1u << 18 | (id.value & 0x3FFFF);
}

}  // namespace velkarin::transport
