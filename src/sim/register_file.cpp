// Start values and write rules of the simulated register file.
#include "sim/register_file.hpp"

#include <bit>
#include <cmath>

namespace velkarin::sim {
namespace {

// A documented value range; a write outside it is refused, as the firmware
// refuses it. Open ends exclude their bound.
struct Range {
    std::uint8_t number;
    double lo;
    double hi;
    bool lo_open;
    bool hi_open;
};

constexpr double kFloatMax = 3.4e38;

constexpr Range kRanges[] = {
    {0, 10.0, kFloatMax, true, false},      // UV_Value
    {1, 0.0, kFloatMax, false, false},      // KT_Value
    {2, 80.0, 200.0, false, true},          // OT_Value
    {3, 0.0, 1.0, true, true},              // OC_Value
    {4, 0.0, kFloatMax, true, true},        // ACC
    {5, -kFloatMax, 0.0, false, true},      // DEC
    {6, 0.0, kFloatMax, true, false},       // MAX_SPD
    {7, 0.0, 0x7FF, false, false},          // MST_ID
    {8, 0.0, 0x7FF, false, false},          // ESC_ID
    {9, 0.0, 4294967295.0, false, false},   // TIMEOUT
    {10, 1.0, 4.0, false, false},           // CTRL_MODE
    {21, 0.0, kFloatMax, true, false},      // PMAX
    {22, 0.0, kFloatMax, true, false},      // VMAX
    {23, 0.0, kFloatMax, true, false},      // TMAX
    {24, 100.0, 10000.0, false, false},     // I_BW
    {25, 0.0, kFloatMax, false, false},     // KP_ASR
    {26, 0.0, kFloatMax, false, false},     // KI_ASR
    {27, 0.0, kFloatMax, false, false},     // KP_APR
    {28, 0.0, kFloatMax, false, false},     // KI_APR
    {29, -kFloatMax, kFloatMax, false, false},  // OV_Value: no documented range
    {30, 0.0, 1.0, true, false},            // GREF
    {31, 1.0, 30.0, false, false},          // Deta
    {32, 0.0, 500.0, true, true},           // V_BW
    {33, 100.0, 10000.0, false, false},     // IQ_c1
    {34, 0.0, 10000.0, true, false},        // VL_c1
    {35, 0.0, 4.0, false, false},           // can_br
};

const Range* range_of(std::uint8_t number) {
    for (const auto& r : kRanges)
        if (r.number == number) return &r;
    return nullptr;
}

bool within(const Range& r, double v) {
    if (std::isnan(v)) return false;
    if (r.lo_open ? !(v > r.lo) : !(v >= r.lo)) return false;
    if (r.hi_open ? !(v < r.hi) : !(v <= r.hi)) return false;
    return true;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

}  // namespace

RegisterFile::RegisterFile(const MotorModel& model, std::uint16_t can_id,
                           std::uint16_t master_id, std::uint8_t control_mode) {
    const auto& lim = model.limits;
    set_float(0, 15.0f);                 // under-voltage, V
    set_float(1, model.torque_constant);
    set_float(reg::kOverTemperature, 120.0f);  // degrees C
    set_float(3, 0.98f);                 // over-current, fraction of the peak
    set_float(4, 50.0f);                 // acceleration, rad/s^2
    set_float(5, -50.0f);                // deceleration
    set_float(reg::kMaxSpeed, lim.v_max);
    set_raw(reg::kMasterId, master_id);
    set_raw(reg::kCanId, can_id);
    set_raw(reg::kTimeout, 0);           // 0: no communication watchdog
    set_raw(reg::kControlMode, control_mode);
    set_float(11, static_cast<float>(model.damping));
    set_float(12, static_cast<float>(model.inertia));
    set_raw(13, 0);                      // hardware version: reserved
    set_raw(14, kSoftwareVersion);
    set_raw(15, 0);                      // serial number: reserved
    set_raw(16, model.pole_pairs);
    set_float(17, model.phase_resistance);
    set_float(18, model.phase_inductance);
    set_float(19, model.flux_linkage);
    set_float(20, model.gear_ratio);
    set_float(reg::kPMax, lim.p_max);
    set_float(reg::kVMax, lim.v_max);
    set_float(reg::kTMax, lim.t_max);
    set_float(24, 1000.0f);              // current loop bandwidth, Hz
    set_float(25, 0.0088f);              // speed loop Kp
    set_float(26, 0.002f);               // speed loop Ki
    set_float(27, 40.0f);                // position loop Kp
    set_float(28, 0.0f);                 // position loop Ki
    set_float(29, 52.0f);                // over-voltage, V
    set_float(30, 1.0f);                 // gear torque efficiency
    set_float(31, 5.0f);                 // speed loop damping
    set_float(32, 100.0f);               // speed loop filter bandwidth
    set_float(33, 1000.0f);
    set_float(34, 500.0f);
    set_raw(35, 4);                      // 1 Mbit/s
    set_raw(36, 0);
    for (std::uint8_t n = 50; n <= 54; ++n) set_float(n, 0.0f);  // calibration offsets
    set_float(55, 1.0f);                 // direction
    set_float(reg::kMotorPosition, 0.0f);
    set_float(reg::kShaftPosition, 0.0f);
}

std::optional<std::uint32_t> RegisterFile::raw(std::uint8_t number) const {
    if (damiao::registers::find(number) == nullptr || number >= kSlots) return std::nullopt;
    return values_[number];
}

float RegisterFile::as_float(std::uint8_t number) const {
    return std::bit_cast<float>(values_.at(number));
}

std::uint32_t RegisterFile::as_uint(std::uint8_t number) const { return values_.at(number); }

RegisterFile::WriteResult RegisterFile::write(std::uint8_t number, std::uint32_t raw_value) {
    const auto* info = damiao::registers::find(number);
    if (info == nullptr || number >= kSlots) return WriteResult::Unknown;
    if (info->access != damiao::RegisterAccess::ReadWrite) return WriteResult::ReadOnly;
    if (const auto* r = range_of(number)) {
        const double v = info->kind == damiao::RegisterKind::Float
                             ? static_cast<double>(std::bit_cast<float>(raw_value))
                             : static_cast<double>(raw_value);
        if (!within(*r, v)) return WriteResult::OutOfRange;
    }
    values_[number] = raw_value;
    return WriteResult::Applied;
}

void RegisterFile::set_raw(std::uint8_t number, std::uint32_t raw_value) {
    values_.at(number) = raw_value;
}

void RegisterFile::set_float(std::uint8_t number, float value) { set_raw(number, bits(value)); }

}  // namespace velkarin::sim
