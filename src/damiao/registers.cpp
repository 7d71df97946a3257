// The motor's register table and the request/reply frames of register access.
// The table is data in one place; everything else looks registers up in it.
#include "damiao/registers.hpp"

#include <algorithm>

namespace velkarin::damiao::registers {
namespace {

constexpr auto RO = RegisterAccess::ReadOnly;
constexpr auto RW = RegisterAccess::ReadWrite;
constexpr auto F32 = RegisterKind::Float;
constexpr auto U32 = RegisterKind::Uint32;

// As the firmware documents them; 37-49 and 56-79 are not documented and so
// are not registers as far as this driver is concerned.
constexpr std::array<RegisterInfo, 45> kTable{{
    {0, "Under-voltage protection value", RW, F32},
    {1, "Torque coefficient", RW, F32},
    {2, "Over-temperature protection value", RW, F32},
    {3, "Over-current protection value", RW, F32},
    {4, "Acceleration", RW, F32},
    {5, "Deceleration", RW, F32},
    {6, "Maximum speed", RW, F32},
    {7, "Master id", RW, U32},
    {8, "CAN id", RW, U32},
    {9, "Communication time-out", RW, U32},
    {10, "Control mode", RW, U32},
    {11, "Viscous damping coefficient", RO, F32},
    {12, "Moment of inertia", RO, F32},
    {13, "Hardware version", RO, U32},
    {14, "Software version", RO, U32},
    {15, "Serial number", RO, U32},
    {16, "Motor pole pairs", RO, U32},
    {17, "Phase resistance", RO, F32},
    {18, "Phase inductance", RO, F32},
    {19, "Flux linkage", RO, F32},
    {20, "Gear reduction ratio", RO, F32},
    {21, "Position mapping range", RW, F32},
    {22, "Velocity mapping range", RW, F32},
    {23, "Torque mapping range", RW, F32},
    {24, "Current loop bandwidth", RW, F32},
    {25, "Speed loop Kp", RW, F32},
    {26, "Speed loop Ki", RW, F32},
    {27, "Position loop Kp", RW, F32},
    {28, "Position loop Ki", RW, F32},
    {29, "Over-voltage protection value", RW, F32},
    {30, "Gear torque efficiency", RW, F32},
    {31, "Speed loop damping coefficient", RW, F32},
    {32, "Speed loop filter bandwidth", RW, F32},
    {33, "Current loop enhancement coefficient", RW, F32},
    {34, "Speed loop enhancement coefficient", RW, F32},
    {35, "CAN bit rate code", RW, U32},
    {36, "Sub-version", RO, U32},
    {50, "U-phase offset", RO, F32},
    {51, "V-phase offset", RO, F32},
    {52, "Compensation factor 1", RO, F32},
    {53, "Compensation factor 2", RO, F32},
    {54, "Angle offset", RO, F32},
    {55, "Direction", RO, F32},
    {80, "Motor position", RO, F32},
    {81, "Output shaft position", RO, F32},
}};

// find() relies on strictly increasing numbers for its binary search.
static_assert(std::ranges::adjacent_find(kTable, [](const RegisterInfo& a, const RegisterInfo& b) {
                  return a.number >= b.number;
              }) == kTable.end());

std::array<std::uint8_t, 8> request(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg,
                                    std::uint32_t value) {
    return {static_cast<std::uint8_t>(motor_id), static_cast<std::uint8_t>(motor_id >> 8),
            op,
            reg,
            static_cast<std::uint8_t>(value),
            static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16),
            static_cast<std::uint8_t>(value >> 24)};
}

}  // namespace

std::span<const RegisterInfo> table() { return kTable; }

const RegisterInfo* find(std::uint8_t number) {
    const auto it = std::ranges::lower_bound(kTable, number, {}, &RegisterInfo::number);
    return it != kTable.end() && it->number == number ? &*it : nullptr;
}

// Bytes 0-1 carry all 16 bits of the motor id, unlike command identifiers.
std::array<std::uint8_t, 8> read_request(std::uint16_t motor_id, std::uint8_t reg) {
    return request(motor_id, kRead, reg, 0);
}

std::array<std::uint8_t, 8> write_request(std::uint16_t motor_id, std::uint8_t reg,
                                          std::uint32_t raw_value) {
    return request(motor_id, kWrite, reg, raw_value);
}

// The identifier and bytes 0-1 are not looked at: the motor answers on its
// master id, which the driver does not need to know for register access.
std::optional<std::uint32_t> match_read_reply(std::span<const std::uint8_t> data,
                                              std::uint8_t reg) {
    if (data.size() != 8 || data[2] != kRead || data[3] != reg) return std::nullopt;
    return std::uint32_t{data[4]} | std::uint32_t{data[5]} << 8 |
           std::uint32_t{data[6]} << 16 | std::uint32_t{data[7]} << 24;
}

}  // namespace velkarin::damiao::registers
