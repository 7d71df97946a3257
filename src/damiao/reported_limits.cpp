#include "damiao/reported_limits.hpp"

#include <variant>

namespace velkarin::damiao {

void ReportedRanges::note(std::uint8_t reg, const RegisterValue& value) {
    const auto* f = std::get_if<float>(&value);
    if (f == nullptr) return;
    if (reg == registers::PMAX) pmax = *f;
    if (reg == registers::VMAX) vmax = *f;
    if (reg == registers::TMAX) tmax = *f;
}

std::optional<MitLimits> ReportedRanges::limits() const {
    if (!pmax || !vmax || !tmax) return std::nullopt;
    return mit::firmware_limits(*pmax, *vmax, *tmax);
}

}  // namespace velkarin::damiao
