// The windowed register scan and the details read for each motor found.
#include "tool/scan.hpp"

#include <algorithm>
#include <deque>

#include "damiao/modes/control_setpoint.hpp"
#include "damiao/presets.hpp"

namespace velkarin::tool {
namespace {

namespace registers = damiao::registers;
using transport::CanFrame;
using transport::CanId;
using transport::Clock;

struct Pending {
    std::uint16_t id;
    Clock::time_point expires;
};

template <typename T>
LinkResult<std::optional<T>> optional_read(Link& link, std::uint16_t id, registers::Number n) {
    auto r = link.read(id, *registers::find(n));
    if (!r) {
        if (r.error().kind == LinkError::Kind::NoAnswer) return std::optional<T>{};
        return std::unexpected(r.error());
    }
    if (const auto* v = std::get_if<T>(&r->value)) return std::optional<T>{*v};
    return std::optional<T>{};
}

}  // namespace

LinkResult<std::vector<FoundMotor>> find_motors(Link& link, std::uint16_t first, std::uint16_t last) {
    const auto& mst_id = *registers::find(registers::MST_ID);
    const auto wait = link.timeout().to_clock();
    std::deque<Pending> pending;  // in send order, so also in order of expiry
    std::vector<FoundMotor> found;
    std::uint32_t next = first;

    while (next <= last || !pending.empty()) {
        while (pending.size() < kScanWindow && next <= last) {
            const auto id = static_cast<std::uint16_t>(next++);
            const CanFrame request(CanId::standard(registers::kRequestId),
                                   registers::read_request(id, mst_id.number));
            if (auto sent = link.send(request); !sent) return std::unexpected(sent.error());
            pending.push_back({id, Clock::now() + wait});
        }
        auto got = link.bus().receive_until(pending.front().expires, [&](const CanFrame& f) {
            if (f.id == CanId::standard(registers::kRequestId) || f.size() != 8) return false;
            const auto r = registers::parse_request(f.data());
            if (!r || r->op != registers::kRead || r->reg != mst_id.number) return false;
            const auto it = std::ranges::find(pending, r->motor_id, &Pending::id);
            if (it == pending.end()) return false;  // late, or a second motor on that id
            found.push_back({it->id, static_cast<std::uint16_t>(r->value)});
            pending.erase(it);
            return true;
        });
        if (got) continue;
        if (got.error().kind != transport::TransportError::Kind::Timeout)
            return std::unexpected(link.failure(got.error(), pending.front().id, "a scan"));
        const auto now = Clock::now();
        while (!pending.empty() && pending.front().expires <= now) pending.pop_front();
    }
    std::ranges::sort(found, {}, &FoundMotor::id);
    return found;
}

LinkResult<std::vector<ScannedMotor>> scan(Link& link, std::uint16_t first, std::uint16_t last) {
    auto found = find_motors(link, first, last);
    if (!found) return std::unexpected(found.error());
    std::vector<ScannedMotor> out;
    for (const auto& f : *found) {
        ScannedMotor m{f, {}, {}, {}, {}, {}};
        auto mode = optional_read<std::uint32_t>(link, f.id, registers::CTRL_MODE);
        auto pmax = optional_read<float>(link, f.id, registers::PMAX);
        auto vmax = optional_read<float>(link, f.id, registers::VMAX);
        auto tmax = optional_read<float>(link, f.id, registers::TMAX);
        auto sw = optional_read<std::uint32_t>(link, f.id, registers::sw_ver);
        for (const auto* r : {&mode, &sw})
            if (!*r) return std::unexpected(r->error());
        for (const auto* r : {&pmax, &vmax, &tmax})
            if (!*r) return std::unexpected(r->error());
        m.mode = *mode;
        m.pmax = *pmax;
        m.vmax = *vmax;
        m.tmax = *tmax;
        m.sw_ver = *sw;
        out.push_back(m);
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
        {"id", Value(std::uint32_t{m.found.id})},
        {"master_id", Value(std::uint32_t{m.found.master_id})},
        {"mode", m.mode ? mode_value(*m.mode) : Value()},
        {"pmax", opt(m.pmax)},
        {"vmax", opt(m.vmax)},
        {"tmax", opt(m.tmax)},
        {"models", Value(std::move(models))},
        {"sw_ver", opt(m.sw_ver)},
    };
}

}  // namespace velkarin::tool
