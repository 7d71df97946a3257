// The bus a command talks on, the bound of each exchange and the frame
// format, and the motor exchanges the commands share, all through the core's
// driver. Replies are taken only when they name the motor asked and come on
// its master id (ReplyRule::AddressedMotor): other programs may be talking
// to other motors on the same bus.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

#include "damiao/driver.hpp"
#include "tool/failure.hpp"

namespace velkarin::tool {

struct Session {
    transport::CanTransport& bus;
    std::uint64_t timeout_ms;  // bounds each exchange
    damiao::FrameFormat format;
    int bus_fd = -1;  // the bus's socket, for watching its error frames; -1: none

    transport::Duration timeout() const { return transport::Duration::from_millis(timeout_ms); }
    // The core's driver for motor `id`, which answers on `master`.
    damiao::Damiao motor(std::uint16_t id, std::uint16_t master = 0,
                         const damiao::MitLimits& limits = {}) const;
};

// MST_ID of motor `id`, the first read of a motor whose master id is not yet
// known: its reply is checked against the id its value names.
// Errors: NoAnswer, Bus, Interrupted.
ToolResult<std::uint16_t> read_master_id(const Session& s, std::uint16_t id);

// The driver for motor `id` at the master id it reports (MST_ID), with the
// default MIT scaling. Errors: those of read_master_id.
ToolResult<damiao::Damiao> addressed(const Session& s, std::uint16_t id);

// Register `reg` of `motor`. Errors: NoAnswer, Bus, Interrupted.
ToolResult<damiao::RegisterValue> read_register(const Session& s, const damiao::Damiao& motor,
                                                std::uint8_t reg);
// The same, with nothing for a register that did not answer.
ToolResult<std::optional<damiao::RegisterValue>> read_if_answered(const Session& s,
                                                                  const damiao::Damiao& motor,
                                                                  std::uint8_t reg);

// The driver for motor `id` with its master id (MST_ID, or `master` when
// given) and its own MIT scaling from PMAX, VMAX and TMAX.
// Errors: those of read_register.
ToolResult<damiao::Damiao> identify(const Session& s, std::uint16_t id,
                                    std::optional<std::uint16_t> master = {});

// One command (a special command or a refresh request) and the motor's
// answer. Errors: NoAnswer, Bus, Interrupted, WrongAnswer (a short reply).
ToolResult<damiao::MotorState> exchange(const Session& s, const damiao::Damiao& motor,
                                        const damiao::Command& command, std::string_view what);

}  // namespace velkarin::tool
