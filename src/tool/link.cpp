// Register, refresh, store and special-command exchanges with one motor.
#include "tool/link.hpp"

#include <cerrno>
#include <cstdio>

namespace velkarin::tool {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::Clock;
using transport::TransportError;

namespace registers = damiao::registers;


CanFrame request_frame(const damiao::Payload& data) {
    return CanFrame(CanId::standard(registers::kRequestId), data);
}

std::string ms_text(transport::Duration d) {
    return std::to_string(d.secs * 1000 + d.nanos / 1'000'000) + " ms";
}

float float_of(const damiao::RegisterValue& v) {
    if (const auto* f = std::get_if<float>(&v)) return *f;
    return static_cast<float>(std::get<std::uint32_t>(v));
}

}  // namespace

std::string id_text(std::uint16_t id) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "0x%03X", static_cast<unsigned>(id));
    return buf;
}

LinkError Link::failure(const TransportError& e, std::uint16_t id, std::string_view what) const {
    if (e.kind == TransportError::Kind::Timeout)
        return {LinkError::Kind::NoAnswer, "motor " + id_text(id) + " did not answer " +
                                               std::string(what) + " within " + ms_text(timeout_)};
    return {LinkError::Kind::Bus, std::string(what) + " for motor " + id_text(id) + " failed: " +
                                      (e.kind == TransportError::Kind::Backend ? e.io.text() : e.text())};
}

LinkResult<void> Link::send(const CanFrame& frame) {
    transport::CanTransport::QueueWait wait{timeout_};
    const auto outcome = bus_.send_waiting({&frame, 1}, wait);
    if (!outcome.error) return {};
    const auto& e = *outcome.error;
    std::string why = e.kind == TransportError::Kind::Backend ? e.io.text() : e.text();
    if (e.kind == TransportError::Kind::Backend && e.io.code == ENOBUFS)
        why += ": no node acknowledges the frames (wiring, termination, bit rate?)";
    return std::unexpected(LinkError{LinkError::Kind::Bus, "sending failed: " + why});
}

LinkResult<RegisterReply> Link::read(std::uint16_t id, const damiao::RegisterInfo& reg) {
    const std::string what = "a read of " + std::string(reg.variable);
    if (auto sent = send(request_frame(registers::read_request(id, reg.number))); !sent)
        return std::unexpected(sent.error());
    const auto deadline = Clock::now() + timeout_.to_clock();
    std::uint32_t raw = 0;
    // Requests on 0x7FF (another tool's, say) look like replies: skipped.
    auto got = bus_.receive_until(deadline, [&](const CanFrame& f) {
        if (f.id == CanId::standard(registers::kRequestId) || f.fd) return false;
        const auto r = registers::parse_request(f.data());
        if (!r || f.size() != 8 || r->op != registers::kRead || r->reg != reg.number || r->motor_id != id)
            return false;
        raw = r->value;
        return true;
    });
    if (!got) return std::unexpected(failure(got.error(), id, what));
    return RegisterReply{damiao::value_of_kind(reg.kind, raw), got->id};
}

LinkResult<void> Link::write(std::uint16_t id, const damiao::RegisterInfo& reg,
                             const damiao::RegisterValue& value) {
    return send(request_frame(registers::write_request(id, reg.number, damiao::raw_bits(value))));
}

LinkResult<void> Link::store(std::uint16_t id) { return send(request_frame(registers::store_request(id))); }

LinkResult<damiao::MotorState> Link::status_exchange(const CanFrame& frame, std::uint16_t id,
                                                     const Identity& who, std::string_view what) {
    if (auto sent = send(frame); !sent) return std::unexpected(sent.error());
    const CanId master = CanId::standard(static_cast<std::uint16_t>(who.master_id & 0x7FF));
    auto got = bus_.receive_until(Clock::now() + timeout_.to_clock(),
                                  [&](const CanFrame& f) { return f.id == master && f.size() >= 8; });
    if (!got) return std::unexpected(failure(got.error(), id, what));
    return *damiao::mit::decode_feedback(who.limits, got->data());
}

LinkResult<damiao::MotorState> Link::refresh(std::uint16_t id, const Identity& who) {
    return status_exchange(request_frame(registers::refresh_request(id)), id, who,
                           "a refresh request");
}

LinkResult<damiao::MotorState> Link::special(std::uint16_t id, const Identity& who,
                                             damiao::SpecialCommand kind) {
    const CanFrame frame(CanId::standard(static_cast<std::uint16_t>(id & 0x7FF)),
                         damiao::special_payload(kind));
    return status_exchange(frame, id, who, "the command");
}

LinkResult<Identity> Link::identify(std::uint16_t id, std::optional<std::uint16_t> master) {
    Identity who{};
    if (master) {
        who.master_id = *master;
    } else {
        auto m = read(id, *registers::find(registers::MST_ID));
        if (!m) return std::unexpected(m.error());
        who.master_id = static_cast<std::uint16_t>(std::get<std::uint32_t>(m->value));
    }
    float limits[3] = {};
    const registers::Number ranges[3] = {registers::PMAX, registers::VMAX, registers::TMAX};
    for (int i = 0; i < 3; ++i) {
        auto v = read(id, *registers::find(ranges[i]));
        if (!v) return std::unexpected(v.error());
        limits[i] = float_of(v->value);
    }
    who.limits = damiao::mit::firmware_limits(limits[0], limits[1], limits[2]);
    return who;
}

}  // namespace velkarin::tool
