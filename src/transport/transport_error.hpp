// The error value of every bus operation, and the operating-system I/O error
// that its Backend kind carries.
#pragma once

#include <cstddef>
#include <string>

namespace velkarin::transport {

// An operating-system I/O error: an errno value, or (code 0) a fixed
// description for failures that have no error number.
struct IoError {
    int code = 0;
    const char* description = nullptr;  // static text; used only when code == 0

    static IoError from_errno(int e) { return {e, nullptr}; }
    static IoError custom(const char* text) { return {0, text}; }

    // "<strerror_r description> (os error N)", or the description alone.
    std::string text() const;
    friend bool operator==(const IoError&, const IoError&) = default;
};

struct TransportError {
    enum class Kind { Backend, Timeout, FrameTooLarge, InvalidId };

    Kind kind;
    IoError io{};          // Backend only
    std::size_t size = 0;  // FrameTooLarge only: the offending payload length

    static TransportError backend(IoError e) { return {Kind::Backend, e, 0}; }
    static TransportError backend_errno(int e) { return backend(IoError::from_errno(e)); }
    static TransportError timeout() { return {Kind::Timeout, {}, 0}; }
    static TransportError frame_too_large(std::size_t n) { return {Kind::FrameTooLarge, {}, n}; }
    static TransportError invalid_id() { return {Kind::InvalidId, {}, 0}; }

    // A Backend error carrying the operating system's error `code` (EINTR,
    // ENOBUFS, ENETDOWN, ...).
    constexpr bool is_os_error(int code) const { return kind == Kind::Backend && io.code == code; }

    // "backend error: ...", "timeout waiting for frame",
    // "frame too large for selected mode: N bytes", "invalid CAN id".
    std::string text() const;
    friend bool operator==(const TransportError&, const TransportError&) = default;
};

}  // namespace velkarin::transport
