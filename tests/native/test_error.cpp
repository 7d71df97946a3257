// Tests of the driver error texts: every case with the field values the
// motor protocol produces, and the wrapping of bus errors.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "damiao/error.hpp"
#include "damiao/mit/codec.hpp"

namespace velkarin::damiao {
namespace {

using transport::TransportError;

struct TextCase {
    const char* what;
    Error error;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.what; }

class ErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(ErrorText, RendersOneExactLine) {
    const auto& c = GetParam();
    EXPECT_EQ(c.error.text(), c.text) << c.what;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErrorText,
    ::testing::Values(
        TextCase{"reply time-out", TransportError::timeout(),
                 "transport error: timeout waiting for frame"},
        TextCase{"oversized frame", TransportError::frame_too_large(65),
                 "transport error: frame too large for selected mode: 65 bytes"},
        TextCase{"bad identifier", TransportError::invalid_id(), "transport error: invalid CAN id"},
        TextCase{"unknown register", errors::UnknownRegister{7},
                 "register 7 is not in the Damiao register table"},
        TextCase{"unknown register 255", errors::UnknownRegister{255},
                 "register 255 is not in the Damiao register table"},
        TextCase{"read-only register", errors::ReadOnlyRegister{7}, "register 7 is read-only"},
        TextCase{"mode register holding a float",
                 errors::RegisterKindMismatch{10, RegisterKind::Uint32, RegisterKind::Float},
                 "register 10: expected Uint32, got Float"},
        TextCase{"kinds the other way round",
                 errors::RegisterKindMismatch{0, RegisterKind::Float, RegisterKind::Uint32},
                 "register 0: expected Float, got Uint32"},
        TextCase{"odd reply bytes", errors::UnexpectedReply{{1, 2, 51, 10}},
                 "unexpected reply (data did not match register-reply pattern): [1, 2, 51, 10]"},
        TextCase{"empty reply", errors::UnexpectedReply{{}},
                 "unexpected reply (data did not match register-reply pattern): []"},
        TextCase{"every byte listed, none truncated",
                 errors::UnexpectedReply{std::vector<std::uint8_t>(64, 255)},
                 "unexpected reply (data did not match register-reply pattern): [" +
                     [] {
                         std::string s = "255";
                         for (int i = 1; i < 64; ++i) s += ", 255";
                         return s;
                     }() + "]"},
        TextCase{"mode read back differs", errors::ModeVerifyFailed{1, 2},
                 "control mode verification failed: wrote 1, motor reports 2"},
        TextCase{"mode read back 257, low byte kept",
                 errors::ModeVerifyFailed{1, static_cast<std::uint8_t>(257u)},
                 "control mode verification failed: wrote 1, motor reports 1"},
        TextCase{"negative gain limit", errors::InvalidLimits{{0.0f, -1.0f}},
                 "min > max, or either was NaN. min = 0.0, max = -1.0"},
        TextCase{"negative symmetric limit", errors::InvalidLimits{{1.0f, -1.0f}},
                 "min > max, or either was NaN. min = 1.0, max = -1.0"},
        TextCase{"huge and tiny bounds in exponent form", errors::InvalidLimits{{1e20f, -1e-5f}},
                 "min > max, or either was NaN. min = 1e20, max = -1e-5"},
        TextCase{"NaN bounds",
                 errors::InvalidLimits{{-std::numeric_limits<float>::quiet_NaN(),
                                        std::numeric_limits<float>::quiet_NaN()}},
                 "min > max, or either was NaN. min = NaN, max = NaN"},
        TextCase{"short reply", errors::ShortReply{3}, "reply too short to decode: 3 bytes, need 8"},
        TextCase{"empty reply payload", errors::ShortReply{0},
                 "reply too short to decode: 0 bytes, need 8"},
        TextCase{"two motors on one master id", errors::DuplicateMasterId{0x11, 0, 3},
                 "motors 0 and 3 of one cycle answer on master id 0x011 of one bus: their "
                 "replies cannot be told apart"},
        TextCase{"outcome slots missing", errors::OutcomeCount{6, 5},
                 "a cycle of 6 commands needs as many outcome slots, got 5"},
        TextCase{"group commands missing", errors::CommandCount{6, 5},
                 "a group of 6 motors needs one command per motor, got 5"},
        TextCase{"group too large", errors::GroupTooLarge{65, 2, 64, 65534},
                 "a group takes at most 64 buses and 65534 motors, got 65 buses and 2 motors"}));

TEST(DriverErrorText, WrapsABackendErrorWithTheSystemDescription) {
    const Error e = TransportError::backend_errno(ENODEV);
    EXPECT_EQ(e.text(), std::string("transport error: backend error: ") + std::strerror(ENODEV) +
                            " (os error " + std::to_string(ENODEV) + ")");
}

TEST(ErrorWrapping, KeepsTheTransportErrorUnchanged) {
    const TransportError te = TransportError::frame_too_large(9);
    const Error e = te;
    const auto* t = e.as<errors::Transport>();
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(t->error, te);
    EXPECT_EQ(e.as<errors::ShortReply>(), nullptr);
}

// The limit failure of encode renders through the driver error as the
// message the caller sees.
struct LimitsText {
    MitLimits limits;
    const char* text;
};

class EncodeFailureText : public ::testing::TestWithParam<LimitsText> {};

TEST_P(EncodeFailureText, NamesTheFirstBadRange) {
    const auto out = mit::encode(GetParam().limits, MitSetpoint{});
    ASSERT_FALSE(out.has_value());
    EXPECT_EQ(Error(errors::InvalidLimits{out.error()}).text(), GetParam().text);
}

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Limits, EncodeFailureText,
    ::testing::Values(
        LimitsText{{12.5f, 30, -1, 5, 10}, "min > max, or either was NaN. min = 0.0, max = -1.0"},
        LimitsText{{-1, 30, 500, 5, 10}, "min > max, or either was NaN. min = 1.0, max = -1.0"},
        LimitsText{{kNaN, -1, -1, -1, -1}, "min > max, or either was NaN. min = NaN, max = NaN"},
        LimitsText{{12.5f, -1e-5f, 500, 5, 10},
                   "min > max, or either was NaN. min = 1e-5, max = -1e-5"},
        LimitsText{{12.5f, 30, 500, -kInf, 10},
                   "min > max, or either was NaN. min = 0.0, max = -inf"},
        LimitsText{{12.5f, 30, 500, 5, -1e20f},
                   "min > max, or either was NaN. min = 1e20, max = -1e20"}));

}  // namespace
}  // namespace velkarin::damiao
