// Fuzz target: a CanFrame laid out as the kernel buffer that send writes.
// Input: flags (bit 0 fd, bit 1 brs, bit 2 extended), 4 bytes identifier
// value, 1 byte payload length (up to 255), then the payload bytes.
#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "fuzz_check.hpp"
#include "transport/kernel_frame.hpp"

namespace t = velkarin::transport;

namespace {

constexpr std::uint32_t kEff = 0x80000000u;  // CAN_EFF_FLAG
constexpr std::uint8_t kBrs = 0x01;          // CANFD_BRS
constexpr std::uint8_t kFdf = 0x04;          // CANFD_FDF

// The lengths a CAN FD DLC can express, in order.
constexpr std::array<std::size_t, 16> kFdDlcLengths{0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

std::uint32_t le32(std::span<const std::uint8_t> b) {
    return b[0] | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 | std::uint32_t{b[3]} << 24;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> input(data, size);
    velkarin::fuzz::g_input = input;
    if (input.size() < 6) return -1;

    const bool fd = (input[0] & 1) != 0;
    const bool brs = (input[0] & 2) != 0;
    const bool extended = (input[0] & 4) != 0;
    const std::uint32_t value = le32(input.subspan(1));
    const std::size_t n = input[5];
    // The payload is the rest of the input, zero-extended to the stated length.
    std::array<std::uint8_t, 255> payload{};
    const auto given = input.subspan(6, std::min(n, input.size() - 6));
    std::ranges::copy(given, payload.begin());

    const t::CanId id{extended ? t::CanId::Kind::Extended : t::CanId::Kind::Standard, value};
    const t::CanFrame frame(id, std::span(payload).first(n), fd, brs);
    const auto out = t::to_kernel_bytes(frame);

    // An identifier out of range is refused before the length is looked at.
    if (value > (extended ? 0x1FFFFFFFu : 0x7FFu)) {
        FUZZ_CHECK(!out.has_value() && out.error().kind == t::TransportError::Kind::InvalidId);
        return 0;
    }
    if (n > (fd ? 64u : 8u)) {
        FUZZ_CHECK(!out.has_value());
        FUZZ_CHECK(out.error().kind == t::TransportError::Kind::FrameTooLarge && out.error().size == n);
        return 0;
    }
    FUZZ_CHECK(out.has_value());
    const auto bytes = out->view();
    FUZZ_CHECK(bytes.size() == (fd ? t::kFdMtu : t::kClassicMtu));

    // can_id: the value, plus EFF for an extended identifier; RTR and ERR clear.
    FUZZ_CHECK(le32(bytes) == (extended ? value | kEff : value));
    // len / can_dlc: an FD payload padded to the next length a DLC expresses.
    const std::size_t wire =
        fd ? *std::ranges::find_if(kFdDlcLengths, [&](std::size_t l) { return l >= n; }) : n;
    FUZZ_CHECK(bytes[4] == wire);
    FUZZ_CHECK(bytes[5] == (fd ? (kFdf | (brs ? kBrs : 0)) : 0));
    FUZZ_CHECK(bytes[6] == 0 && bytes[7] == 0);
    // The payload, then zeros to the end of the layout.
    FUZZ_CHECK(std::ranges::equal(bytes.subspan(8, n), std::span(payload).first(n)));
    FUZZ_CHECK(std::ranges::all_of(bytes.subspan(8 + n), [](std::uint8_t b) { return b == 0; }));
    // Nothing beyond the layout is claimed.
    FUZZ_CHECK(std::ranges::all_of(std::span(out->bytes).subspan(bytes.size()),
                                   [](std::uint8_t b) { return b == 0; }));

    // The buffer reads back as the frame (brs only on FD; padding as zeros).
    const auto back = t::from_kernel_bytes(bytes);
    FUZZ_CHECK(back.has_value());
    FUZZ_CHECK(back->id == id && back->fd == fd && back->brs == (fd && brs));
    FUZZ_CHECK(back->size() == wire);
    FUZZ_CHECK(std::ranges::equal(back->data().first(n), frame.data()));
    return 0;
}
