// The --flash file: its text checked without a bus, a store that did not reach
// it, and files the built simulator refuses before it opens the bus.
#include <gtest/gtest.h>

#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <functional>

#include "sim/simulator.hpp"
#include "sim_frames.hpp"
#include "sim_process.hpp"
#include "transport/unique_fd.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;
namespace fs = std::filesystem;
using transport::UniqueFd;
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

class FlashDir : public ::testing::Test {  // a directory of its own
protected:
    void SetUp() override {
        std::string name = fs::temp_directory_path() / "velkarin-flash-XXXXXX";
        ASSERT_NE(::mkdtemp(name.data()), nullptr);
        dir_ = name;
    }
    void TearDown() override { fs::remove_all(dir_); }
    fs::path dir_;
};

using Make = std::function<UniqueFd(const fs::path&)>;  // a held descriptor, if any
Make text(std::string t) { return [t](auto& p) { std::ofstream(p) << t; return UniqueFd{}; }; }

struct RefusedFile { const char *name, *path; Make make; std::string says; };  // path: in dir_
std::pair<ino_t, off_t> identity(const std::string& path) {  // zeros: missing
    struct stat st{};
    ::lstat(path.c_str(), &st);
    return {st.st_ino, st.st_size};
}
class RefusedFlashFile : public FlashDir, public ::testing::WithParamInterface<RefusedFile> {};

TEST_P(RefusedFlashFile, EndsTheStartWithOneLineAndLeavesItAlone) {
    const std::string path = dir_ / GetParam().path;
    const auto held = GetParam().make ? GetParam().make(path) : UniqueFd{};
    const auto before = identity(path);
    SimProcess p({"--iface", "vcan0", "--motor", "1:0x11:DM4310", "--flash", path});
    const auto status = p.wait(5s);
    ASSERT_TRUE(status) << "the simulator hung on " << path;
    EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 2);
    EXPECT_EQ(p.drain_stderr(), "velkarin-sim: " + path + ": " + GetParam().says + "\n");
    EXPECT_EQ(identity(path), before);
}

const auto kTooLarge = std::string(max_flash_bytes(1) + 1, '#');  // only comments, yet too many
INSTANTIATE_TEST_SUITE_P(
    Table, RefusedFlashFile,
    ::testing::Values(
        RefusedFile{"directory", "", {}, "is a directory"},
        RefusedFile{"fifo", "p", [](auto& p) { ::mkfifo(p.c_str(), 0644); return UniqueFd{}; },
                    "is a FIFO"},
        RefusedFile{"dev_null", "/dev/null", {}, "is a device"},
        RefusedFile{"dev_zero", "/dev/zero", {}, "is a device"},
        RefusedFile{"too_large", "f", text(kTooLarge),
                    "is larger than a flash file for these motors can be (" +
                        std::to_string(kTooLarge.size() - 1) + " bytes)"},
        RefusedFile{"missing_directory", "gone/f", {},
                    "cannot create it: No such file or directory"},
        RefusedFile{"locked", "f",
                    [](auto& p) {
                        text("")(p);
                        UniqueFd fd(::open(p.c_str(), O_RDONLY | O_CLOEXEC));
                        ::flock(fd.get(), LOCK_EX);
                        return fd;
                    },
                    "in use: another process holds its lock"},
        RefusedFile{"bad_line", "f", text("0 ESC_ID 3\n1 PMAX 1\n"),
                    "line 2: motor 1 is not given: 1 --motor argument(s) count from 0"}),
    [](const auto& tp) { return std::string(tp.param.name); });

}  // namespace
}  // namespace velkarin::sim
