// Fuzz target: reading another program's frames for one watched motor.
// Input: motor id (2 bytes, little-endian), master id (2), CAN id (2), then
// the frame's data; the limits are a DM4310's.
#include <cstdint>
#include <span>
#include <variant>

#include "damiao/presets.hpp"
#include "damiao/seen_frame.hpp"
#include "fuzz_check.hpp"

namespace damiao = velkarin::damiao;
using velkarin::transport::CanId;

namespace {

std::uint16_t le16(std::span<const std::uint8_t> b, std::size_t at) {
    return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    velkarin::fuzz::g_input = input;
    if (input.size() < 6) return -1;
    const damiao::WatchedMotor motor{le16(input, 0), le16(input, 2), damiao::presets::find("dm4310")->limits};
    const CanId id = CanId::standard_low_bits(le16(input, 4));
    // Ends where the input ends: a read past the data is out of bounds.
    const auto frame = input.subspan(6);
    const damiao::SeenFrame seen = damiao::read_seen_frame(motor, id, frame);

    bool watched = false;
    for (const CanId w : damiao::seen_frame_ids(motor)) watched = watched || w == id;
    // Nothing is read off an identifier the motor neither takes nor answers on.
    FUZZ_CHECK(watched || std::holds_alternative<std::monostate>(seen));
    // Every reading needs the full 8 bytes of a payload.
    FUZZ_CHECK(frame.size() >= 8 || std::holds_alternative<std::monostate>(seen));
    if (const auto* r = std::get_if<damiao::SeenRegister>(&seen)) {
        FUZZ_CHECK(frame.size() == 8 && le16(frame, 0) == motor.motor_id);
        FUZZ_CHECK(damiao::register_op_name(r->op).has_value());
    }
    if (std::holds_alternative<damiao::SeenSpecial>(seen)) FUZZ_CHECK(frame.size() == 8);
    return 0;
}
