// The register table as data: look-up by variable name and the documented
// ranges, open and closed ends, kinds and non-finite values.
#include <gtest/gtest.h>

#include <limits>
#include <optional>
#include <string>

#include "damiao/registers.hpp"

namespace velkarin::damiao {
namespace {

constexpr float kMax = std::numeric_limits<float>::max();
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

struct VariableCase {
    const char* variable;
    std::optional<std::uint8_t> number;
};

class FindByVariable : public ::testing::TestWithParam<VariableCase> {};

TEST_P(FindByVariable, IgnoresCaseAndNothingElse) {
    const auto* info = registers::find_by_variable(GetParam().variable);
    ASSERT_EQ(info != nullptr, GetParam().number.has_value()) << GetParam().variable;
    if (info != nullptr) {
        EXPECT_EQ(info->number, *GetParam().number);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Names, FindByVariable,
    ::testing::Values(VariableCase{"pmax", registers::PMAX}, VariableCase{"Ctrl_Mode", registers::CTRL_MODE},
                      VariableCase{"RS", registers::Rs}, VariableCase{"xout", registers::xout},
                      VariableCase{"UV_VALUE", registers::UV_Value}, VariableCase{"P_MAX", std::nullopt},
                      VariableCase{"pmax ", std::nullopt}, VariableCase{"", std::nullopt}));

struct RangeCase {
    const char* name;
    std::uint8_t reg;
    RegisterValue value;
    bool inside;
};

class DocumentedRange : public ::testing::TestWithParam<RangeCase> {};

// The raw form agrees with the typed one for a value of the register's kind.
TEST_P(DocumentedRange, HoldsForTheValueAndForItsRawBits) {
    const auto& c = GetParam();
    const auto* info = registers::find(c.reg);
    ASSERT_NE(info, nullptr);
    EXPECT_EQ(registers::in_documented_range(*info, c.value), c.inside);
    if (kind_of(c.value) == info->kind) {
        EXPECT_EQ(registers::raw_in_documented_range(*info, raw_bits(c.value)), c.inside);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, DocumentedRange,
    ::testing::Values(
        RangeCase{"open_bottom_excludes_it", registers::UV_Value, 10.0f, false},
        RangeCase{"just_above_an_open_bottom", registers::UV_Value, 10.000001f, true},
        RangeCase{"closed_top_is_the_largest_float", registers::PMAX, kMax, true},
        RangeCase{"open_top_at_the_largest_float", registers::ACC, kMax, false},
        RangeCase{"infinity_never", registers::PMAX, kInf, false},
        RangeCase{"nan_never", registers::KP_APR, kNaN, false},
        RangeCase{"closed_bottom", registers::OT_Value, 80.0f, true},
        RangeCase{"open_top", registers::OT_Value, 200.0f, false},
        RangeCase{"negative_zero_is_not_below_zero", registers::DEC, -0.0f, false},
        RangeCase{"lowest_float_in_a_closed_bottom", registers::DEC, -kMax, true},
        RangeCase{"uint_top_included", registers::MST_ID, std::uint32_t{0x7FF}, true},
        RangeCase{"uint_above_top", registers::ESC_ID, std::uint32_t{0x800}, false},
        RangeCase{"mode_zero", registers::CTRL_MODE, std::uint32_t{0}, false},
        RangeCase{"mode_four", registers::CTRL_MODE, std::uint32_t{4}, true},
        RangeCase{"mode_257", registers::CTRL_MODE, std::uint32_t{257}, false},
        RangeCase{"every_uint_timeout", registers::TIMEOUT, std::uint32_t{0xFFFFFFFF}, true},
        RangeCase{"float_into_a_uint_register", registers::CTRL_MODE, 1.0f, false},
        RangeCase{"undocumented_takes_any_finite", registers::OV_Value, -1e30f, true},
        RangeCase{"undocumented_refuses_infinity", registers::OV_Value, -kInf, false},
        RangeCase{"undocumented_uint", registers::sw_ver, std::uint32_t{12345}, true}),
    [](const auto& p) { return std::string(p.param.name); });

}  // namespace
}  // namespace velkarin::damiao
