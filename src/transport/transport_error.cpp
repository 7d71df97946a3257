// Texts of bus errors: the fixed wording of each TransportError kind and the
// system's own description of an errno.
#include "transport/transport_error.hpp"

#include <string.h>

#include <array>

namespace velkarin::transport {
namespace {

// strerror_r comes in two flavours. GNU (what glibc gives C++ code, since g++
// defines _GNU_SOURCE) returns the text, which may or may not be the buffer;
// XSI returns an int and always fills the buffer. Overloading on the return
// type picks the right reading for whichever one the headers declare.
[[maybe_unused]] const char* strerror_text(const char* gnu_result, const char*) { return gnu_result; }
[[maybe_unused]] const char* strerror_text(int xsi_result, const char* buf) {
    return xsi_result == 0 ? buf : "Unknown error";
}

}  // namespace

std::string IoError::text() const {
    if (code == 0) return description != nullptr ? description : "";
    std::array<char, 256> buf{};
    std::string out = strerror_text(::strerror_r(code, buf.data(), buf.size()), buf.data());
    out += " (os error ";
    out += std::to_string(code);
    out += ')';
    return out;
}

std::string TransportError::text() const {
    switch (kind) {
        case Kind::Backend:
            return "backend error: " + io.text();
        case Kind::Timeout:
            return "timeout waiting for frame";
        case Kind::FrameTooLarge:
            return "frame too large for selected mode: " + std::to_string(size) + " bytes";
        case Kind::InvalidId:
            return "invalid CAN id";
    }
    return "unknown transport error";
}

}  // namespace velkarin::transport
