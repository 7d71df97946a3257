// Finding motors: every CAN id of a range asked for its master id, a bounded
// window of requests in flight, then each motor's mode, limits and version.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "tool/result.hpp"
#include "tool/session.hpp"

namespace velkarin::tool {

// At most this many reads are in flight: a slow listener (a virtual bus has
// no bit rate to pace frames) must never find its receive queue overrun, and
// at 1 Mbit/s the window is a 7 ms burst. With the 50 ms default time-out the
// whole id range takes 2046 / 64 x 50 ms, under two seconds of silence.
inline constexpr std::size_t kScanWindow = 64;

struct FoundMotor {
    std::uint16_t id;
    std::uint16_t master_id;  // register MST_ID
};

struct ScannedMotor {
    FoundMotor found;
    std::optional<std::uint32_t> mode;  // CTRL_MODE
    std::optional<float> pmax, vmax, tmax;
    std::optional<std::uint32_t> sw_ver;
};

// The motors that answer a read of MST_ID, sorted by id. A motor that
// answers twice (two motors on one id) is listed once.
// Errors: Bus (a send refused for longer than the time-out included), Interrupted.
ToolResult<std::vector<FoundMotor>> find_motors(const Session& s, std::uint16_t first,
                                                std::uint16_t last);

// find_motors, then the details of each; a register that does not answer
// stays unset. Errors: those of find_motors.
ToolResult<std::vector<ScannedMotor>> scan(const Session& s, std::uint16_t first, std::uint16_t last);

// The preset names whose p_max, v_max and t_max equal the motor's registers.
std::vector<std::string_view> matching_models(float pmax, float vmax, float tmax);

// The mode's name (modes::name_of), or the number itself.
Value mode_value(std::uint32_t mode);

// {"id", "master_id", "mode", "pmax", "vmax", "tmax", "models", "sw_ver"}
Value scan_entry(const ScannedMotor& m);

}  // namespace velkarin::tool
