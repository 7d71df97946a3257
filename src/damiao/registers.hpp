// The motor's configuration registers: the built-in table with the firmware's
// variable names and documented ranges, the request and reply frames on
// identifier 0x7FF (both sides), and the register value type.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>

#include "../transport/can_frame.hpp"
#include "frame_format.hpp"
#include "payload.hpp"
#include "register_kind.hpp"

namespace velkarin::damiao {

enum class RegisterAccess : std::uint8_t { ReadOnly, ReadWrite };

// One end of a documented range; an open end excludes the bound itself.
struct RangeBound {
    double value;
    bool open;
};

// A documented value range. A double holds every float and every unsigned
// 32-bit integer exactly, so one bound type serves both kinds without rounding.
struct RegisterRange {
    RangeBound lo;
    RangeBound hi;
};

struct RegisterInfo {
    std::uint8_t number;
    std::string_view variable;  // the firmware's variable name, e.g. "PMAX"
    std::string_view name;      // a descriptive name
    RegisterAccess access;
    RegisterKind kind;
    std::optional<RegisterRange> range;  // absent where none is documented
};

// A register's value; its case is its kind.
using RegisterValue = std::variant<float, std::uint32_t>;

constexpr RegisterKind kind_of(const RegisterValue& v) {
    return v.index() == 0 ? RegisterKind::Float : RegisterKind::Uint32;
}

// The four value bytes as a request or reply carries them: a float as its
// IEEE 754 bit pattern, and back in the kind of the register.
std::uint32_t raw_bits(const RegisterValue& value);
// "2", "12.5": an integer in decimal, a float in its shortest round-trip digits.
std::string value_text(const RegisterValue& value);
RegisterValue value_of_kind(RegisterKind kind, std::uint32_t raw);

namespace registers {

// Register numbers by the firmware's variable names; 37-49 and 56-79 are not
// documented and are not registers here.
enum Number : std::uint8_t {
    UV_Value = 0, KT_Value = 1, OT_Value = 2, OC_Value = 3, ACC = 4, DEC = 5, MAX_SPD = 6,
    MST_ID = 7, ESC_ID = 8, TIMEOUT = 9, CTRL_MODE = 10,
    Damp = 11, Inertia = 12, hw_ver = 13, sw_ver = 14, SN = 15, NPP = 16,
    Rs = 17, Ls = 18, Flux = 19, Gr = 20,
    PMAX = 21, VMAX = 22, TMAX = 23,
    I_BW = 24, KP_ASR = 25, KI_ASR = 26, KP_APR = 27, KI_APR = 28, OV_Value = 29, GREF = 30,
    Deta = 31, V_BW = 32, IQ_c1 = 33, VL_c1 = 34, can_br = 35, sub_ver = 36,
    u_off = 50, v_off = 51, k1 = 52, k2 = 53, m_off = 54, dir = 55,
    p_m = 80, xout = 81,
};

// TIMEOUT counts this much silence: 2000 is 100 ms; 0 turns the watchdog off.
inline constexpr std::chrono::microseconds kTimeoutUnit{50};

constexpr std::chrono::nanoseconds timeout_of_counts(std::uint32_t counts) {
    return std::chrono::nanoseconds(kTimeoutUnit) * counts;
}
// The counts of a duration, rounded down; beyond the register's range, its largest value.
constexpr std::uint32_t timeout_counts_of(std::chrono::nanoseconds d) {
    const auto counts = d / kTimeoutUnit;
    if (counts <= 0) return 0;
    return counts >= 0xFFFF'FFFF ? 0xFFFF'FFFFu : static_cast<std::uint32_t>(counts);
}

// OT_Value as motors ship it, degrees C: the protection threshold to assume
// when it has not been read.
inline constexpr float kDefaultOverTemperature = 120.0f;

// Every register of the table, in number order.
std::span<const RegisterInfo> table();
// The entry for `number`, or nullptr when the table does not list it.
const RegisterInfo* find(std::uint8_t number);
// The entry whose variable name is `variable`, ignoring ASCII case ("pmax"
// finds PMAX), or nullptr.
const RegisterInfo* find_by_variable(std::string_view variable);

// Whether `value` lies in the entry's documented range. NaN and infinities
// never do, nor does a value of the other kind; an entry without a documented
// range takes any finite value of its kind.
bool in_documented_range(const RegisterInfo& info, const RegisterValue& value);
// The same for four raw value bytes, read in the entry's kind.
bool raw_in_documented_range(const RegisterInfo& info, std::uint32_t raw);

// ---- frames on identifier 0x7FF and their replies ----

inline constexpr std::uint16_t kRequestId = 0x7FF;
// Byte 2 of a request (and of its reply).
inline constexpr std::uint8_t kRead = 0x33;
inline constexpr std::uint8_t kWrite = 0x55;
inline constexpr std::uint8_t kStore = 0xAA;
inline constexpr std::uint8_t kRefresh = 0xCC;
// Byte 3 of a store request: every parameter.
inline constexpr std::uint8_t kStoreAll = 0x01;

// Every request and every register reply: bytes 0-1 the motor's CAN id
// (little-endian, all 16 bits), byte 2 the op, byte 3 the register, bytes
// 4-7 the value (little-endian).
struct Request {
    std::uint16_t motor_id;
    std::uint8_t op;
    std::uint8_t reg;
    std::uint32_t value;

    friend bool operator==(const Request&, const Request&) = default;
};

Payload payload_of(const Request& r);
// Reads bytes 0..7 (failing on fewer) whatever the op; judging it is the caller's.
std::expected<Request, PayloadTooShort> parse_request(std::span<const std::uint8_t> data);

Payload read_request(std::uint16_t motor_id, std::uint8_t reg);
Payload write_request(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t raw_value);
Payload store_request(std::uint16_t motor_id);
Payload refresh_request(std::uint16_t motor_id);
// The motor's answer: the request's layout with its own CAN id.
Payload reply(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value);

// A reply to a read of `reg`, recognised by content alone: exactly 8 bytes,
// byte 2 = 0x33, byte 3 = reg. Returns bytes 4-7 (little-endian) or nothing.
std::optional<std::uint32_t> match_read_reply(std::span<const std::uint8_t> data,
                                              std::uint8_t reg);

// How strictly a frame is taken as the reply to a register read. There are
// two because there are two kinds of reader. A program that talks to its own
// motors, one read at a time, takes the first frame whose content fits
// (AnySender). A tool that reads while other programs read other motors must
// not take their replies, nor requests and commands that happen to look like
// one (AddressedMotor): bytes 0-1 must name the motor asked, and the frame
// must come on the motor's reply identifier; for a read of MST_ID, whose
// value the reader may not know yet, on the identifier that value names,
// since the motor answers on its master id. Requests on 0x7FF and commands on
// other motors' ids are never taken, as long as no motor answers on one.
enum class ReplyRule : std::uint8_t { AnySender, AddressedMotor };

// The value `frame` carries when it answers a read of register `reg` of
// motor `motor_id`, whose replies come on `reply_id`, under `rule`; otherwise
// nothing. Classic or FD frames alike; an extended identifier never answers
// under AddressedMotor.
std::optional<std::uint32_t> read_reply_value(const transport::CanFrame& frame, ReplyRule rule,
                                              std::uint16_t motor_id, std::uint8_t reg,
                                              transport::CanId reply_id);

// A request (read, write, store or refresh) as its frame on 0x7FF.
transport::CanFrame request_frame(const Payload& request, FrameFormat format = FrameFormat::Classic);

}  // namespace registers
}  // namespace velkarin::damiao
