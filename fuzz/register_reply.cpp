// Fuzz target: register-reply recognition on arbitrary received data.
// Input: the register number awaited, then the data of one received frame.
#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>

#include "damiao/registers.hpp"
#include "fuzz_check.hpp"

namespace registers = velkarin::damiao::registers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    velkarin::fuzz::g_input = input;
    if (input.empty()) return -1;
    const std::uint8_t reg = input[0];
    // Ends where the input ends: a read past the data is out of bounds.
    const auto frame = input.subspan(1);

    const std::optional<std::uint32_t> value = registers::match_read_reply(frame, reg);
    // Exactly 8 bytes with 0x33 and the register in bytes 2 and 3, whatever
    // bytes 0-1 (and the identifier) say.
    const bool is_reply = frame.size() == 8 && frame[2] == 0x33 && frame[3] == reg;
    FUZZ_CHECK(value.has_value() == is_reply);
    if (is_reply) {
        const std::uint32_t le = frame[4] + 0x100u * frame[5] + 0x10000u * frame[6] +
                                 0x1000000u * frame[7];
        FUZZ_CHECK(*value == le);
    }

    // The frames this side sends: a write request is never taken for a read
    // reply, and a read request carries the motor id and register it was
    // built from, with the value bytes zero.
    const auto le16 = [&](std::size_t at) {
        return frame.size() >= at + 2 ? static_cast<std::uint16_t>(frame[at] | frame[at + 1] << 8)
                                      : std::uint16_t{0};
    };
    const std::uint16_t motor_id = le16(0);
    const std::uint32_t raw = std::uint32_t{le16(4)} | std::uint32_t{le16(6)} << 16;
    const auto write = registers::write_request(motor_id, reg, raw);
    FUZZ_CHECK(!registers::match_read_reply(write, reg).has_value());
    FUZZ_CHECK(write[0] == (motor_id & 0xFF) && write[1] == motor_id >> 8 && write[2] == 0x55 &&
               write[3] == reg);
    FUZZ_CHECK((write[4] | write[5] << 8 | write[6] << 16 | std::uint32_t{write[7]} << 24) == raw);

    const auto read = registers::read_request(motor_id, reg);
    FUZZ_CHECK(read[0] == (motor_id & 0xFF) && read[1] == motor_id >> 8 && read[2] == 0x33 &&
               read[3] == reg && read[4] == 0 && read[5] == 0 && read[6] == 0 && read[7] == 0);
    // A reply for another register never matches.
    if (is_reply) FUZZ_CHECK(!registers::match_read_reply(frame, static_cast<std::uint8_t>(reg + 1)));

    // The strict rule takes a subset of what the loose one takes, with the
    // same value, and never a frame on 0x7FF. The identifier and the reply
    // id come from the data, so "on the reply id" and "elsewhere" both occur.
    if (frame.size() <= velkarin::transport::CanFrame::kFdMax) {
        using velkarin::transport::CanId;
        const CanId reply_id = CanId::standard_low_bits(raw);
        const CanId on = (raw & 0x10000) != 0 ? reply_id : CanId::standard_low_bits(raw >> 17);
        const velkarin::transport::CanFrame f(on, frame);
        const auto loose = registers::read_reply_value(f, registers::ReplyRule::AnySender,
                                                       motor_id, reg, reply_id);
        const auto strict = registers::read_reply_value(f, registers::ReplyRule::AddressedMotor,
                                                        motor_id, reg, reply_id);
        FUZZ_CHECK(loose == value);
        if (strict) FUZZ_CHECK(strict == loose && on != CanId::standard(registers::kRequestId));
    }

    // The motor's side: any 8 bytes parse as a request and build back to
    // themselves; fewer are refused.
    const auto request = registers::parse_request(frame);
    FUZZ_CHECK(request.has_value() == (frame.size() >= 8));
    if (request) {
        const auto again = registers::payload_of(*request);
        FUZZ_CHECK(std::equal(again.begin(), again.end(), frame.begin()));
    }
    return 0;
}
