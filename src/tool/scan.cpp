// The windowed register scan and the details read for each motor found.
#include "tool/scan.hpp"

#include <algorithm>
#include <deque>

#include "damiao/modes/control_setpoint.hpp"
#include "damiao/motor_ids.hpp"
#include "damiao/presets.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;
using transport::CanFrame;
using transport::Clock;

struct Pending {
    std::uint16_t id;
    Clock::time_point expires;
};

template <typename T>
ToolResult<std::optional<T>> optional_read(const Session& s, const damiao::Damiao& motor,
                                           registers::Number n) {
    auto r = read_if_answered(s, motor, n);
    if (!r) return std::unexpected(std::move(r.error()));
    if (*r) {
        if (const auto* v = std::get_if<T>(&**r)) return std::optional<T>{*v};
    }
    return std::optional<T>{};
}

// Unused for MST_ID, whose reply comes on the identifier its value names.
constexpr transport::CanId kNamedByValue = damiao::reply_id_of(0);

}  // namespace

ToolResult<std::vector<FoundMotor>> find_motors(const Session& s, std::uint16_t first,
                                                std::uint16_t last) {
    const auto wait = s.timeout().to_clock();
    std::deque<Pending> pending;  // in send order, so also in order of expiry
    // Per id: asked, and found. A reply that comes after its request's
    // window still counts while the scan goes on: a motor that was slow to
    // answer (a loaded host) is there all the same.
    std::vector<bool> asked(std::size_t{last} - first + 1), found_ids(asked.size());
    std::vector<FoundMotor> found;
    std::uint32_t next = first;
    auto failed = [&](const transport::TransportError& e, std::uint16_t id) {
        return std::unexpected(failure_of(damiao::Error(e), id, "a scan's read of MST_ID", s.timeout()));
    };

    while (next <= last || !pending.empty()) {
        while (pending.size() < kScanWindow && next <= last) {
            const auto id = static_cast<std::uint16_t>(next++);
            const CanFrame request =
                registers::request_frame(registers::read_request(id, registers::MST_ID), s.format);
            if (auto sent = s.bus.send_within(request, s.timeout()); !sent) return failed(sent.error(), id);
            asked[id - first] = true;
            pending.push_back({id, Clock::now() + wait});
        }
        // A reply to one of ours: the motor it names and its master id.
        auto answer = [&](const CanFrame& f) -> std::optional<FoundMotor> {
            // Bytes 0-1 name the motor that would be answering; the core's rule decides.
            const auto request = registers::parse_request(f.data());
            if (!request || request->motor_id < first || request->motor_id > last) return {};
            const std::size_t at = request->motor_id - first;
            if (!asked[at] || found_ids[at]) return {};  // not asked, or a second motor on that id
            const auto master = registers::read_reply_value(f, registers::ReplyRule::AddressedMotor,
                                                            request->motor_id, registers::MST_ID, kNamedByValue);
            if (!master) return {};
            return FoundMotor{request->motor_id, static_cast<std::uint16_t>(*master)};
        };
        auto got = s.bus.receive_until(pending.front().expires,
                                       [&](const CanFrame& f) { return answer(f).has_value(); });
        if (got) {
            const FoundMotor motor = *answer(*got);
            found_ids[motor.id - first] = true;
            found.push_back(motor);
            std::erase_if(pending, [&](const Pending& p) { return p.id == motor.id; });
            continue;
        }
        if (got.error().kind != transport::TransportError::Kind::Timeout)
            return failed(got.error(), pending.front().id);
        const auto now = Clock::now();
        while (!pending.empty() && pending.front().expires <= now) pending.pop_front();
    }
    std::ranges::sort(found, {}, &FoundMotor::id);
    return found;
}

ToolResult<std::vector<ScannedMotor>> scan(const Session& s, std::uint16_t first, std::uint16_t last) {
    auto found = find_motors(s, first, last);
    if (!found) return std::unexpected(std::move(found.error()));
    std::vector<ScannedMotor> out;
    for (const auto& f : *found) {
        const auto motor = s.motor(f.id, f.master_id);
        auto mode = optional_read<std::uint32_t>(s, motor, registers::CTRL_MODE);
        if (!mode) return std::unexpected(std::move(mode.error()));
        auto pmax = optional_read<float>(s, motor, registers::PMAX);
        if (!pmax) return std::unexpected(std::move(pmax.error()));
        auto vmax = optional_read<float>(s, motor, registers::VMAX);
        if (!vmax) return std::unexpected(std::move(vmax.error()));
        auto tmax = optional_read<float>(s, motor, registers::TMAX);
        if (!tmax) return std::unexpected(std::move(tmax.error()));
        auto sw = optional_read<std::uint32_t>(s, motor, registers::sw_ver);
        if (!sw) return std::unexpected(std::move(sw.error()));
        out.push_back(ScannedMotor{f, *mode, *pmax, *vmax, *tmax, *sw});
    }
    return out;
}

std::vector<std::string_view> matching_models(float pmax, float vmax, float tmax) {
    std::vector<std::string_view> names;
    for (const auto& p : damiao::presets::kAll)
        if (p.limits.p_max == pmax && p.limits.v_max == vmax && p.limits.t_max == tmax)
            names.push_back(p.name);
    return names;
}

Value mode_value(std::uint32_t mode) {
    if (const auto name = damiao::modes::name_of(mode)) return Value(std::string(*name));
    return Value(mode);
}

Value scan_entry(const ScannedMotor& m) {
    Items models;
    if (m.pmax && m.vmax && m.tmax)
        for (const auto name : matching_models(*m.pmax, *m.vmax, *m.tmax))
            models.emplace_back(std::string(name));
    auto opt = [](const auto& o) { return o ? Value(*o) : Value(); };
    return Members{
        {"id", Value(CanIdNumber{m.found.id})},
        {"master_id", Value(CanIdNumber{m.found.master_id})},
        {"mode", m.mode ? mode_value(*m.mode) : Value()},
        {"pmax", opt(m.pmax)},
        {"vmax", opt(m.vmax)},
        {"tmax", opt(m.tmax)},
        {"models", Value(std::move(models))},
        {"sw_ver", opt(m.sw_ver)},
    };
}

}  // namespace velkarin::tool
