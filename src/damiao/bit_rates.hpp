// The CAN bit rates a motor's can_br register (35) selects: codes 0-4 classic
// CAN, codes 5-9 CAN FD with a 1 Mbit/s arbitration phase and a faster data
// phase. The interface must be brought up at the same rates.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

namespace velkarin::damiao {

struct BitRates {
    std::uint32_t nominal;  // bit/s of the arbitration phase (classic: the whole frame)
    std::uint32_t data;     // bit/s of an FD frame's data phase; 0 for classic codes
};

inline constexpr std::array<BitRates, 10> kBitRateCodes{{
    {125'000, 0}, {200'000, 0}, {250'000, 0}, {500'000, 0}, {1'000'000, 0},
    {1'000'000, 2'000'000}, {1'000'000, 2'500'000}, {1'000'000, 3'200'000},
    {1'000'000, 4'000'000}, {1'000'000, 5'000'000},
}};

// The rates of can_br code `code`, or nothing for a code the firmware does not document.
constexpr std::optional<BitRates> bit_rates_of(std::uint32_t code) {
    if (code >= kBitRateCodes.size()) return std::nullopt;
    return kBitRateCodes[code];
}

}  // namespace velkarin::damiao
