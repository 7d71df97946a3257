// Register requests and replies on identifier 0x7FF, both sides, and the
// four value bytes they carry. Pure: no I/O, no allocation.
#include <bit>
#include <type_traits>

#include "damiao/registers.hpp"

namespace velkarin::damiao {

std::uint32_t raw_bits(const RegisterValue& value) {
    return std::visit(
        [](auto v) -> std::uint32_t {
            if constexpr (std::is_same_v<decltype(v), float>) {
                return std::bit_cast<std::uint32_t>(v);
            } else {
                return v;
            }
        },
        value);
}

RegisterValue value_of_kind(RegisterKind kind, std::uint32_t raw) {
    if (kind == RegisterKind::Float) return std::bit_cast<float>(raw);
    return raw;
}

namespace registers {
namespace {

constexpr std::size_t kMotorIdAt = 0;
constexpr std::size_t kOpAt = 2;
constexpr std::size_t kRegAt = 3;
constexpr std::size_t kValueAt = 4;

}  // namespace

Payload payload_of(const Request& r) {
    Payload out{};
    le::put_u16(out, kMotorIdAt, r.motor_id);
    out[kOpAt] = r.op;
    out[kRegAt] = r.reg;
    le::put_u32(out, kValueAt, r.value);
    return out;
}

std::expected<Request, PayloadTooShort> parse_request(std::span<const std::uint8_t> data) {
    if (data.size() < 8) return std::unexpected(PayloadTooShort{data.size()});
    return Request{le::u16_at(data, kMotorIdAt), data[kOpAt], data[kRegAt], le::u32_at(data, kValueAt)};
}

// Bytes 0-1 carry all 16 bits of the motor id, unlike command identifiers.
Payload read_request(std::uint16_t motor_id, std::uint8_t reg) {
    return payload_of({motor_id, kRead, reg, 0});
}

Payload write_request(std::uint16_t motor_id, std::uint8_t reg, std::uint32_t raw_value) {
    return payload_of({motor_id, kWrite, reg, raw_value});
}

Payload store_request(std::uint16_t motor_id) { return payload_of({motor_id, kStore, kStoreAll, 0}); }

Payload refresh_request(std::uint16_t motor_id) { return payload_of({motor_id, kRefresh, 0, 0}); }

Payload reply(std::uint16_t motor_id, std::uint8_t op, std::uint8_t reg, std::uint32_t value) {
    return payload_of({motor_id, op, reg, value});
}

// The identifier and bytes 0-1 are not looked at here: AnySender does not
// care who answered, and read_reply_value checks them for AddressedMotor.
std::optional<std::uint32_t> match_read_reply(std::span<const std::uint8_t> data,
                                              std::uint8_t reg) {
    if (data.size() != 8) return std::nullopt;
    const auto r = parse_request(data);
    if (r->op != kRead || r->reg != reg) return std::nullopt;
    return r->value;
}

std::optional<std::uint32_t> read_reply_value(const transport::CanFrame& frame, ReplyRule rule,
                                              std::uint16_t motor_id, std::uint8_t reg,
                                              transport::CanId reply_id) {
    auto value = match_read_reply(frame.data(), reg);
    if (!value || rule == ReplyRule::AnySender) return value;
    if (le::u16_at(frame.data(), kMotorIdAt) != motor_id) return std::nullopt;
    const auto on = reg == MST_ID ? transport::CanId::standard_low_bits(*value) : reply_id;
    if (frame.id != on || frame.id == transport::CanId::standard(kRequestId)) return std::nullopt;
    return value;
}

transport::CanFrame request_frame(const Payload& request, FrameFormat format) {
    return frame_on(transport::CanId::standard(kRequestId), request, format);
}

}  // namespace registers
}  // namespace velkarin::damiao
