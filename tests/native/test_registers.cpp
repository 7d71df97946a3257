// Register access through the driver: request frames on 0x7FF, replies found
// by content on any id, the checks made before anything is sent, time-outs.
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

using testing::Bytes;
using testing::ScriptedTransport;
using testing::classic;
using testing::expect_classic_frame;
using transport::CanFrame;
using transport::CanId;
using transport::TransportError;

Damiao motor(std::uint16_t id = 1, std::uint64_t timeout_ms = 20) {
    return Damiao(id, 0x11, MitLimits{}, timeout_ms);
}

// ---- read requests ------------------------------------------------------------

struct ReadRequestCase {
    const char* name;
    std::uint16_t motor_id;
    std::uint8_t reg;
    Bytes request;
};

class ReadRequest : public ::testing::TestWithParam<ReadRequestCase> {};

TEST_P(ReadRequest, CarriesAllSixteenBitsOfTheMotorId) {
    const auto& c = GetParam();
    ScriptedTransport bus;
    bus.reply(classic(0x011, {0xAA, 0xBB, 0x33, c.reg, 0x01, 0x00, 0x00, 0x00}));

    auto value = motor(c.motor_id).read_register(bus, c.reg);

    ASSERT_TRUE(value.has_value()) << value.error().text();
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_classic_frame(bus.sent[0], 0x7FF, c.request);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ReadRequest,
    ::testing::Values(
        //                     motor id    read  reg   zero
        ReadRequestCase{"mode_motor_1", 1, 10, {0x01, 0x00, 0x33, 0x0A, 0, 0, 0, 0}},
        ReadRequestCase{"mode_motor_0801", 0x0801, 10, {0x01, 0x08, 0x33, 0x0A, 0, 0, 0, 0}},
        ReadRequestCase{"sw_version_motor_ffff", 0xFFFF, 14, {0xFF, 0xFF, 0x33, 0x0E, 0, 0, 0, 0}},
        ReadRequestCase{"output_position", 0x7F, 81, {0x7F, 0x00, 0x33, 0x51, 0, 0, 0, 0}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- replies ------------------------------------------------------------------

struct ReplyCase {
    const char* name;
    CanFrame reply;
};

class ReplyByContent : public ::testing::TestWithParam<ReplyCase> {};

TEST_P(ReplyByContent, IsAcceptedOnAnyIdFromAnySender) {
    ScriptedTransport bus;
    bus.reply(GetParam().reply);

    auto value = motor().read_register(bus, 10);

    ASSERT_TRUE(value.has_value()) << value.error().text();
    ASSERT_TRUE(std::holds_alternative<std::uint32_t>(*value));
    EXPECT_EQ(std::get<std::uint32_t>(*value), 2u);
}

const Bytes kModeIs2 = {0x01, 0x00, 0x33, 0x0A, 0x02, 0x00, 0x00, 0x00};

INSTANTIATE_TEST_SUITE_P(
    Cases, ReplyByContent,
    ::testing::Values(ReplyCase{"master_id", classic(0x011, kModeIs2)},
                      ReplyCase{"request_id", classic(0x7FF, kModeIs2)},
                      ReplyCase{"zero_id", classic(0x000, kModeIs2)},
                      ReplyCase{"extended_id", CanFrame(CanId::extended(0x1234567), kModeIs2)},
                      ReplyCase{"fd_frame_of_8_bytes", CanFrame(CanId::standard(0x11), kModeIs2, true)},
                      // Bytes 0-1 are not compared with our motor id.
                      ReplyCase{"other_motor_id_bytes",
                                classic(0x022, {0x09, 0x04, 0x33, 0x0A, 0x02, 0x00, 0x00, 0x00})}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(ReadRegister, SkipsLookAlikesAndOtherFramesUntilTheReply) {
    ScriptedTransport bus;
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x05, 0x00, 0x00}));            // 7 bytes
    bus.reply(CanFrame(CanId::standard(0x011),
                       Bytes{0x01, 0x00, 0x33, 0x0A, 0x05, 0, 0, 0, 0, 0, 0, 0}, true));  // 12 bytes
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0B, 0x05, 0x00, 0x00, 0x00}));      // register 11
    bus.reply(classic(0x011, {0x01, 0x00, 0x55, 0x0A, 0x05, 0x00, 0x00, 0x00}));      // write echo
    bus.reply(classic(0x011, {0x01, 0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28}));      // feedback
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x03, 0x00, 0x00, 0x00}));      // the reply
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x04, 0x00, 0x00, 0x00}));      // too late

    auto value = motor().read_register(bus, 10);

    ASSERT_TRUE(value.has_value()) << value.error().text();
    EXPECT_EQ(std::get<std::uint32_t>(*value), 3u);
    EXPECT_EQ(bus.take_unused(), 1u);
    EXPECT_EQ(bus.sent.size(), 1u);
}

TEST(ReadRegister, OnlyLookAlikesEndInTimeout) {
    ScriptedTransport bus;
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x05, 0x00, 0x00}));
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x09, 0x05, 0x00, 0x00, 0x00}));

    auto value = motor().read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().text(), "transport error: timeout waiting for frame");
}

struct ValueCase {
    const char* name;
    std::uint8_t reg;
    Bytes value_bytes;
    RegisterValue expected;
};

class RegisterValueKind : public ::testing::TestWithParam<ValueCase> {};

TEST_P(RegisterValueKind, IsReadLittleEndianInTheTablesKind) {
    const auto& c = GetParam();
    Bytes reply = {0x01, 0x00, 0x33, c.reg};
    reply.insert(reply.end(), c.value_bytes.begin(), c.value_bytes.end());
    ScriptedTransport bus;
    bus.reply(classic(0x011, reply));

    auto value = motor().read_register(bus, c.reg);

    ASSERT_TRUE(value.has_value()) << value.error().text();
    EXPECT_EQ(value->index(), c.expected.index());
    EXPECT_EQ(*value, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegisterValueKind,
    ::testing::Values(
        ValueCase{"uint32_all_bytes", 10, {0x78, 0x56, 0x34, 0x12}, std::uint32_t{0x12345678}},
        ValueCase{"uint32_top", 9, {0xFF, 0xFF, 0xFF, 0xFF}, std::uint32_t{0xFFFFFFFF}},
        ValueCase{"float_position_range", 21, {0x00, 0x00, 0x48, 0x41}, 12.5f},
        ValueCase{"float_negative", 5, {0x00, 0x00, 0x20, 0xC1}, -10.0f},
        ValueCase{"float_read_only", 17, {0x00, 0x00, 0x80, 0x3F}, 1.0f}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- checks before sending ------------------------------------------------------

TEST(ReadRegister, UnknownRegistersFailBeforeSending) {
    for (const int number : {37, 49, 56, 79, 82, 255}) {
        const auto reg = static_cast<std::uint8_t>(number);
        ScriptedTransport bus;
        auto value = motor().read_register(bus, reg);

        ASSERT_FALSE(value.has_value()) << number;
        const auto* e = value.error().as<errors::UnknownRegister>();
        ASSERT_NE(e, nullptr) << value.error().text();
        EXPECT_EQ(e->reg, reg);
        EXPECT_EQ(value.error().text(),
                  "register " + std::to_string(reg) + " is not in the Damiao register table");
        EXPECT_TRUE(bus.sent.empty());
        EXPECT_TRUE(bus.recv_timeouts.empty());
    }
}

struct RefusedWriteCase {
    const char* name;
    std::uint8_t reg;
    RegisterValue value;
    std::string text;
};

class RefusedWrite : public ::testing::TestWithParam<RefusedWriteCase> {};

TEST_P(RefusedWrite, SendsNothing) {
    const auto& c = GetParam();
    ScriptedTransport bus;

    auto written = motor().write_register(bus, c.reg, c.value);

    ASSERT_FALSE(written.has_value());
    EXPECT_EQ(written.error().text(), c.text);
    EXPECT_TRUE(bus.sent.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedWrite,
    ::testing::Values(
        RefusedWriteCase{"unknown", 40, std::uint32_t{1},
                         "register 40 is not in the Damiao register table"},
        RefusedWriteCase{"read_only_uint32", 14, std::uint32_t{1}, "register 14 is read-only"},
        RefusedWriteCase{"read_only_float", 80, 0.0f, "register 80 is read-only"},
        RefusedWriteCase{"float_into_uint32", 10, 1.0f, "register 10: expected Uint32, got Float"},
        RefusedWriteCase{"uint32_into_float", 21, std::uint32_t{5},
                         "register 21: expected Float, got Uint32"}),
    [](const auto& p) { return std::string(p.param.name); });

TEST(WriteRegister, KindMismatchCarriesTheEntrysKindAsExpected) {
    ScriptedTransport bus;
    auto written = motor().write_register(bus, 10, 1.0f);

    ASSERT_FALSE(written.has_value());
    const auto* e = written.error().as<errors::RegisterKindMismatch>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->reg, 10);
    EXPECT_EQ(e->expected, RegisterKind::Uint32);
    EXPECT_EQ(e->got, RegisterKind::Float);
}

struct WriteCase {
    const char* name;
    std::uint16_t motor_id;
    std::uint8_t reg;
    RegisterValue value;
    Bytes request;
};

class WriteRequest : public ::testing::TestWithParam<WriteCase> {};

TEST_P(WriteRequest, IsSentWithoutAwaitingAReply) {
    const auto& c = GetParam();
    ScriptedTransport bus;

    auto written = motor(c.motor_id).write_register(bus, c.reg, c.value);

    ASSERT_TRUE(written.has_value()) << written.error().text();
    ASSERT_EQ(bus.sent.size(), 1u);
    expect_classic_frame(bus.sent[0], 0x7FF, c.request);
    EXPECT_TRUE(bus.recv_timeouts.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, WriteRequest,
    ::testing::Values(
        //                                                 motor id    write reg   value
        WriteCase{"mode_1", 1, 10, std::uint32_t{1}, {0x01, 0x00, 0x55, 0x0A, 0x01, 0x00, 0x00, 0x00}},
        WriteCase{"mode_motor_0801", 0x0801, 10, std::uint32_t{4},
                  {0x01, 0x08, 0x55, 0x0A, 0x04, 0x00, 0x00, 0x00}},
        WriteCase{"uint32_all_bytes", 2, 9, std::uint32_t{0xA1B2C3D4},
                  {0x02, 0x00, 0x55, 0x09, 0xD4, 0xC3, 0xB2, 0xA1}},
        WriteCase{"float_bits", 3, 21, 12.5f, {0x03, 0x00, 0x55, 0x15, 0x00, 0x00, 0x48, 0x41}}),
    [](const auto& p) { return std::string(p.param.name); });

// ---- bus failures and the deadline --------------------------------------------------

TEST(ReadRegister, SilentBusTimesOut) {
    ScriptedTransport bus;
    auto value = motor().read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    const auto* e = value.error().as<errors::Transport>();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->error.kind, TransportError::Kind::Timeout);
    EXPECT_EQ(value.error().text(), "transport error: timeout waiting for frame");
}

TEST(ReadRegister, AReceiveErrorEndsTheReadAtOnce) {
    ScriptedTransport bus;
    bus.fail_recv(TransportError::backend_errno(ENETDOWN));
    bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0A, 0x01, 0x00, 0x00, 0x00}));

    auto value = motor(1, 1000).read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().text(), "transport error: backend error: " +
                                        transport::IoError::from_errno(ENETDOWN).text());
    EXPECT_EQ(bus.take_unused(), 1u) << "the reply after the error must not be read";
}

TEST(ReadRegister, ASendErrorReadsNothing) {
    ScriptedTransport bus;
    bus.send_errors.push_back(TransportError::backend_errno(ENOBUFS));

    auto value = motor().read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    ASSERT_NE(value.error().as<errors::Transport>(), nullptr);
    EXPECT_TRUE(bus.recv_timeouts.empty());
}

TEST(ReadRegister, OneDeadlineBoundsTheWholeRead) {
    ScriptedTransport bus;
    for (int i = 0; i < 12; ++i) {
        bus.reply(classic(0x011, {0x01, 0x00, 0x33, 0x0B, 0, 0, 0, 0}), std::chrono::milliseconds(5));
    }

    auto value = motor(1, 20).read_register(bus, 10);

    ASSERT_FALSE(value.has_value());
    EXPECT_EQ(value.error().text(), "transport error: timeout waiting for frame");
    EXPECT_GE(bus.take_unused(), 6u);
    // Every read is handed only what is left of the one 20 ms wait.
    ASSERT_FALSE(bus.recv_timeouts.empty());
    for (std::size_t i = 0; i < bus.recv_timeouts.size(); ++i) {
        EXPECT_LE(bus.recv_timeouts[i].to_clock(), std::chrono::milliseconds(20));
        if (i > 0) {
            EXPECT_LT(bus.recv_timeouts[i].to_clock(), bus.recv_timeouts[i - 1].to_clock());
        }
    }
}

}  // namespace
}  // namespace velkarin::damiao
