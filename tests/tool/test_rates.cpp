// A motor's can_br against what the kernel says of its CAN interface: the
// mismatches doctor names, and none where the kernel reports no rates.
#include <gtest/gtest.h>

#include "tool/interface.hpp"

namespace velkarin::tool {
namespace {

InterfaceFacts can_at(std::uint32_t bitrate, bool fd = false, std::uint32_t data = 0) {
    InterfaceFacts f;
    f.bitrate = bitrate;
    f.fd = fd;
    if (data != 0) f.data_bitrate = data;
    return f;
}

struct RateCase {
    const char* name;
    InterfaceFacts interface;
    std::uint32_t can_br;
    const char* mismatch;  // nullptr: none
};

class TheInterfaceRates : public ::testing::TestWithParam<RateCase> {};

TEST_P(TheInterfaceRates, AgainstTheMotorsCode) {
    const auto why = rate_mismatch(GetParam().interface, GetParam().can_br);
    if (GetParam().mismatch == nullptr) {
        EXPECT_FALSE(why.has_value()) << *why;
    } else {
        ASSERT_TRUE(why.has_value());
        EXPECT_EQ(*why, GetParam().mismatch);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, TheInterfaceRates,
    ::testing::Values(
        RateCase{"vcan_reports_no_rates", InterfaceFacts{}, 9, nullptr},
        RateCase{"classic_match", can_at(1'000'000), 4, nullptr},
        RateCase{"classic_code_on_an_fd_interface", can_at(1'000'000, true, 5'000'000), 4, nullptr},
        RateCase{"fd_match", can_at(1'000'000, true, 5'000'000), 9, nullptr},
        RateCase{"nominal_differs", can_at(500'000), 4,
                 "the motor's can_br 4 means 1000000 bit/s, the interface runs at 500000"},
        RateCase{"fd_code_on_a_classic_interface", can_at(1'000'000), 9,
                 "the motor's can_br 9 is CAN FD with a 5000000 bit/s data phase, the interface is "
                 "not in FD mode"},
        RateCase{"data_phase_differs", can_at(1'000'000, true, 2'000'000), 9,
                 "the motor's can_br 9 sends data phases at 5000000 bit/s, the interface at 2000000"},
        RateCase{"undocumented_code", can_at(1'000'000), 12,
                 "the motor's can_br 12 is not a documented code"}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velkarin::tool
