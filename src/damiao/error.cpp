// The one-line texts of the driver's error cases.
#include "damiao/error.hpp"

#include <string>

#include "damiao/float_text.hpp"

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

std::string text_of(const errors::InvalidLimits& e) {
    return "min > max, or either was NaN. min = " + float_text::bound(e.range.min) +
           ", max = " + float_text::bound(e.range.max);
}

std::string text_of(const errors::ShortReply& e) {
    return "reply too short to decode: " + num(e.len) + " bytes, need 8";
}

}  // namespace

std::string Error::text() const {
    return std::visit([](const auto& c) { return text_of(c); }, v_);
}

}  // namespace velkarin::damiao
