// Frame builders and clock helpers for the simulator's tests: the frames the
// driver sends, made with the core's payload builders on the identifiers the
// protocol tables give (the special commands' bytes written out as listed).
#pragma once

#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <ostream>
#include <vector>

#include "damiao/mit/codec.hpp"
#include "damiao/presets.hpp"
#include "damiao/modes/control_setpoint.hpp"
#include "damiao/registers.hpp"
#include "sim/firmware.hpp"
#include "sim/models.hpp"

namespace velkarin::sim {
// Failure messages show a model by its name.
inline void PrintTo(const MotorModel& m, std::ostream* os) { *os << m.name; }
}  // namespace velkarin::sim

namespace velkarin::sim::testing {

using transport::CanFrame;
using transport::CanId;
using namespace std::chrono_literals;

inline const TimePoint kT0{std::chrono::seconds(1000)};

inline CanFrame frame(std::uint16_t id, std::initializer_list<std::uint8_t> bytes) {
    const std::vector<std::uint8_t> v(bytes);
    return CanFrame(CanId::standard(id), v);
}

inline CanFrame special(std::uint16_t id, std::uint8_t last) {
    return frame(id, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, last});
}
inline CanFrame enable(std::uint16_t id) { return special(id, 0xFC); }
inline CanFrame disable(std::uint16_t id) { return special(id, 0xFD); }
inline CanFrame set_zero(std::uint16_t id) { return special(id, 0xFE); }
inline CanFrame clear_error(std::uint16_t id) { return special(id, 0xFB); }

inline CanFrame mit(std::uint16_t id, const damiao::MitSetpoint& sp,
                    const damiao::MitLimits& lim = {}) {
    return CanFrame(CanId::standard(id), *damiao::mit::encode(lim, sp));
}
inline CanFrame pos_vel(std::uint16_t id, float p, float v) {
    return CanFrame(CanId::standard(static_cast<std::uint16_t>(0x100 + id)),
                    damiao::modes::pos_vel_payload({p, v}));
}
inline CanFrame vel(std::uint16_t id, float v) {
    return CanFrame(CanId::standard(static_cast<std::uint16_t>(0x200 + id)),
                    damiao::modes::vel_payload({v}));
}
inline CanFrame force_pos(std::uint16_t id, float p, float vlim, float ratio) {
    return CanFrame(CanId::standard(static_cast<std::uint16_t>(0x300 + id)),
                    damiao::modes::force_pos_payload({p, vlim, ratio}));
}
inline CanFrame read_reg(std::uint16_t id, std::uint8_t reg) {
    return CanFrame(CanId::standard(0x7FF), damiao::registers::read_request(id, reg));
}
inline CanFrame write_reg(std::uint16_t id, std::uint8_t reg, std::uint32_t value) {
    return CanFrame(CanId::standard(0x7FF), damiao::registers::write_request(id, reg, value));
}

inline const MotorModel& dm4310() { return *find_model("dm4310"); }

inline damiao::MotorState decode(const CanFrame& f, const damiao::MitLimits& lim = {}) {
    return *damiao::mit::decode_feedback(lim, f.data());
}

inline std::uint32_t reply_value(const CanFrame& f) {
    const auto d = f.data();
    return std::uint32_t{d[4]} | std::uint32_t{d[5]} << 8 | std::uint32_t{d[6]} << 16 |
           std::uint32_t{d[7]} << 24;
}

// Sends `f` to the motor every `period` for `span`, as a control loop would,
// and returns the last reply.
template <typename MakeFrame>
std::optional<CanFrame> drive(Firmware& fw, TimePoint& now, MakeFrame make,
                              std::chrono::nanoseconds span, std::chrono::nanoseconds period = 2ms) {
    std::optional<CanFrame> last;
    for (const auto end = now + span; now < end; now += period) last = fw.handle(make(), now);
    return last;
}

}  // namespace velkarin::sim::testing
