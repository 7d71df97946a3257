// Talking to motors by CAN id over one bus, as the tool needs it: register
// reads matched by the answering motor's id, writes, store and refresh
// requests, the special commands; a full transmit queue is waited out.
#pragma once

#include <cstdint>
#include <expected>
#include <string>

#include "damiao/mit/codec.hpp"
#include "damiao/registers.hpp"
#include "damiao/special_commands.hpp"
#include "tool/cli.hpp"
#include "transport/transport.hpp"

namespace velkarin::tool {

// A failed exchange, in words for the person at the terminal.
struct LinkError {
    enum class Kind : std::uint8_t { NoAnswer, Bus };
    Kind kind;
    std::string message;
};

template <typename T>
using LinkResult = std::expected<T, LinkError>;

struct RegisterReply {
    damiao::RegisterValue value;
    transport::CanId arrived_on;  // the identifier the motor answered on
};

// A motor's own MIT scaling: PMAX, VMAX, 500, 5, TMAX.
struct Identity {
    std::uint16_t master_id;
    damiao::MitLimits limits;
};

class Link {
public:
    Link(transport::CanTransport& bus, transport::Duration timeout) : bus_(bus), timeout_(timeout) {}

    transport::CanTransport& bus() { return bus_; }
    transport::Duration timeout() const { return timeout_; }

    // Sends one frame; a full transmit queue is waited out for at most the
    // time-out (CanTransport::send_waiting). Errors: Bus.
    LinkResult<void> send(const transport::CanFrame& frame);

    // Reads `reg` of the motor with CAN id `id`: the answer is the first read
    // reply of that register whose bytes 0-1 carry `id`. Errors: NoAnswer, Bus.
    LinkResult<RegisterReply> read(std::uint16_t id, const damiao::RegisterInfo& reg);
    // Sends a write request; its answer is not awaited. Errors: Bus.
    LinkResult<void> write(std::uint16_t id, const damiao::RegisterInfo& reg,
                           const damiao::RegisterValue& value);
    // Sends the store request; motors are not known to answer it. Errors: Bus.
    LinkResult<void> store(std::uint16_t id);
    // Asks for one status frame on `who.master_id`, which commands nothing.
    // Errors: NoAnswer, Bus.
    LinkResult<damiao::MotorState> refresh(std::uint16_t id, const Identity& who);
    // Sends a special command and decodes the answer. Errors: NoAnswer, Bus.
    LinkResult<damiao::MotorState> special(std::uint16_t id, const Identity& who,
                                           damiao::SpecialCommand kind);

    // MST_ID (or `master` when given), PMAX, VMAX and TMAX. Errors: those of read.
    LinkResult<Identity> identify(std::uint16_t id, std::optional<std::uint16_t> master = {});

    // The words for a failed transport operation on motor `id`.
    LinkError failure(const transport::TransportError& e, std::uint16_t id, std::string_view what) const;

private:
    // Sends `frame` and decodes the first frame on the master id.
    LinkResult<damiao::MotorState> status_exchange(const transport::CanFrame& frame,
                                                   std::uint16_t id, const Identity& who,
                                                   std::string_view what);

    transport::CanTransport& bus_;
    transport::Duration timeout_;
};

// "0x001"
std::string id_text(std::uint16_t id);

}  // namespace velkarin::tool
