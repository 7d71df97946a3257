// The register file of one simulated motor: every register of the core's
// table with a plausible start value, and the firmware's rules for writes.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "damiao/registers.hpp"
#include "sim/models.hpp"

namespace velkarin::sim {

// Register numbers by the firmware's variable names (registers::PMAX, ...).
namespace registers = damiao::registers;

// The software version the simulated firmware reports in sw_ver.
inline constexpr std::uint32_t kSoftwareVersion = 5013;
// can_br as motors ship: classic CAN at 1 Mbit/s.
inline constexpr std::uint32_t kDefaultCanBr = 4;

class RegisterFile {
public:
    RegisterFile(const MotorModel& model, std::uint16_t can_id, std::uint16_t master_id,
                 std::uint8_t control_mode);

    // The raw 32 bits of register `number` (a float register's IEEE 754
    // bits), or nothing for a number the table does not list.
    std::optional<std::uint32_t> raw(std::uint8_t number) const;
    float as_float(std::uint8_t number) const;
    std::uint32_t as_uint(std::uint8_t number) const;

    enum class WriteResult : std::uint8_t { Applied, Unknown, ReadOnly, OutOfRange };

    // A write from the bus: applied only to a listed, writable register and
    // only with a value in that register's documented range (the core's table).
    WriteResult write(std::uint8_t number, std::uint32_t raw_value);

    // Every writable register's raw value, in number order: what a store keeps.
    std::vector<std::pair<std::uint8_t, std::uint32_t>> writable_values() const;

    // For the firmware's own bookkeeping (positions, faults): no checks.
    void set_raw(std::uint8_t number, std::uint32_t raw_value);
    void set_float(std::uint8_t number, float value);

private:
    static constexpr std::size_t kSlots = registers::xout + 1;  // up to the highest number
    std::array<std::uint32_t, kSlots> values_{};
};

}  // namespace velkarin::sim
