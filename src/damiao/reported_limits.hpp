// The MIT scaling a motor reports about itself: p_max, v_max and t_max are
// its PMAX, VMAX and TMAX registers; kp and kd are always scaled over 0..500
// and 0..5.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "mit/codec.hpp"
#include "registers.hpp"

namespace velkarin::damiao {

struct ReportedRanges {
    // The registers that hold them, in the order p, v, t.
    static constexpr std::array<std::uint8_t, 3> kRegisters{registers::PMAX, registers::VMAX,
                                                            registers::TMAX};

    std::optional<float> pmax, vmax, tmax;

    // Keeps `value` if `reg` is one of kRegisters; any other register is ignored.
    void note(std::uint8_t reg, const RegisterValue& value);
    // The motor's limits, once all three registers are known.
    std::optional<MitLimits> limits() const;
};

}  // namespace velkarin::damiao
