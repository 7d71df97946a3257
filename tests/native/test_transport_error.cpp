// Texts of bus errors: each TransportError kind's fixed wording and the
// "<system description> (os error N)" form of an operating-system error.
#include <cerrno>
#include <cstring>
#include <ostream>
#include <string>

#include <gtest/gtest.h>

#include "transport/transport_error.hpp"

namespace {

using velkarin::transport::IoError;
using velkarin::transport::TransportError;

struct TextCase {
    const char* name;
    TransportError error;
    std::string text;
};

void PrintTo(const TextCase& c, std::ostream* os) { *os << c.name; }

class TransportErrorText : public ::testing::TestWithParam<TextCase> {};

TEST_P(TransportErrorText, ReadsAsFixedWording) {
    EXPECT_EQ(GetParam().error.text(), GetParam().text);
}

INSTANTIATE_TEST_SUITE_P(
    EachKind, TransportErrorText,
    ::testing::Values(
        TextCase{"timeout", TransportError::timeout(), "timeout waiting for frame"},
        TextCase{"invalid_id", TransportError::invalid_id(), "invalid CAN id"},
        TextCase{"too_large_9", TransportError::frame_too_large(9),
                 "frame too large for selected mode: 9 bytes"},
        TextCase{"too_large_65", TransportError::frame_too_large(65),
                 "frame too large for selected mode: 65 bytes"},
        TextCase{"backend_custom",
                 TransportError::backend(IoError::custom("failed to write whole buffer")),
                 "backend error: failed to write whole buffer"},
        TextCase{"backend_enodev", TransportError::backend_errno(ENODEV),
                 std::string("backend error: ") + std::strerror(ENODEV) + " (os error 19)"}),
    [](const auto& tp) { return std::string(tp.param.name); });

// The GNU strerror_r may return a static string and leave the buffer alone;
// reading the buffer instead would give an empty or garbage description.
class OsErrorText : public ::testing::TestWithParam<int> {};

TEST_P(OsErrorText, IsTheSystemDescriptionWithTheNumber) {
    const int e = GetParam();
    const std::string expected =
        std::string(std::strerror(e)) + " (os error " + std::to_string(e) + ")";
    EXPECT_EQ(IoError::from_errno(e).text(), expected);
}

INSTANTIATE_TEST_SUITE_P(SomeErrnos, OsErrorText,
                         ::testing::Values(ENODEV, EINVAL, EINTR, ENETDOWN, ENOBUFS, 9999));

TEST(OsErrorText, NamesNoSuchDeviceForEnodev) {
    EXPECT_EQ(IoError::from_errno(ENODEV).text(), "No such device (os error 19)");
}

TEST(OsErrorText, CustomErrorIsItsDescriptionAlone) {
    EXPECT_EQ(IoError::custom("unexpected CAN frame size").text(), "unexpected CAN frame size");
}

}  // namespace
