// Fuzz target: a raw read from a CAN_RAW socket (any length, any bytes)
// turned into a CanFrame. Input: the bytes the kernel handed over.
#include <algorithm>
#include <cstdint>
#include <span>

#include "fuzz_check.hpp"
#include "transport/kernel_frame.hpp"

namespace t = velkarin::transport;

namespace {

constexpr std::uint32_t kEff = 0x80000000u;  // CAN_EFF_FLAG
constexpr std::uint8_t kBrs = 0x01;          // CANFD_BRS

std::uint32_t le32(std::span<const std::uint8_t> b) {
    return b[0] | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> raw(data, size);
    velkarin::fuzz::g_input = raw;

    const auto frame = t::from_kernel_bytes(raw);
    if (raw.size() != t::kClassicMtu && raw.size() != t::kFdMtu) {
        // Not a frame: a Backend failure without an error number.
        FUZZ_CHECK(!frame.has_value());
        FUZZ_CHECK(frame.error().kind == t::TransportError::Kind::Backend);
        FUZZ_CHECK(frame.error().io.code == 0 && frame.error().io.description != nullptr);
        return 0;
    }
    FUZZ_CHECK(frame.has_value());
    const bool fd = raw.size() == t::kFdMtu;

    // The identifier: EFF picks the kind, the RTR and ERR bits never survive.
    const std::uint32_t can_id = le32(raw);
    FUZZ_CHECK(frame->id.in_range());
    if (can_id & kEff) {
        FUZZ_CHECK(frame->id == t::CanId::extended(can_id & 0x1FFFFFFFu));
    } else {
        FUZZ_CHECK(frame->id == t::CanId::standard(static_cast<std::uint16_t>(can_id & 0x7FFu)));
    }

    // The payload: the first can_dlc / len bytes of the data field, clamped to
    // the layout's size, never more.
    const std::size_t len = std::min<std::size_t>(raw[4], fd ? 64 : 8);
    FUZZ_CHECK(frame->size() == len);
    FUZZ_CHECK(std::ranges::equal(frame->data(), raw.subspan(8, len)));
    FUZZ_CHECK(frame->fd == fd);
    FUZZ_CHECK(frame->brs == (fd && (raw[5] & kBrs) != 0));

    // What was received can be sent again, and reads back as itself apart
    // from an FD payload padded to the next valid length.
    const auto out = t::to_kernel_bytes(*frame);
    FUZZ_CHECK(out.has_value());
    FUZZ_CHECK(out->size == raw.size());
    const auto again = t::from_kernel_bytes(out->view());
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->id == frame->id && again->fd == frame->fd && again->brs == frame->brs);
    FUZZ_CHECK(again->size() >= len && (fd || again->size() == len));
    FUZZ_CHECK(std::ranges::equal(again->data().first(len), frame->data()));
    FUZZ_CHECK(std::ranges::all_of(again->data().subspan(len), [](std::uint8_t b) { return b == 0; }));
    return 0;
}
