// Reading numbers and words from the command lines of the programs
// (velkarin-sim, its stdin console, velkarin-tool); writing floats is
// float_text's, writing CAN ids can_id_text's, both beside this.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "../../transport/can_frame.hpp"

namespace velkarin::damiao::parse {

// Decimal, or hexadecimal with a 0x/0X prefix; the whole text must be the number.
inline std::optional<std::uint64_t> parse_uint(std::string_view s) {
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        s.remove_prefix(2);
        base = 16;
    }
    std::uint64_t v = 0;
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, base);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

// A floating-point number as typed; the whole text must be the number ("nan"
// and "inf" are numbers too: callers that need a finite value check).
template <typename Real>
std::optional<Real> parse_real(std::string_view s) {
    Real v{};
    const auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v);
    if (s.empty() || ec != std::errc{} || end != s.data() + s.size()) return std::nullopt;
    return v;
}

inline std::optional<double> parse_double(std::string_view s) { return parse_real<double>(s); }

// A standard CAN id, 0 to 0x7FF, as parse_uint reads it.
inline std::optional<std::uint16_t> parse_can_id(std::string_view s) {
    const auto v = parse_uint(s);
    if (!v || *v > transport::CanId::kStandardMax) return std::nullopt;
    return static_cast<std::uint16_t>(*v);
}
inline std::optional<float> parse_float(std::string_view s) { return parse_real<float>(s); }

// Splits on runs of spaces and tabs.
inline std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
        const std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t') ++i;
        if (i > start) out.push_back(line.substr(start, i - start));
    }
    return out;
}

}  // namespace velkarin::damiao::parse
