// The windowed scan: requests go out while the window has room, replies are
// taken as they come, and a request whose time has passed leaves the window.
#include "damiao/motor_scan.hpp"

#include <algorithm>
#include <deque>
#include <optional>

#include "damiao/motor_ids.hpp"
#include "damiao/registers.hpp"

namespace velkarin::damiao {
namespace {

using transport::CanFrame;
using transport::Clock;

struct Pending {
    std::uint16_t id;
    Clock::time_point expires;
};

// Unused for MST_ID, whose reply comes on the identifier its value names.
constexpr transport::CanId kNamedByValue = reply_id_of(0);

}  // namespace

std::expected<std::vector<FoundMotor>, ScanError> find_motors(transport::CanTransport& bus,
                                                              std::uint16_t first, std::uint16_t last,
                                                              transport::Duration timeout,
                                                              FrameFormat format) {
    std::deque<Pending> pending;  // in send order, so also in order of expiry
    // Per id: asked, and found.
    std::vector<bool> asked(std::size_t{last} - first + 1), found_ids(asked.size());
    std::vector<FoundMotor> found;
    std::uint32_t next = first;
    auto failed = [](const transport::TransportError& e, std::uint16_t id) {
        return std::unexpected(ScanError{Error(e), id});
    };
    // A reply to one of ours: the motor it names and its master id.
    auto answer = [&](const CanFrame& f) -> std::optional<FoundMotor> {
        // Bytes 0-1 name the motor that would be answering; the register rule decides.
        const auto request = registers::parse_request(f.data());
        if (!request || request->motor_id < first || request->motor_id > last) return {};
        const std::size_t at = request->motor_id - first;
        if (!asked[at] || found_ids[at]) return {};  // not asked, or a second motor on that id
        const auto master = registers::read_reply_value(f, registers::ReplyRule::AddressedMotor,
                                                        request->motor_id, registers::MST_ID, kNamedByValue);
        if (!master) return {};
        return FoundMotor{request->motor_id, static_cast<std::uint16_t>(*master)};
    };

    while (next <= last || !pending.empty()) {
        while (pending.size() < kScanWindow && next <= last) {
            const auto id = static_cast<std::uint16_t>(next++);
            const CanFrame request = registers::request_frame(registers::read_request(id, registers::MST_ID), format);
            if (auto sent = bus.send_within(request, timeout); !sent) return failed(sent.error(), id);
            asked[id - first] = true;
            pending.push_back({id, transport::later_by(Clock::now(), timeout)});
        }
        auto got = bus.receive_until(pending.front().expires,
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

}  // namespace velkarin::damiao
