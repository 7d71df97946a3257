// The one-line texts of the driver's error cases.
#include "damiao/error.hpp"

#include <array>
#include <cstdio>
#include <string>

#include "damiao/text/can_id_text.hpp"
#include "damiao/text/float_text.hpp"

namespace velkarin::damiao {
namespace {

std::string num(unsigned long long v) { return std::to_string(v); }

std::string kind(RegisterKind k) { return std::string(name_of(k)); }

// "[1, 2, 51, 10]", or "[]"; every byte is listed.
std::string byte_list(const std::vector<std::uint8_t>& data) {
    std::string out = "[";
    for (std::size_t i = 0; i < data.size(); ++i) {
        if (i != 0) out += ", ";
        out += num(data[i]);
    }
    out += ']';
    return out;
}

std::string text_of(const errors::Transport& e) { return "transport error: " + e.error.text(); }

std::string text_of(const errors::UnknownRegister& e) {
    return "register " + num(e.reg) + " is not in the Damiao register table";
}

std::string text_of(const errors::ReadOnlyRegister& e) {
    return "register " + num(e.reg) + " is read-only";
}

std::string text_of(const errors::RegisterKindMismatch& e) {
    return "register " + num(e.reg) + ": expected " + kind(e.expected) + ", got " + kind(e.got);
}

std::string text_of(const errors::UnexpectedReply& e) {
    return "unexpected reply (data did not match register-reply pattern): " + byte_list(e.data);
}

std::string text_of(const errors::ModeVerifyFailed& e) {
    return "control mode verification failed: wrote " + num(e.written) + ", motor reports " +
           num(e.reported);
}

// "verification failed: wrote 1 to CTRL_MODE, motor 0x001 reports 2"
std::string text_of(const errors::WriteVerifyFailed& e) {
    const auto* info = registers::find(e.reg);
    const std::string name = info != nullptr ? std::string(info->variable) : num(e.reg);
    return "verification failed: wrote " + value_text(e.written) + " to " + name + ", motor " +
           can_id_text(e.motor_id) + " reports " + value_text(e.reported);
}

std::string text_of(const errors::InvalidLimits& e) {
    return "min > max, or either was NaN. min = " + float_text::bound(e.range.min) +
           ", max = " + float_text::bound(e.range.max);
}

std::string text_of(const errors::ShortReply& e) {
    return "reply too short to decode: " + num(e.len) + " bytes, need 8";
}

std::string text_of(const errors::DuplicateMasterId& e) {
    return "motors " + num(e.first) + " and " + num(e.second) +
           " of one cycle answer on master id " + can_id_text(e.id) + " of one bus: their replies "
           "cannot be told apart";
}

std::string text_of(const errors::OutcomeCount& e) {
    return "a cycle of " + num(e.commands) + " commands needs as many outcome slots, got " +
           num(e.outcomes);
}

std::string text_of(const errors::CommandCount& e) {
    return "a group of " + num(e.members) + " motors needs one command per motor, got " +
           num(e.commands);
}

std::string text_of(const errors::GroupTooLarge& e) {
    return "a group takes at most " + num(e.max_buses) + " buses and " + num(e.max_motors) +
           " motors, got " + num(e.buses) + " buses and " + num(e.motors) + " motors";
}

}  // namespace

std::string Error::text() const {
    return std::visit([](const auto& c) { return text_of(c); }, v_);
}

}  // namespace velkarin::damiao
