// Frame lengths on the wire, golden values: classic frames as can-utils' canbusload -e
// counts them on a bus (bench/tests/test_on_bus.py checks again on vcan0); CAN FD frames,
// which it does not count, by hand, where the payload makes the stuff bits plain to see.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "transport/frame_bits.hpp"

namespace velkarin::transport {
namespace {

using namespace std::chrono_literals;

std::vector<std::uint8_t> hex(const std::string& s) {
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < s.size(); i += 2)
        out.push_back(static_cast<std::uint8_t>(std::stoul(s.substr(i, 2), nullptr, 16)));
    return out;
}

struct Golden {
    const char* what;
    CanId id;
    std::string data;  // hex
    bool fd, brs;
    FrameBits bits;
};

class GoldenBits : public ::testing::TestWithParam<Golden> {};

TEST_P(GoldenBits, CountEveryFieldAndStuffBit) {
    const auto& g = GetParam();
    const auto bits = frame_bits(CanFrame(g.id, hex(g.data), g.fd, g.brs));
    ASSERT_TRUE(bits) << g.what;
    EXPECT_EQ(*bits, g.bits) << g.what << ": nominal " << bits->nominal << ", data " << bits->data;
}

constexpr CanId std_id(std::uint16_t v) { return CanId::standard(v); }
constexpr CanId ext_id(std::uint32_t v) { return CanId::extended(v); }
const std::string k55x16 = std::string(32, '5');

INSTANTIATE_TEST_SUITE_P(
    Frames, GoldenBits,
    ::testing::Values(
        // Classic: 34 + 8n stuffed bits (SOF..CRC; 54 + 8n extended), their stuff bits, 13 after.
        //     what                          id              data                 fd     brs    {nominal, data}
        Golden{"MIT command",                std_id(0x001),  "7fff7ff0000007ff",  false, false, {126, 0}},
        Golden{"MIT feedback",               std_id(0x011),  "117fff7ff7ff1e28",  false, false, {120, 0}},
        Golden{"zeros: a stuff bit per 4",   std_id(0x000),  "0000000000000000",  false, false, {127, 0}},
        Golden{"alternating",                std_id(0x555),  "5555555555555555",  false, false, {112, 0}},
        Golden{"no data",                    std_id(0x000),  "",                  false, false, {53, 0}},
        Golden{"four bytes",                 std_id(0x123),  "deadbeef",          false, false, {81, 0}},
        Golden{"extended",                   ext_id(0x1ABCDEF), "0102030405060708", false, false, {141, 0}},
        Golden{"extended zeros",             ext_id(0x0),    "0000000000000000",  false, false, {150, 0}},
        // FD with bit-rate switch. Nominal: SOF..BRS (17 bits, 31 extended) and their stuff
        // bits, then 13. Data: ESI 1 + DLC 4 + 8n + stuff bits, then stuff count 4 + CRC and
        // fixed stuff bits: 4 + 17 + 6 = 27 up to 16 bytes, 4 + 21 + 7 = 32 above.
        //   id 0x555, 0x55 bytes: no run of five anywhere: 17 + 13 = 30 | 1 + 4 + 64 + 27 = 96
        Golden{"FD alternating",             std_id(0x555),  k55x16.substr(0, 16), true, true,  {30, 96}},
        //   the same, last byte 0x60 = 0110 0000: a run of five ends the data; its stuff bit
        //   goes out before the first fixed stuff bit: 96 + 1
        Golden{"FD, run of five at the end", std_id(0x555),  k55x16.substr(0, 14) + "60", true, true, {30, 97}},
        //   SOF + ten zero id bits: 2 stuff bits before BRS: 17 + 2 + 13 = 32 | DLC 1000 and
        //   64 zeros make 67 zeros in a row: 13 stuff bits: 1 + 4 + 64 + 13 + 27 = 109
        Golden{"FD zeros",                   std_id(0x001),  "0000000000000000",  true,  true,  {32, 109}},
        //   16 bytes (DLC 1010): CRC-17: 1 + 4 + 128 + 27 = 160
        Golden{"FD 16 bytes: CRC-17",        std_id(0x555),  k55x16,              true,  true,  {30, 160}},
        //   17 bytes go out as 20 (DLC 1011), padded with 24 zero bits: 4 stuff bits; CRC-21:
        //   1 + 4 + 160 + 4 + 32 = 201
        Golden{"FD 17 bytes: 20 on the wire, CRC-21", std_id(0x555), k55x16 + "55", true, true, {30, 201}},
        //   id 0x7FF: 11 ones, 2 stuff bits: 32 | DLC 1111 and 512 ones: 516 ones, 103 stuff
        //   bits: 1 + 4 + 512 + 103 + 32 = 652
        Golden{"FD 64 bytes of ones",        std_id(0x7FF),  std::string(128, 'f'), true, true, {32, 652}},
        Golden{"FD MIT command",             std_id(0x001),  "7fff7ff0000007ff",  true,  true,  {32, 108}},
        Golden{"FD MIT feedback",            std_id(0x011),  "117fff7ff7ff1e28",  true,  true,  {31, 104}},
        Golden{"FD extended",                ext_id(0x1ABCDEF), "0102030405060708", true, true, {51, 104}},
        // FD without bit-rate switch: the same bits, all at the nominal rate.
        Golden{"FD zeros, no switch",        std_id(0x001),  "0000000000000000",  true,  false, {141, 0}},
        Golden{"FD 64 bytes, no switch",     std_id(0x7FF),  std::string(128, 'f'), true, false, {684, 0}}));

// Each phase at its rate, rounded up to the nanosecond; no data rate: all at the nominal rate.
TEST(WireTime, IsEachPhaseAtItsRateRoundedUp) {
    EXPECT_EQ(wire_time({126, 0}, {125'000, 0}), 1008us);
    EXPECT_EQ(wire_time({32, 109}, {1'000'000, 5'000'000}), 32us + 21800ns);
    EXPECT_EQ(wire_time({32, 109}, {1'000'000, 3'200'000}), 32us + 34063ns);  // 34062.5 ns
    EXPECT_EQ(wire_time({32, 109}, {1'000'000, 0}), 141us);
}

TEST(Arbitration, LowerIdentifierWinsAndStandardBeatsExtendedOnTheSameBase) {
    EXPECT_LT(arbitration_key(std_id(0x011)), arbitration_key(std_id(0x7FF)));
    // base 0x100: standard, then extended with the lower remaining bits first
    EXPECT_LT(arbitration_key(std_id(0x100)), arbitration_key(ext_id(0x100u << 18)));
    EXPECT_LT(arbitration_key(ext_id(0x100u << 18)), arbitration_key(ext_id(0x100u << 18 | 1)));
    // the base identifier decides first
    EXPECT_LT(arbitration_key(ext_id(0x0FFu << 18 | 0x3FFFF)), arbitration_key(std_id(0x100)));
}

}  // namespace
}  // namespace velkarin::transport
