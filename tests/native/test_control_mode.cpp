// The control-mode switch against a scripted motor that answers register
// requests: every outcome of read / write / pause / read-back.
#include <cerrno>
#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "damiao/driver.hpp"
#include "frame_helpers.hpp"
#include "scripted_transport.hpp"

namespace velkarin::damiao {
namespace {

using std::chrono::milliseconds;
using testing::Bytes;
using testing::ScriptedTransport;
using testing::bytes_of;
using testing::classic;
using transport::CanFrame;
using transport::CanId;

// Register 10 of a motor on the scripted bus. Reads are answered on the
// master id while `reads_answered` lasts; a write changes the register to
// `after_write` (or leaves it when the firmware ignores the write) and is
// echoed back, and a feedback frame follows, as a noisy bus would have it.
struct FakeMotor {
    std::uint32_t mode;
    std::optional<std::uint32_t> after_write;
    int reads_answered = 2;

    void attach(ScriptedTransport& bus) {
        bus.on_send = [this](const CanFrame& f, ScriptedTransport& b) {
            const auto d = f.data();
            if (f.id != CanId::standard(0x7FF) || d.size() != 8 || d[3] != 10) return;
            if (d[2] == 0x33 && reads_answered-- > 0) {
                b.reply(classic(0x011, {d[0], d[1], 0x33, 0x0A, static_cast<std::uint8_t>(mode),
                                        static_cast<std::uint8_t>(mode >> 8),
                                        static_cast<std::uint8_t>(mode >> 16),
                                        static_cast<std::uint8_t>(mode >> 24)}));
            } else if (d[2] == 0x55) {
                if (after_write) mode = *after_write;
                b.reply(classic(0x011, {d[0], d[1], 0x55, 0x0A, d[4], d[5], d[6], d[7]}));
                b.reply(classic(0x011, {0x11, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28}));
            }
        };
    }
};

const Bytes kRead10 = {0x01, 0x00, 0x33, 0x0A, 0x00, 0x00, 0x00, 0x00};

Bytes write10(std::uint8_t mode) { return {0x01, 0x00, 0x55, 0x0A, mode, 0x00, 0x00, 0x00}; }

struct SwitchCase {
    const char* name;
    std::uint32_t initial;
    std::uint8_t mode;
    std::optional<std::uint32_t> after_write;  // nothing: the motor keeps its mode
    int reads_answered;
    std::vector<Bytes> frames;  // every frame sent, all on 0x7FF
    int pauses;
    std::optional<std::string> error;  // nothing: success
};

class EnsureControlMode : public ::testing::TestWithParam<SwitchCase> {};

TEST_P(EnsureControlMode, SendsReadWriteReadOnlyAsNeeded) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    FakeMotor fake{c.initial, c.after_write, c.reads_answered};
    fake.attach(bus);
    std::vector<milliseconds> pauses;
    const Damiao m(1, 0x11, MitLimits{}, 20);

    auto result = m.ensure_control_mode(bus, c.mode, [&](milliseconds d) {
        pauses.push_back(d);
        // The pause sits between the write and the read-back.
        EXPECT_EQ(bus.sent.size(), 2u);
        return true;
    });

    if (c.error) {
        ASSERT_FALSE(result.has_value());
        EXPECT_EQ(result.error().text(), *c.error);
    } else {
        EXPECT_TRUE(result.has_value()) << result.error().text();
    }
    ASSERT_LE(bus.sent.size(), 3u);
    std::vector<Bytes> sent;
    for (const auto& f : bus.sent) {
        EXPECT_EQ(f.id, CanId::standard(0x7FF));
        sent.push_back(bytes_of(f));
    }
    EXPECT_EQ(sent, c.frames);
    ASSERT_EQ(pauses.size(), static_cast<std::size_t>(c.pauses));
    for (const auto d : pauses) EXPECT_EQ(d, milliseconds(100));
}

INSTANTIATE_TEST_SUITE_P(
    EveryOutcome, EnsureControlMode,
    ::testing::Values(
        SwitchCase{"already_in_mode", 1, 1, std::nullopt, 2, {kRead10}, 0, std::nullopt},
        SwitchCase{"already_in_pos_vel", 2, 2, std::nullopt, 2, {kRead10}, 0, std::nullopt},
        SwitchCase{"switch_takes_effect", 2, 1, 1, 2, {kRead10, write10(1), kRead10}, 1,
                   std::nullopt},
        SwitchCase{"switch_to_force_pos", 1, 4, 4, 2, {kRead10, write10(4), kRead10}, 1,
                   std::nullopt},
        SwitchCase{"motor_keeps_its_mode", 2, 1, std::nullopt, 2,
                   {kRead10, write10(1), kRead10}, 1,
                   "control mode verification failed: wrote 1, motor reports 2"},
        // Compared in 32 bits, reported in the low 8.
        SwitchCase{"read_back_257", 2, 1, 257, 2, {kRead10, write10(1), kRead10}, 1,
                   "control mode verification failed: wrote 1, motor reports 1"},
        SwitchCase{"initial_257_is_not_mode_1", 257, 1, 1, 2, {kRead10, write10(1), kRead10}, 1,
                   std::nullopt},
        SwitchCase{"mode_0_written_unchanged", 1, 0, 0, 2, {kRead10, write10(0), kRead10}, 1,
                   std::nullopt},
        SwitchCase{"mode_5_written_unchanged", 1, 5, 5, 2, {kRead10, write10(5), kRead10}, 1,
                   std::nullopt},
        SwitchCase{"no_answer_to_first_read", 2, 1, 1, 0, {kRead10}, 0,
                   "transport error: timeout waiting for frame"},
        SwitchCase{"no_answer_to_read_back", 2, 1, 1, 1, {kRead10, write10(1), kRead10}, 1,
                   "transport error: timeout waiting for frame"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(EnsureControlMode, VerifyFailureCarriesWrittenAndReported) {
    ScriptedTransport bus;
    FakeMotor fake{3, 0x1202, 2};
    fake.attach(bus);

    auto result = Damiao(1, 0x11, MitLimits{}, 20).ensure_control_mode(bus, 1, [](milliseconds) { return true; });

    ASSERT_FALSE(result.has_value());
    const auto* e = result.error().as<errors::ModeVerifyFailed>();
    ASSERT_NE(e, nullptr) << result.error().text();
    EXPECT_EQ(e->written, 1);
    EXPECT_EQ(e->reported, 0x02);
}

TEST(EnsureControlMode, AFailedWriteStopsBeforeThePause) {
    // A bus whose second send fails: the read goes out, the write does not.
    struct SecondSendFails final : transport::CanTransport {
        ScriptedTransport inner;
        int sends = 0;
        transport::Result<void> send(const CanFrame& f) override {
            if (++sends == 2) return std::unexpected(transport::TransportError::backend_errno(ENOBUFS));
            return inner.send(f);
        }
        transport::Result<CanFrame> recv(transport::Duration t) override { return inner.recv(t); }
    } bus;
    FakeMotor fake{2, 1, 2};
    fake.attach(bus.inner);
    int pauses = 0;

    auto result = Damiao(1, 0x11, MitLimits{}, 20).ensure_control_mode(bus, 1, [&](milliseconds) {
        ++pauses;
        return true;
    });

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().text(),
              "transport error: backend error: " + transport::IoError::from_errno(ENOBUFS).text());
    EXPECT_EQ(bus.sends, 2);
    EXPECT_EQ(bus.inner.sent.size(), 1u);
    EXPECT_EQ(pauses, 0);
}

TEST(EnsureControlMode, DefaultPauseSleepsTheThread) {
    ScriptedTransport bus;
    FakeMotor fake{2, 1, 2};
    fake.attach(bus);

    const auto start = std::chrono::steady_clock::now();
    auto result = Damiao(1, 0x11, MitLimits{}, 20).ensure_control_mode(bus, 1);
    const auto elapsed = std::chrono::steady_clock::now() - start;

    ASSERT_TRUE(result.has_value()) << result.error().text();
    EXPECT_EQ(bus.sent.size(), 3u);
    EXPECT_GE(elapsed, milliseconds(100));
}

TEST(ControlModeOf, TakesAUint32AndRefusesAFloat) {
    auto mode = control_mode_of(std::uint32_t{0xDEADBEEF});
    ASSERT_TRUE(mode.has_value());
    EXPECT_EQ(*mode, 0xDEADBEEFu);

    auto mismatch = control_mode_of(1.0f);
    ASSERT_FALSE(mismatch.has_value());
    const auto* e = mismatch.error().as<errors::RegisterKindMismatch>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->reg, 10);
    EXPECT_EQ(e->expected, RegisterKind::Uint32);
    EXPECT_EQ(e->got, RegisterKind::Float);
    EXPECT_EQ(mismatch.error().text(), "register 10: expected Uint32, got Float");
}

}  // namespace
}  // namespace velkarin::damiao

namespace velkarin::damiao {
namespace {

// A pause cut short by a signal that should end the call stops the switch
// before the read-back, as an interrupted wait.
TEST(EnsureControlModeInterrupted, APauseCutShortEndsTheSwitchWithEintr) {
    testing::ScriptedTransport bus;
    bus.reply(testing::classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x02, 0x00, 0x00, 0x00}));

    auto result = Damiao(1, 0x11, MitLimits{}, 20).ensure_control_mode(
        bus, 1, [](std::chrono::milliseconds) { return false; });

    ASSERT_FALSE(result.has_value());
    EXPECT_EQ(result.error().text(),
              "transport error: backend error: " + transport::IoError::from_errno(EINTR).text());
    EXPECT_EQ(bus.sent.size(), 2u);  // read and write; no read-back
}

}  // namespace
}  // namespace velkarin::damiao
