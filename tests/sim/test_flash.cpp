// The --flash file's text checked without a bus, and a store that did not
// reach the file.
#include <gtest/gtest.h>

#include "sim/flash.hpp"
#include "sim/simulator.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;
using registers::ESC_ID, registers::PMAX;
constexpr std::uint16_t kIds[] = {1, 2};  // the --motor ids of motors 0 and 1

TEST(FlashText, TakesCommentsAnyCaseAndSwappedIdsInNumberOrder) {
    const Flash want{FlashImage{{ESC_ID, 2}, {PMAX, 0x40400000}}, FlashImage{{ESC_ID, 1}}};
    EXPECT_EQ(parse_flash("# swap\n1 esc_id 1\n \t\n0 PMAX 0x40400000\n0 ESC_ID 2", kIds), want);
    EXPECT_EQ(parse_flash(format_flash(want), kIds), want);
}

struct BadText { const char *name, *text; std::size_t line; const char* says; };
class BadFlashText : public ::testing::TestWithParam<BadText> {};

TEST_P(BadFlashText, IsRefusedWithItsLine) {
    const auto flash = parse_flash(GetParam().text, kIds);
    ASSERT_FALSE(flash);
    EXPECT_EQ(flash.error().line, GetParam().line);
    EXPECT_NE(flash.error().reason.find(GetParam().says), std::string::npos) << flash.error().reason;
}

INSTANTIATE_TEST_SUITE_P(
    Table, BadFlashText,
    ::testing::Values(
        BadText{"two_words", "0 PMAX\n", 1, "expected MOTOR VARIABLE 0xRAW"},
        BadText{"motor_not_given", "# two\n2 PMAX 0x40400000\n", 2, "motor 2 is not given"},
        BadText{"read_only", "0 sw_ver 5013\n", 1, "sw_ver is read-only"},
        BadText{"out_of_range", "0 PMAX 0x00000000\n", 1, "PMAX 0x00000000 (0) is outside"},
        BadText{"given_twice", "0 PMAX 0x40400000\n1 PMAX 1\n0 pmax 1\n", 3,
                "PMAX of motor 0 is given twice"},
        BadText{"id_of_another_motor", "1 TIMEOUT 0\n0 ESC_ID 2\n", 2,
                "motors 0 and 1 would both have CAN id 0x002"},
        BadText{"two_stored_ids_meet", "0 ESC_ID 5\n1 TIMEOUT 0\n1 ESC_ID 5\n", 3,
                "motors 0 and 1 would both have CAN id 0x005"}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(FlashStores, ThatFailedAreDroppedSoTheNextStoreWritesTheOldImage) {
    SimConfig config;
    config.motors = {{1, 0x11, &dm4310(), {}}, {2, 0x12, &dm4310(), {}}};
    Simulator sim(config, kT0);
    const auto store = [&](std::uint16_t id) {
        sim.on_frame(CanFrame(CanId::standard(0x7FF), damiao::registers::store_request(id)), kT0);
    };
    store(1);
    const auto written = sim.pending_flash();
    sim.flash_written(true);
    sim.on_frame(write_reg(1, PMAX, 0x40800000), kT0);
    store(1);
    sim.flash_written(false);  // the motor acknowledged, the file was not written
    store(2);
    ASSERT_TRUE(written && sim.pending_flash());
    EXPECT_EQ(sim.pending_flash()->at(0), written->at(0));
}

}  // namespace
}  // namespace velkarin::sim
