// One CAN frame as it crosses the bus interface: a standard or extended
// identifier, up to 8 (classic) or 64 (CAN FD) payload bytes, and the FD flags.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace velkarin::transport {

// An arbitration identifier. The value field is wider than the identifier's
// range on purpose: `send` rejects an out-of-range value instead of masking it.
struct CanId {
    enum class Kind : std::uint8_t { Standard, Extended };

    Kind kind = Kind::Standard;
    std::uint32_t value = 0;

    static constexpr std::uint32_t kStandardMax = 0x7FF;
    static constexpr std::uint32_t kExtendedMax = 0x1FFF'FFFF;

    static constexpr CanId standard(std::uint16_t v) { return {Kind::Standard, v}; }
    // The standard identifier made of the low 11 bits of `v`: how a protocol
    // that counts ids in 16 bits (or adds offsets to them) puts one on the wire.
    static constexpr CanId standard_low_bits(std::uint32_t v) { return {Kind::Standard, v & kStandardMax}; }
    static constexpr CanId extended(std::uint32_t v) { return {Kind::Extended, v}; }

    constexpr bool in_range() const {
        return value <= (kind == Kind::Standard ? kStandardMax : kExtendedMax);
    }
    // Standard 0x11 and Extended 0x11 are different identifiers.
    friend constexpr bool operator==(const CanId&, const CanId&) = default;
};

// The payload is held inline (64 bytes is the largest CAN FD payload), so a
// frame owns its bytes without a heap allocation per received frame.
class CanFrame {
public:
    static constexpr std::size_t kClassicMax = 8;
    static constexpr std::size_t kFdMax = 64;

    CanId id;
    bool fd = false;
    bool brs = false;  // bit-rate switch; meaningful only for FD frames
    // When the host received it, in ns of CLOCK_REALTIME (the kernel stamps
    // no other clock), where the backend was asked to stamp frames; else 0.
    std::int64_t received_ns = 0;

    CanFrame() = default;
    // A payload longer than 64 bytes cannot be represented; `len` keeps the
    // requested length so that `send` can reject it with the true size.
    CanFrame(CanId id_, std::span<const std::uint8_t> bytes, bool fd_ = false, bool brs_ = false)
        : id(id_), fd(fd_), brs(brs_), len_(bytes.size()) {
        std::copy_n(bytes.begin(), std::min(bytes.size(), kFdMax), data_.begin());
    }

    // Number of payload bytes the frame claims. Above 64 only for a frame
    // built from an oversized buffer, which `send` refuses.
    std::size_t size() const { return len_; }
    std::span<const std::uint8_t> data() const { return {data_.data(), std::min(len_, kFdMax)}; }
    std::span<std::uint8_t> mutable_data() { return {data_.data(), std::min(len_, kFdMax)}; }
    void resize(std::size_t n) { len_ = n; }

private:
    std::array<std::uint8_t, kFdMax> data_{};
    std::size_t len_ = 0;
};

}  // namespace velkarin::transport
