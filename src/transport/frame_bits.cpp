// Frame lengths on the wire, field by field (ISO 11898-1:2015), for data
// frames as their transmitter sends them.
//
// Classic frame, base format (CBFF); the extended format (CEFF) has
// SRR 1, IDE 1 and 18 more identifier bits after the base identifier,
// then RTR 0, r1 0, r0 0:
//
//   field                 bits  value        rate     stuffing
//   SOF                      1  0            nominal  dynamic
//   identifier              11  the id       nominal  dynamic
//   RTR                      1  0 (data)     nominal  dynamic
//   IDE                      1  0 (base)     nominal  dynamic
//   r0                       1  0            nominal  dynamic
//   DLC                      4  the length   nominal  dynamic
//   data                    8n               nominal  dynamic
//   CRC                     15  CRC-15       nominal  dynamic
//   CRC delimiter            1  1            nominal  none
//   ACK slot, delimiter      2               nominal  none
//   EOF                      7  1            nominal  none
//   intermission             3  1            nominal  none
//
// CAN FD frame, base format (FBFF); the extended format (FEFF) has SRR 1,
// IDE 1 and 18 more identifier bits after the base identifier:
//
//   field                 bits  value        rate     stuffing
//   SOF                      1  0            nominal  dynamic
//   identifier              11  the id       nominal  dynamic
//   RRS                      1  0            nominal  dynamic
//   IDE                      1  0 (base)     nominal  dynamic
//   FDF                      1  1 (FD)       nominal  dynamic
//   res                      1  0            nominal  dynamic
//   BRS                      1  1: switch    nominal  dynamic
//   ESI                      1  0 (active)   data     dynamic
//   DLC                      4  length code  data     dynamic
//   data                    8n  zero-padded  data     dynamic
//   stuff count              4  Gray + par.  data     fixed
//   CRC                  17/21  CRC-17 up to 16 bytes, CRC-21 above
//                                            data     fixed
//   CRC delimiter            1  1            nominal  none
//   ACK slot, delimiter      2               nominal  none
//   EOF                      7  1            nominal  none
//   intermission             3  1            nominal  none
//
// "data" rate applies only with BRS = 1. The rate switches at the sample
// points of BRS and of the CRC delimiter; both bits are counted whole at the
// nominal rate, the convention of bus-load figures.
//
// Dynamic stuffing: after five equal bits the transmitter inserts one of the
// opposite value, which itself starts the next run. A classic frame is
// stuffed up to the last bit of its CRC, so its length depends on the CRC's
// value, which is computed here. An FD frame is stuffed dynamically up to the
// last data bit (a run of five ending there is followed by its stuff bit);
// its stuff count and CRC carry fixed stuff bits instead, one before the
// stuff count and one after every fourth bit, whatever the bits are: 6 with
// CRC-17 (21 bits), 7 with CRC-21 (25 bits). So the FD length does not depend
// on the CRC's value, and it is not computed.
#include "transport/frame_bits.hpp"

#include <array>
#include <cstddef>

namespace velkarin::transport {
namespace {

// The 13 bits after the CRC that are never stuffed: CRC delimiter, ACK slot
// and delimiter, EOF, intermission.
constexpr std::uint32_t kTailBits = 1 + 2 + 7 + 3;
constexpr std::uint16_t kCrc15Polynomial = 0x4599;  // x^15+x^14+x^10+x^8+x^7+x^4+x^3+1
constexpr std::uint32_t kStuffCountBits = 4;

// The unstuffed bits of a frame's dynamically stuffed part, most significant
// bit of every field first, as they go on the wire.
class BitString {
public:
    void put(std::uint32_t value, int width) {
        for (int i = width - 1; i >= 0; --i) bits_[size_++] = static_cast<std::uint8_t>((value >> i) & 1u);
    }
    std::size_t size() const { return size_; }

    // The stuff bits a transmitter inserts into bits [0, size()): those sent
    // before bit `split` (0 when there is no split), and the rest. A stuff
    // bit goes out just before the bit that follows the run it ends.
    struct Stuffed {
        std::uint32_t before = 0;
        std::uint32_t after = 0;
    };
    Stuffed stuff_bits(std::size_t split) const {
        Stuffed out;
        int run = 0;
        std::uint8_t last = 2;  // no bit yet
        for (std::size_t i = 0; i < size_; ++i) {
            run = bits_[i] == last ? run + 1 : 1;
            last = bits_[i];
            if (run == 5) {
                ++(i + 1 < split ? out.before : out.after);
                last ^= 1;  // the stuff bit starts the next run
                run = 1;
            }
        }
        return out;
    }

    std::uint16_t crc15() const {
        std::uint16_t crc = 0;
        for (std::size_t i = 0; i < size_; ++i) {
            const bool feedback = (bits_[i] ^ (crc >> 14)) & 1u;
            crc = static_cast<std::uint16_t>((crc << 1) & 0x7FFF);
            if (feedback) crc ^= kCrc15Polynomial;
        }
        return crc;
    }

private:
    // The longest part: an extended FD frame's 41 header bits and 512 data bits.
    std::array<std::uint8_t, 41 + 8 * CanFrame::kFdMax> bits_{};
    std::size_t size_ = 0;
};

// The payload lengths an FD DLC can express, indexed by the DLC.
constexpr std::array<std::uint8_t, 16> kFdLengths{0, 1, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 48, 64};

// The DLC of the shortest FD payload that holds n bytes (n <= 64).
constexpr std::uint32_t fd_dlc(std::size_t n) {
    std::uint32_t dlc = 0;
    while (kFdLengths[dlc] < n) ++dlc;
    return dlc;
}

// SOF and the identifier's fields up to, not including, RTR/RRS.
void put_identifier(BitString& b, const CanId& id) {
    b.put(0, 1);  // SOF
    if (id.kind == CanId::Kind::Standard) {
        b.put(id.value, 11);
        return;
    }
    b.put(id.value >> 18, 11);  // base identifier
    b.put(1, 1);                // SRR
    b.put(1, 1);                // IDE
    b.put(id.value & 0x3FFFF, 18);
}

void put_payload(BitString& b, const CanFrame& frame, std::size_t wire_length) {
    const auto data = frame.data();
    for (std::size_t i = 0; i < wire_length; ++i) b.put(i < data.size() ? data[i] : 0u, 8);
}

FrameBits classic_bits(const CanFrame& frame) {
    BitString b;
    put_identifier(b, frame.id);
    b.put(0, 1);  // RTR: a data frame
    if (frame.id.kind == CanId::Kind::Standard) {
        b.put(0, 1);  // IDE
    } else {
        b.put(0, 1);  // r1
    }
    b.put(0, 1);  // r0
    b.put(static_cast<std::uint32_t>(frame.size()), 4);
    put_payload(b, frame, frame.size());
    b.put(b.crc15(), 15);
    const auto stuffed = b.stuff_bits(0);
    return {static_cast<std::uint32_t>(b.size()) + stuffed.after + kTailBits, 0};
}

FrameBits fd_bits(const CanFrame& frame) {
    BitString b;
    put_identifier(b, frame.id);
    b.put(0, 1);  // RRS
    if (frame.id.kind == CanId::Kind::Standard) b.put(0, 1);  // IDE
    b.put(1, 1);  // FDF
    b.put(0, 1);  // res
    b.put(frame.brs ? 1u : 0u, 1);  // BRS
    const std::size_t switched = b.size();  // the data phase starts after BRS
    b.put(0, 1);  // ESI: error active
    const std::uint32_t dlc = fd_dlc(frame.size());
    b.put(dlc, 4);
    put_payload(b, frame, kFdLengths[dlc]);

    const std::uint32_t crc_bits = kFdLengths[dlc] <= 16 ? 17 : 21;
    const std::uint32_t fixed_field = kStuffCountBits + crc_bits;
    const std::uint32_t fixed_stuff = 1 + (fixed_field - 1) / 4;

    const auto stuffed = b.stuff_bits(switched);
    const std::uint32_t arbitration = static_cast<std::uint32_t>(switched) + stuffed.before;
    const std::uint32_t data_phase = static_cast<std::uint32_t>(b.size() - switched) +
                                     stuffed.after + fixed_field + fixed_stuff;
    if (frame.brs) return {arbitration + kTailBits, data_phase};
    return {arbitration + data_phase + kTailBits, 0};
}

std::chrono::nanoseconds bits_at(std::uint32_t bits, std::uint32_t rate) {
    const std::uint64_t scaled = std::uint64_t{bits} * 1'000'000'000u;
    return std::chrono::nanoseconds((scaled + rate - 1) / rate);
}

}  // namespace

std::optional<FrameBits> frame_bits(const CanFrame& frame) {
    if (!frame.id.in_range()) return std::nullopt;
    if (frame.size() > (frame.fd ? CanFrame::kFdMax : CanFrame::kClassicMax)) return std::nullopt;
    return frame.fd ? fd_bits(frame) : classic_bits(frame);
}

std::chrono::nanoseconds wire_time(const FrameBits& bits, const BusRates& rates) {
    const std::uint32_t data_rate = rates.data != 0 ? rates.data : rates.nominal;
    return bits_at(bits.nominal, rates.nominal) + bits_at(bits.data, data_rate);
}

}  // namespace velkarin::transport
