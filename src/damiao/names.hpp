// Names that people type (models, register variables) compared as the motor
// tools do: ASCII letters without regard to case, everything else as is.
#pragma once

#include <cstddef>
#include <string_view>

namespace velkarin::damiao {

constexpr char ascii_lower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool same_name(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (ascii_lower(a[i]) != ascii_lower(b[i])) return false;
    return true;
}

}  // namespace velkarin::damiao
