// Start values and write rules of the simulated register file; names, access
// and documented ranges come from the core's register table.
#include "sim/register_file.hpp"

#include <bit>

namespace velkarin::sim {

RegisterFile::RegisterFile(const MotorModel& model, std::uint16_t can_id,
                           std::uint16_t master_id, std::uint8_t control_mode) {
    const auto& lim = model.limits;
    set_float(registers::UV_Value, 15.0f);   // V
    set_float(registers::KT_Value, model.torque_constant);
    set_float(registers::OT_Value, registers::kDefaultOverTemperature);
    set_float(registers::OC_Value, 0.98f);   // fraction of the peak current
    set_float(registers::ACC, 50.0f);        // rad/s^2
    set_float(registers::DEC, -50.0f);
    set_float(registers::MAX_SPD, lim.v_max);
    set_raw(registers::MST_ID, master_id);
    set_raw(registers::ESC_ID, can_id);
    set_raw(registers::TIMEOUT, 0);          // 0: no communication watchdog
    set_raw(registers::CTRL_MODE, control_mode);
    set_float(registers::Damp, static_cast<float>(model.damping));
    set_float(registers::Inertia, static_cast<float>(model.inertia));
    set_raw(registers::hw_ver, 0);           // reserved
    set_raw(registers::sw_ver, kSoftwareVersion);
    set_raw(registers::SN, 0);               // reserved
    set_raw(registers::NPP, model.pole_pairs);
    set_float(registers::Rs, model.phase_resistance);
    set_float(registers::Ls, model.phase_inductance);
    set_float(registers::Flux, model.flux_linkage);
    set_float(registers::Gr, model.gear_ratio);
    set_float(registers::PMAX, lim.p_max);
    set_float(registers::VMAX, lim.v_max);
    set_float(registers::TMAX, lim.t_max);
    set_float(registers::I_BW, 1000.0f);     // Hz
    set_float(registers::KP_ASR, 0.0088f);
    set_float(registers::KI_ASR, 0.002f);
    set_float(registers::KP_APR, 40.0f);
    set_float(registers::KI_APR, 0.0f);
    set_float(registers::OV_Value, 52.0f);   // V
    set_float(registers::GREF, 1.0f);
    set_float(registers::Deta, 5.0f);
    set_float(registers::V_BW, 100.0f);
    set_float(registers::IQ_c1, 1000.0f);
    set_float(registers::VL_c1, 500.0f);
    set_raw(registers::can_br, kDefaultCanBr);
    set_raw(registers::sub_ver, 0);
    for (const auto n : {registers::u_off, registers::v_off, registers::k1, registers::k2,
                         registers::m_off})
        set_float(n, 0.0f);                  // calibration offsets
    set_float(registers::dir, 1.0f);
    set_float(registers::p_m, 0.0f);
    set_float(registers::xout, 0.0f);
}

std::optional<std::uint32_t> RegisterFile::raw(std::uint8_t number) const {
    if (registers::find(number) == nullptr || number >= kSlots) return std::nullopt;
    return values_[number];
}

float RegisterFile::as_float(std::uint8_t number) const {
    return std::bit_cast<float>(values_.at(number));
}

std::uint32_t RegisterFile::as_uint(std::uint8_t number) const { return values_.at(number); }

RegisterFile::WriteResult RegisterFile::write(std::uint8_t number, std::uint32_t raw_value) {
    const auto* info = registers::find(number);
    if (info == nullptr || number >= kSlots) return WriteResult::Unknown;
    if (info->access != damiao::RegisterAccess::ReadWrite) return WriteResult::ReadOnly;
    if (!registers::raw_in_documented_range(*info, raw_value)) return WriteResult::OutOfRange;
    values_[number] = raw_value;
    return WriteResult::Applied;
}

std::vector<std::pair<std::uint8_t, std::uint32_t>> RegisterFile::writable_values() const {
    std::vector<std::pair<std::uint8_t, std::uint32_t>> out;
    for (const auto& info : registers::table())
        if (info.access == damiao::RegisterAccess::ReadWrite) out.emplace_back(info.number, values_[info.number]);
    return out;
}

void RegisterFile::set_raw(std::uint8_t number, std::uint32_t raw_value) {
    values_.at(number) = raw_value;
}

void RegisterFile::set_float(std::uint8_t number, float value) {
    set_raw(number, damiao::raw_bits(value));
}

}  // namespace velkarin::sim
