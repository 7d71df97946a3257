// The motor's register table, as data in one place, and the look-ups and the
// range check over it.
#include "damiao/registers.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "damiao/names.hpp"
#include "damiao/text/float_text.hpp"

namespace velkarin::damiao::registers {
namespace {

constexpr auto RO = RegisterAccess::ReadOnly;
constexpr auto RW = RegisterAccess::ReadWrite;
constexpr auto F32 = RegisterKind::Float;
constexpr auto U32 = RegisterKind::Uint32;

// The documentation's 3.4e38: the largest finite float.
constexpr double kMax = std::numeric_limits<float>::max();

constexpr RangeBound open(double v) { return {v, true}; }
constexpr RangeBound closed(double v) { return {v, false}; }
constexpr std::optional<RegisterRange> range(RangeBound lo, RangeBound hi) {
    return RegisterRange{lo, hi};
}
constexpr std::optional<RegisterRange> kUndocumented = std::nullopt;

constexpr std::array<RegisterInfo, 45> kTable{{
    {UV_Value, "UV_Value", "Under-voltage protection value", RW, F32, range(open(10.0), closed(kMax))},
    {KT_Value, "KT_Value", "Torque coefficient", RW, F32, range(closed(0.0), closed(kMax))},
    {OT_Value, "OT_Value", "Over-temperature protection value", RW, F32, range(closed(80.0), open(200.0))},
    {OC_Value, "OC_Value", "Over-current protection value", RW, F32, range(open(0.0), open(1.0))},
    {ACC, "ACC", "Acceleration", RW, F32, range(open(0.0), open(kMax))},
    {DEC, "DEC", "Deceleration", RW, F32, range(closed(-kMax), open(0.0))},
    {MAX_SPD, "MAX_SPD", "Maximum speed", RW, F32, range(open(0.0), closed(kMax))},
    {MST_ID, "MST_ID", "Master id", RW, U32, range(closed(0), closed(0x7FF))},
    {ESC_ID, "ESC_ID", "CAN id", RW, U32, range(closed(0), closed(0x7FF))},
    {TIMEOUT, "TIMEOUT", "Communication time-out", RW, U32, range(closed(0), closed(4294967295.0))},
    {CTRL_MODE, "CTRL_MODE", "Control mode", RW, U32, range(closed(1), closed(4))},
    {Damp, "Damp", "Viscous damping coefficient", RO, F32, kUndocumented},
    {Inertia, "Inertia", "Moment of inertia", RO, F32, kUndocumented},
    {hw_ver, "hw_ver", "Hardware version", RO, U32, kUndocumented},
    {sw_ver, "sw_ver", "Software version", RO, U32, kUndocumented},
    {SN, "SN", "Serial number", RO, U32, kUndocumented},
    {NPP, "NPP", "Motor pole pairs", RO, U32, kUndocumented},
    {Rs, "Rs", "Phase resistance", RO, F32, kUndocumented},
    {Ls, "Ls", "Phase inductance", RO, F32, kUndocumented},
    {Flux, "Flux", "Flux linkage", RO, F32, kUndocumented},
    {Gr, "Gr", "Gear reduction ratio", RO, F32, kUndocumented},
    {PMAX, "PMAX", "Position mapping range", RW, F32, range(open(0.0), closed(kMax))},
    {VMAX, "VMAX", "Velocity mapping range", RW, F32, range(open(0.0), closed(kMax))},
    {TMAX, "TMAX", "Torque mapping range", RW, F32, range(open(0.0), closed(kMax))},
    {I_BW, "I_BW", "Current loop bandwidth", RW, F32, range(closed(100.0), closed(10000.0))},
    {KP_ASR, "KP_ASR", "Speed loop Kp", RW, F32, range(closed(0.0), closed(kMax))},
    {KI_ASR, "KI_ASR", "Speed loop Ki", RW, F32, range(closed(0.0), closed(kMax))},
    {KP_APR, "KP_APR", "Position loop Kp", RW, F32, range(closed(0.0), closed(kMax))},
    {KI_APR, "KI_APR", "Position loop Ki", RW, F32, range(closed(0.0), closed(kMax))},
    {OV_Value, "OV_Value", "Over-voltage protection value", RW, F32, kUndocumented},
    {GREF, "GREF", "Gear torque efficiency", RW, F32, range(open(0.0), closed(1.0))},
    {Deta, "Deta", "Speed loop damping coefficient", RW, F32, range(closed(1.0), closed(30.0))},
    {V_BW, "V_BW", "Speed loop filter bandwidth", RW, F32, range(open(0.0), open(500.0))},
    {IQ_c1, "IQ_c1", "Current loop enhancement coefficient", RW, F32, range(closed(100.0), closed(10000.0))},
    {VL_c1, "VL_c1", "Speed loop enhancement coefficient", RW, F32, range(open(0.0), closed(10000.0))},
    {can_br, "can_br", "CAN bit rate code", RW, U32, range(closed(0), closed(9))},
    {sub_ver, "sub_ver", "Sub-version", RO, U32, kUndocumented},
    {u_off, "u_off", "U-phase offset", RO, F32, kUndocumented},
    {v_off, "v_off", "V-phase offset", RO, F32, kUndocumented},
    {k1, "k1", "Compensation factor 1", RO, F32, kUndocumented},
    {k2, "k2", "Compensation factor 2", RO, F32, kUndocumented},
    {m_off, "m_off", "Angle offset", RO, F32, kUndocumented},
    {dir, "dir", "Direction", RO, F32, kUndocumented},
    {p_m, "p_m", "Motor position", RO, F32, kUndocumented},
    {xout, "xout", "Output shaft position", RO, F32, kUndocumented},
}};

// find() relies on strictly increasing numbers for its binary search, and
// find_by_variable() on names that differ in more than case.
static_assert(std::ranges::adjacent_find(kTable, [](const RegisterInfo& a, const RegisterInfo& b) {
                  return a.number >= b.number;
              }) == kTable.end());
constexpr bool variables_distinct() {
    for (std::size_t i = 0; i < kTable.size(); ++i)
        for (std::size_t j = i + 1; j < kTable.size(); ++j)
            if (same_name(kTable[i].variable, kTable[j].variable)) return false;
    return true;
}
static_assert(variables_distinct());

bool above(double v, RangeBound b) { return b.open ? v > b.value : v >= b.value; }
bool below(double v, RangeBound b) { return b.open ? v < b.value : v <= b.value; }

}  // namespace

std::span<const RegisterInfo> table() { return kTable; }

const RegisterInfo* find(std::uint8_t number) {
    const auto it = std::ranges::lower_bound(kTable, number, {}, &RegisterInfo::number);
    return it != kTable.end() && it->number == number ? &*it : nullptr;
}

const RegisterInfo* find_by_variable(std::string_view variable) {
    const auto it = std::ranges::find_if(
        kTable, [&](const RegisterInfo& r) { return same_name(r.variable, variable); });
    return it != kTable.end() ? &*it : nullptr;
}

bool in_documented_range(const RegisterInfo& info, const RegisterValue& value) {
    if (kind_of(value) != info.kind) return false;
    // Every uint32 is finite and converts to double exactly: compared as integers.
    const double v = std::visit([](auto x) { return static_cast<double>(x); }, value);
    if (!std::isfinite(v)) return false;
    return !info.range || (above(v, info.range->lo) && below(v, info.range->hi));
}

bool raw_in_documented_range(const RegisterInfo& info, std::uint32_t raw) {
    return in_documented_range(info, value_of_kind(info.kind, raw));
}

}  // namespace velkarin::damiao::registers

namespace velkarin::damiao {

std::string value_text(const RegisterValue& value) {
    if (const auto* u = std::get_if<std::uint32_t>(&value)) return std::to_string(*u);
    return float_text::shortest(std::get<float>(value));
}

}  // namespace velkarin::damiao
