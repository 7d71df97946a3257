// Tests of the motor model presets: the table itself, its paired models and
// defaults, and how a preset encodes.
#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <string_view>

#include "damiao/mit/codec.hpp"
#include "damiao/presets.hpp"

namespace velkarin::damiao {
namespace {

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

bool same(const MitLimits& a, const MitLimits& b) {
    return bits(a.p_max) == bits(b.p_max) && bits(a.v_max) == bits(b.v_max) &&
           bits(a.kp_max) == bits(b.kp_max) && bits(a.kd_max) == bits(b.kd_max) &&
           bits(a.t_max) == bits(b.t_max);
}

const MitLimits& preset(std::string_view name) {
    const auto* p = presets::find(name);
    EXPECT_NE(p, nullptr) << name;
    static const MitLimits none{-1, -1, -1, -1, -1};
    return p != nullptr ? p->limits : none;
}

struct Row {
    const char* name;
    std::uint32_t p_max_bits;
    float v_max, t_max;
};

// The models in the order the Python class lists them. kp_max 500 and
// kd_max 5 hold for every one; 0x41490E56 is the float nearest 12.566.
constexpr Row kTable[] = {
    {"dm3507", 0x41490E56, 50, 5},       {"dm4310", 0x41480000, 30, 10},
    {"dm4310p", 0x41480000, 50, 10},     {"dm4340", 0x41480000, 10, 28},
    {"dm4340p", 0x41480000, 10, 28},     {"dm6006", 0x41480000, 45, 20},
    {"dm6248p", 0x41490E56, 20, 120},    {"dm8006", 0x41480000, 45, 40},
    {"dm8009", 0x41480000, 45, 54},      {"dm10010", 0x41480000, 20, 200},
    {"dm10010l", 0x41480000, 25, 200},   {"dmg6215", 0x41480000, 45, 10},
    {"dmh3510", 0x41480000, 280, 1},     {"dmh6220", 0x41480000, 45, 10},
    {"dmjh11", 0x41480000, 10, 12},
};

TEST(Presets, ListTheFifteenModelsInOrderWithTheirValues) {
    ASSERT_EQ(presets::kAll.size(), std::size(kTable));
    for (std::size_t i = 0; i < std::size(kTable); ++i) {
        const auto& row = kTable[i];
        const auto& p = presets::kAll[i];
        EXPECT_EQ(p.name, row.name) << i;
        EXPECT_EQ(bits(p.limits.p_max), row.p_max_bits) << row.name;
        EXPECT_EQ(p.limits.v_max, row.v_max) << row.name;
        EXPECT_EQ(p.limits.kp_max, 500.0f) << row.name;
        EXPECT_EQ(p.limits.kd_max, 5.0f) << row.name;
        EXPECT_EQ(p.limits.t_max, row.t_max) << row.name;
        EXPECT_EQ(presets::find(row.name), &p) << row.name;
    }
    EXPECT_EQ(presets::find("dm4311"), nullptr);
    EXPECT_EQ(presets::find("DM4310"), nullptr);
    EXPECT_EQ(presets::find(""), nullptr);
}

TEST(Presets, TheTwelvePointFiveSixSixValueWidensToItsExactDouble) {
    EXPECT_EQ(static_cast<double>(preset("dm3507").p_max), 12.565999984741211);
}

TEST(Presets, PairedModelsAgreeAndDm4310IsTheDefault) {
    EXPECT_TRUE(same(preset("dm4340p"), preset("dm4340")));
    EXPECT_TRUE(same(preset("dmh6220"), preset("dmg6215")));
    EXPECT_TRUE(same(preset("dm4310"), MitLimits{}));
}

TEST(Presets, EveryPresetEncodesAZeroSetpointToTheMidpoints) {
    // Symmetric midpoints encode alike whatever the width of the range.
    for (const auto& p : presets::kAll) {
        const auto out = mit::encode(p.limits, MitSetpoint{});
        ASSERT_TRUE(out.has_value()) << p.name;
        EXPECT_EQ(*out, (MitPayload{0x7F, 0xFF, 0x7F, 0xF0, 0x00, 0x00, 0x07, 0xFF})) << p.name;
    }
}

}  // namespace
}  // namespace velkarin::damiao
