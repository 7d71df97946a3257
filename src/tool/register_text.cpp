// Register names, ranges and values for the command line and the results.
#include "tool/register_text.hpp"

#include <cstdio>
#include <limits>

#include "damiao/modes/control_setpoint.hpp"
#include "damiao/text/parse.hpp"
#include "damiao/text/float_text.hpp"

namespace velkarin::tool {
namespace {

// Ids and counts as the protocol notes write them: small numbers in decimal,
// large ones (the largest id, 2^32 - 1) in hex.
std::string bound_text(double v, damiao::RegisterKind kind) {
    if (kind == damiao::RegisterKind::Uint32) {
        const auto u = static_cast<unsigned long long>(v);
        if (u < 256) return std::to_string(u);
        char buf[24];
        std::snprintf(buf, sizeof buf, "0x%llX", u);
        return buf;
    }
    // The largest finite float is what the firmware documents as 3.4e38.
    constexpr auto kFloatMax = static_cast<double>(std::numeric_limits<float>::max());
    if (v >= kFloatMax) return "3.4e38";
    if (v <= -kFloatMax) return "-3.4e38";
    return damiao::float_text::shortest(static_cast<float>(v));
}

}  // namespace

const damiao::RegisterInfo* find_register(std::string_view text) {
    if (const auto n = damiao::parse::parse_uint(text)) {
        return *n <= 0xFF ? damiao::registers::find(static_cast<std::uint8_t>(*n)) : nullptr;
    }
    return damiao::registers::find_by_variable(text);
}

std::string range_text(const damiao::RegisterInfo& reg) {
    if (!reg.range) return "any finite value";
    const auto& r = *reg.range;
    std::string out = r.lo.open ? "(" : "[";
    out += bound_text(r.lo.value, reg.kind);
    out += ", ";
    out += bound_text(r.hi.value, reg.kind);
    out += r.hi.open ? ')' : ']';
    return out;
}

Value value_of(const damiao::RegisterInfo& reg, const damiao::RegisterValue& v) {
    const bool id = reg.number == damiao::registers::MST_ID || reg.number == damiao::registers::ESC_ID;
    if (const auto* u = std::get_if<std::uint32_t>(&v))
        return id && *u <= 0xFFFF ? Value(CanIdNumber{static_cast<std::uint16_t>(*u)}) : Value(*u);
    return Value(std::get<float>(v));
}

std::string mode_names() {
    std::string out;
    for (const auto mode : damiao::modes::kAllModes)
        out += std::string(*damiao::modes::name_of(static_cast<std::uint32_t>(mode))) + ", ";
    return out + "or 1-" + std::to_string(damiao::modes::kAllModes.size());
}

}  // namespace velkarin::tool
