// The two kinds of value a motor register holds.
#pragma once

#include <cstdint>
#include <string_view>

namespace velkarin::damiao {

enum class RegisterKind : std::uint8_t { Float, Uint32 };

constexpr std::string_view name_of(RegisterKind k) {
    return k == RegisterKind::Float ? "Float" : "Uint32";
}

}  // namespace velkarin::damiao
