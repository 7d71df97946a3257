// The collision rule for a motor's new CAN id or master id, against motors
// 0x002 (answers on 0x012) and 0x103 (answers on 0x013) already on the bus.
#include <gtest/gtest.h>

#include <array>

#include "damiao/id_conflict.hpp"

namespace velkarin::damiao {
namespace {

constexpr std::array<MotorIds, 2> kOthers{{{0x002, 0x012}, {0x103, 0x013}}};
constexpr MotorIds kMotor1{0x001, 0x011};

struct Change {
    const char* name;
    MotorIds proposed;  // motor 0x001's ids after the write
    const char* refused_because;  // nullptr: allowed
};

class ANewId : public ::testing::TestWithParam<Change> {};

TEST_P(ANewId, IsRefusedExactlyWhenItWouldCollide) {
    const auto why = id_conflict(kMotor1, GetParam().proposed, kOthers);
    if (GetParam().refused_because == nullptr) {
        EXPECT_FALSE(why.has_value()) << *why;
    } else {
        ASSERT_TRUE(why.has_value());
        EXPECT_EQ(*why, GetParam().refused_because);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Table, ANewId,
    ::testing::Values(
        Change{"unchanged", kMotor1, nullptr},
        Change{"free_master", {0x001, 0x021}, nullptr},
        Change{"free_can_id", {0x005, 0x011}, nullptr},
        Change{"master_is_the_request_id", {0x001, 0x7FF}, "0x7FF carries register requests"},
        Change{"can_id_is_the_request_id", {0x7FF, 0x011}, "0x7FF carries register requests"},
        Change{"master_taken", {0x001, 0x012}, "motor 0x002 already answers on 0x012"},
        Change{"master_on_a_can_id", {0x001, 0x002}, "motor 0x002 listens on 0x002: the replies would command it"},
        Change{"master_on_a_mode_offset", {0x001, 0x302},
               "motor 0x002 listens on 0x302: the replies would command it"},
        Change{"master_on_its_own_command_id", {0x001, 0x101},
               "the motor would answer on 0x101, where it takes commands"},
        Change{"can_id_taken", {0x002, 0x011}, "motor 0x002 already has CAN id 0x002"},
        Change{"can_id_on_a_master", {0x012, 0x011},
               "motor 0x002 answers on 0x012, which would command this motor"},
        // 0x712 + 0x100 goes out as 0x012 (11 bits).
        Change{"mode_offset_on_a_master", {0x712, 0x011},
               "motor 0x002 answers on 0x012, which would command this motor"},
        Change{"can_id_on_a_mode_offset", {0x203, 0x011},
               "motor 0x103 listens on 0x203 too: commands for one would reach the other"},
        Change{"mode_offset_on_a_can_id", {0x003, 0x011},
               "motor 0x103 listens on 0x103 too: commands for one would reach the other"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ANewMasterId, IsNotRefusedForAClashItDoesNotTouch) {
    // 0x002 and 0x102 already share identifiers; fixing motor 0x001's master id is not blocked.
    constexpr std::array<MotorIds, 2> clashing{{{0x002, 0x012}, {0x102, 0x013}}};
    EXPECT_FALSE(id_conflict(kMotor1, {0x001, 0x021}, clashing).has_value());
}

TEST(AMotorSet, IsJudgedWholeAndNamesTheFirstMotorThatCollides) {
    constexpr std::array<MotorIds, 3> fine{{kMotor1, kOthers[0], kOthers[1]}};
    EXPECT_FALSE(motor_set_conflict(fine).has_value());
    constexpr std::array<MotorIds, 3> clash{{kMotor1, kOthers[0], {0x012, 0x021}}};
    EXPECT_EQ(motor_set_conflict(clash),
              "motor 0x012 (master id 0x021): motor 0x002 answers on 0x012, which would command this motor");
}

}  // namespace
}  // namespace velkarin::damiao
