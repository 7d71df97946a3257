// The SocketCAN backend on a real vcan interface, checked byte for byte
// against a raw AF_CAN peer socket that speaks the kernel's frame layouts.
#include <linux/can.h>
#include <linux/can/raw.h>
#include <net/if.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <limits>
#include <mutex>
#include <span>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "bus_env.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace std::chrono_literals;
using velkarin::transport::CanFrame;
using velkarin::transport::CanId;
using velkarin::transport::Duration;
using velkarin::transport::IoError;
using velkarin::transport::SocketCanTransport;
using velkarin::transport::TransportError;
using velkarin::transport::UniqueFd;
using Bytes = std::vector<std::uint8_t>;
using Clock = std::chrono::steady_clock;

// A raw CAN socket on vcan0 with FD frames on, opened without the backend so
// that it checks the backend rather than agreeing with it.
class Peer {
public:
    Peer() : fd_(::socket(PF_CAN, SOCK_RAW, CAN_RAW)) {
        if (!fd_.valid()) return;
        sockaddr_can addr{};
        addr.can_family = AF_CAN;
        addr.can_ifindex = static_cast<int>(::if_nametoindex("vcan0"));
        const int on = 1;
        const timeval tv{1, 0};
        ok_ = ::bind(fd_.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
              ::setsockopt(fd_.get(), SOL_CAN_RAW, CAN_RAW_FD_FRAMES, &on, sizeof on) == 0 &&
              ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) == 0;
    }
    bool ok() const { return ok_; }

    // Everything one read returned (empty on time-out or error).
    Bytes read() {
        Bytes buf(CANFD_MTU);
        const ssize_t n = ::recv(fd_.get(), buf.data(), buf.size(), 0);
        buf.resize(n < 0 ? 0 : static_cast<std::size_t>(n));
        return buf;
    }
    // True when nothing arrives within `wait`.
    bool silent_for(std::chrono::microseconds wait) {
        const timeval tv{0, static_cast<suseconds_t>(wait.count())};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const bool silent = read().empty();
        const timeval back{1, 0};
        ::setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &back, sizeof back);
        return silent;
    }
    bool write(const Bytes& raw) {
        return ::send(fd_.get(), raw.data(), raw.size(), 0) == static_cast<ssize_t>(raw.size());
    }

private:
    UniqueFd fd_;
    bool ok_ = false;
};

// A kernel frame: 8 header bytes (can_id little-endian, len, flags, 2 reserved)
// followed by the payload zero-padded to 8 (classic) or 64 (FD) bytes.
Bytes raw_frame(std::uint32_t can_id, std::uint8_t len, std::uint8_t flags, const Bytes& data,
                bool fd) {
    Bytes b(fd ? CANFD_MTU : CAN_MTU, 0);
    for (int i = 0; i < 4; ++i) b[i] = static_cast<std::uint8_t>(can_id >> (8 * i));
    b[4] = len;
    b[5] = flags;
    std::copy(data.begin(), data.end(), b.begin() + 8);
    return b;
}

Bytes seq(std::size_t n, std::uint8_t first = 1) {
    Bytes b(n);
    for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(first + i);
    return b;
}

SocketCanTransport open_vcan0() {
    auto t = SocketCanTransport::open("vcan0");
    if (!t) ADD_FAILURE() << "open vcan0: " << t.error().text();
    return std::move(t).value();
}

std::size_t open_fd_count() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

// ---- frames going out -------------------------------------------------------

struct OutCase {
    const char* name;
    CanFrame frame;
    Bytes wire;
};

void PrintTo(const OutCase& c, std::ostream* os) { *os << c.name; }

class SocketCanSend : public ::testing::TestWithParam<OutCase> {};

TEST_P(SocketCanSend, WritesTheExactKernelFrame) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();

    auto sent = bus.send(GetParam().frame);
    ASSERT_TRUE(sent.has_value()) << sent.error().text();
    EXPECT_EQ(peer.read(), GetParam().wire);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SocketCanSend,
    ::testing::Values(
        OutCase{"classic_standard", CanFrame(CanId::standard(0x123), Bytes{0xDE, 0xAD, 0x01}),
                raw_frame(0x123, 3, 0, {0xDE, 0xAD, 0x01}, false)},
        OutCase{"classic_highest_standard", CanFrame(CanId::standard(0x7FF), seq(8)),
                raw_frame(0x7FF, 8, 0, seq(8), false)},
        OutCase{"classic_empty", CanFrame(CanId::standard(0x000), Bytes{}),
                raw_frame(0x000, 0, 0, {}, false)},
        // brs means nothing to a classic frame: byte 5 stays 0.
        OutCase{"classic_ignores_brs", CanFrame(CanId::standard(0x10), Bytes{7}, false, true),
                raw_frame(0x10, 1, 0, {7}, false)},
        OutCase{"classic_highest_extended", CanFrame(CanId::extended(0x1FFFFFFF), seq(2)),
                raw_frame(0x1FFFFFFF | CAN_EFF_FLAG, 2, 0, seq(2), false)},
        OutCase{"classic_extended_small_value", CanFrame(CanId::extended(0x11), Bytes{1}),
                raw_frame(0x11 | CAN_EFF_FLAG, 1, 0, {1}, false)},
        // 9 bytes are padded to the next FD length, 12, with three zeros.
        OutCase{"fd_nine_bytes_brs", CanFrame(CanId::standard(0x200), seq(9), true, true),
                raw_frame(0x200, 12, CANFD_FDF | CANFD_BRS, seq(9), true)},
        OutCase{"fd_short_frame_stays_fd", CanFrame(CanId::standard(0x201), seq(3), true, false),
                raw_frame(0x201, 3, CANFD_FDF, seq(3), true)},
        OutCase{"fd_33_bytes_to_48", CanFrame(CanId::standard(0x202), seq(33), true, false),
                raw_frame(0x202, 48, CANFD_FDF, seq(33), true)},
        OutCase{"fd_extended_full", CanFrame(CanId::extended(0x1234567), seq(64), true, true),
                raw_frame(0x1234567 | CAN_EFF_FLAG, 64, CANFD_FDF | CANFD_BRS, seq(64), true)}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct RejectCase {
    const char* name;
    CanFrame frame;
    TransportError error;
};

void PrintTo(const RejectCase& c, std::ostream* os) { *os << c.name; }

class SocketCanReject : public ::testing::TestWithParam<RejectCase> {};

TEST_P(SocketCanReject, RefusesAndWritesNothing) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();

    auto sent = bus.send(GetParam().frame);
    ASSERT_FALSE(sent.has_value());
    EXPECT_EQ(sent.error(), GetParam().error);
    EXPECT_TRUE(peer.silent_for(50ms));
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SocketCanReject,
    ::testing::Values(
        RejectCase{"standard_0x800", CanFrame(CanId::standard(0x800), seq(1)),
                   TransportError::invalid_id()},
        RejectCase{"extended_0x20000000", CanFrame(CanId::extended(0x20000000), seq(1)),
                   TransportError::invalid_id()},
        RejectCase{"id_before_classic_length", CanFrame(CanId::standard(0x800), seq(9)),
                   TransportError::invalid_id()},
        RejectCase{"id_before_fd_length", CanFrame(CanId::extended(0x20000000), seq(65), true),
                   TransportError::invalid_id()},
        RejectCase{"classic_nine_bytes", CanFrame(CanId::standard(0x1), seq(9)),
                   TransportError::frame_too_large(9)},
        RejectCase{"fd_65_bytes", CanFrame(CanId::standard(0x1), seq(65), true),
                   TransportError::frame_too_large(65)}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---- frames coming in -------------------------------------------------------

struct InCase {
    const char* name;
    Bytes wire;
    CanId id;
    Bytes data;
    bool fd;
    bool brs;
};

void PrintTo(const InCase& c, std::ostream* os) { *os << c.name; }

class SocketCanRecv : public ::testing::TestWithParam<InCase> {};

TEST_P(SocketCanRecv, DeliversTheKernelFrameAsData) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();
    ASSERT_TRUE(peer.write(GetParam().wire));

    auto got = bus.recv(Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    EXPECT_EQ(got->id, GetParam().id);
    EXPECT_EQ(Bytes(got->data().begin(), got->data().end()), GetParam().data);
    EXPECT_EQ(got->fd, GetParam().fd);
    EXPECT_EQ(got->brs, GetParam().brs);
}

INSTANTIATE_TEST_SUITE_P(
    Frames, SocketCanRecv,
    ::testing::Values(
        InCase{"classic_standard", raw_frame(0x321, 2, 0, {0xAB, 0xCD}, false),
               CanId::standard(0x321), {0xAB, 0xCD}, false, false},
        InCase{"classic_extended_loses_flag", raw_frame(0x12345678 | CAN_EFF_FLAG, 1, 0, {9}, false),
               CanId::extended(0x12345678), {9}, false, false},
        // A remote frame arrives as can_dlc data bytes with no remote marker.
        InCase{"remote_standard", raw_frame(0x055 | CAN_RTR_FLAG, 4, 0, {}, false),
               CanId::standard(0x055), {0, 0, 0, 0}, false, false},
        InCase{"remote_extended",
               raw_frame(0x1ABCDEF | CAN_EFF_FLAG | CAN_RTR_FLAG, 0, 0, {}, false),
               CanId::extended(0x1ABCDEF), {}, false, false},
        InCase{"fd_brs", raw_frame(0x111, 12, CANFD_FDF | CANFD_BRS, seq(12), true),
               CanId::standard(0x111), seq(12), true, true},
        InCase{"fd_without_brs_full", raw_frame(0x112 | CAN_EFF_FLAG, 64, CANFD_FDF, seq(64), true),
               CanId::extended(0x112), seq(64), true, false},
        InCase{"fd_short", raw_frame(0x113, 5, CANFD_FDF, seq(5), true), CanId::standard(0x113),
               seq(5), true, false}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---- opening ----------------------------------------------------------------

struct OpenCase {
    const char* name;
    std::string iface;
    int code;
};

void PrintTo(const OpenCase& c, std::ostream* os) { *os << c.name; }

class SocketCanOpenFailure : public ::testing::TestWithParam<OpenCase> {};

// Needs no bus: the name is refused before any CAN socket exists.
TEST_P(SocketCanOpenFailure, ReportsTheErrnoAndLeavesNoDescriptor) {
    const std::size_t before = open_fd_count();
    auto t = SocketCanTransport::open(GetParam().iface);
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error(), IoError::from_errno(GetParam().code));
    EXPECT_EQ(open_fd_count(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Names, SocketCanOpenFailure,
    ::testing::Values(OpenCase{"missing", "velkarin-nope", ENODEV},
                      OpenCase{"nul_byte", std::string("a\0b", 3), EINVAL},
                      OpenCase{"nul_byte_after_real_name", std::string("vcan0\0", 6), EINVAL},
                      OpenCase{"longer_than_ifnamsiz", std::string(IFNAMSIZ, 'v'), ENODEV}),
    [](const auto& tp) { return std::string(tp.param.name); });

TEST(SocketCanOpen, MissingInterfaceReadsAsNoSuchDevice) {
    auto t = SocketCanTransport::open("velkarin-nope");
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error().text(), std::string(std::strerror(ENODEV)) + " (os error 19)");
}

// "lo" exists but is no CAN device: the socket is created and bind refuses,
// so this is the path where an open descriptor must be closed again.
TEST(SocketCanOpen, FailedBindClosesTheSocket) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    const std::size_t before = open_fd_count();
    auto t = SocketCanTransport::open("lo");
    ASSERT_FALSE(t.has_value());
    EXPECT_EQ(t.error(), IoError::from_errno(ENODEV));
    EXPECT_EQ(open_fd_count(), before);
}

TEST(SocketCanOpen, DestroyingTheTransportClosesItsSocket) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    const std::size_t before = open_fd_count();
    {
        auto bus = open_vcan0();
        EXPECT_GE(bus.fd(), 0);
        EXPECT_EQ(open_fd_count(), before + 1);
    }
    EXPECT_EQ(open_fd_count(), before);
}

TEST(SocketCanOpen, TwoTransportsOnOneInterfaceSeeEachOthersFramesButNotTheirOwn) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto a = open_vcan0();
    auto b = open_vcan0();
    ASSERT_NE(a.fd(), b.fd());

    ASSERT_TRUE(a.send(CanFrame(CanId::standard(0x0A), Bytes{0xA0})).has_value());
    auto at_b = b.recv(Duration::from_millis(1000));
    ASSERT_TRUE(at_b.has_value()) << at_b.error().text();
    EXPECT_EQ(at_b->id, CanId::standard(0x0A));

    ASSERT_TRUE(b.send(CanFrame(CanId::extended(0x0B), seq(12), true)).has_value());
    auto at_a = a.recv(Duration::from_millis(1000));
    ASSERT_TRUE(at_a.has_value()) << at_a.error().text();
    EXPECT_EQ(at_a->id, CanId::extended(0x0B));
    EXPECT_TRUE(at_a->fd);

    // Neither socket receives its own frame back.
    EXPECT_EQ(a.recv(Duration::from_millis(30)).error(), TransportError::timeout());
    EXPECT_EQ(b.recv(Duration::from_millis(30)).error(), TransportError::timeout());
}

// ---- request over the real socket ------------------------------------------

TEST(SocketCanRequest, SkipsOtherTrafficAndReturnsTheReply) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();
    // A stale reply already queued before the send is still the first match.
    ASSERT_TRUE(peer.write(raw_frame(0x100, 1, 0, {0x01}, false)));
    ASSERT_TRUE(peer.write(raw_frame(0x011 | CAN_EFF_FLAG, 1, 0, {0x02}, false)));
    ASSERT_TRUE(peer.write(raw_frame(0x011, 1, 0, {0x03}, false)));

    auto got = bus.request(CanFrame(CanId::standard(0x001), seq(8)), CanId::standard(0x011),
                           Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    EXPECT_EQ(Bytes(got->data().begin(), got->data().end()), Bytes{0x03});
    EXPECT_EQ(peer.read(), raw_frame(0x001, 8, 0, seq(8), false));
}

// ---- batches ----------------------------------------------------------------

// One sendmmsg and one recvmmsg carry several frames, each exactly as send and
// recv would; a frame the kernel layout refuses ends a send batch short and
// then fails alone, and a batch read takes what is queued without waiting.
TEST(SocketCanBatch, SendsAndReceivesSeveralFramesPerCall) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();
    const std::vector<CanFrame> out{CanFrame(CanId::standard(0x001), seq(8)),
                                    CanFrame(CanId::extended(0x12345), seq(3, 9), true, true),
                                    CanFrame(CanId::standard(0x800), seq(8)),  // out of range
                                    CanFrame(CanId::standard(0x003), seq(2))};

    auto first = bus.send_some(out);
    ASSERT_TRUE(first.has_value()) << first.error().text();
    EXPECT_EQ(*first, 2u);
    EXPECT_EQ(bus.send_some(std::span(out).subspan(2)).error(), TransportError::invalid_id());
    EXPECT_EQ(bus.send_some(std::span(out).subspan(3)).value_or(0), 1u);
    EXPECT_EQ(peer.read(), raw_frame(0x001, 8, 0, seq(8), false));
    EXPECT_EQ(peer.read(), raw_frame(0x12345 | CAN_EFF_FLAG, 3, CANFD_FDF | CANFD_BRS, seq(3, 9), true));
    EXPECT_EQ(peer.read(), raw_frame(0x003, 2, 0, seq(2), false));

    for (std::uint8_t i = 0; i < 3; ++i) ASSERT_TRUE(peer.write(raw_frame(0x011, 1, 0, {i}, false)));
    std::array<CanFrame, 8> in;
    auto got = bus.recv_some(Duration::from_millis(1000), in);
    ASSERT_TRUE(got.has_value()) << got.error().text();
    ASSERT_EQ(*got, 3u);
    for (std::uint8_t i = 0; i < 3; ++i) EXPECT_EQ(in[i].data()[0], i);
    EXPECT_EQ(bus.recv_some(Duration{}, in).error(), TransportError::timeout());  // nothing queued
}

// ---- waiting ----------------------------------------------------------------

TEST(SocketCanRecvTimeout, EndsInTimeoutAfterAboutTheTimeAsked) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = open_vcan0();
    const auto start = Clock::now();
    auto got = bus.recv(Duration::from_millis(150));
    const auto elapsed = Clock::now() - start;
    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_GE(elapsed, 140ms);
    EXPECT_LT(elapsed, 3s);
}

// If a tiny wait became a zero timeval the read would block forever; the
// watchdog then sends a frame, which turns a hang into a visible failure.
class SocketCanTinyTimeout : public ::testing::TestWithParam<Duration> {};

TEST_P(SocketCanTinyTimeout, ReturnsTimeoutPromptly) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();

    std::mutex m;
    std::condition_variable cv;
    bool done = false;
    std::thread watchdog([&] {
        std::unique_lock lock(m);
        if (!cv.wait_for(lock, 2s, [&] { return done; }))
            peer.write(raw_frame(0x7EE, 1, 0, {0xDD}, false));
    });
    const auto start = Clock::now();
    auto got = bus.recv(GetParam());
    const auto elapsed = Clock::now() - start;
    {
        std::lock_guard lock(m);
        done = true;
    }
    cv.notify_one();
    watchdog.join();

    ASSERT_FALSE(got.has_value()) << "the read blocked until the watchdog's frame";
    EXPECT_EQ(got.error(), TransportError::timeout());
    EXPECT_LT(elapsed, 1s);
}

INSTANTIATE_TEST_SUITE_P(Durations, SocketCanTinyTimeout,
                         ::testing::Values(Duration{0, 0}, Duration{0, 1}, Duration{0, 999}));

// Seconds beyond what tv_sec holds must clamp, not wrap negative (which the
// kernel would take as "do not wait"): the read waits for the frame.
TEST(SocketCanRecvTimeout, HugeTimeoutWaitsForTheFrame) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();
    std::thread sender([&] {
        std::this_thread::sleep_for(100ms);
        peer.write(raw_frame(0x0C, 1, 0, {0xC0}, false));
    });
    auto got = bus.recv(Duration{std::numeric_limits<std::uint64_t>::max(), 999'999'999});
    sender.join();
    ASSERT_TRUE(got.has_value()) << got.error().text();
    EXPECT_EQ(got->id, CanId::standard(0x0C));
}

extern "C" void on_test_signal(int) {}

// A handler without SA_RESTART; SO_RCVTIMEO reads are not restarted anyway,
// and recv must hand EINTR up instead of reading again.
TEST(SocketCanRecvTimeout, SignalDuringBlockingReadIsBackendEintr) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = open_vcan0();

    struct sigaction sa {};
    sa.sa_handler = on_test_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    struct sigaction old {};
    ASSERT_EQ(::sigaction(SIGUSR1, &sa, &old), 0);

    // Signal the reading thread until its read has returned, so a signal that
    // lands just before the read starts cannot make the test flaky. The number
    // of signals is bounded: a read that is wrongly restarted then waits out its
    // time-out and fails the test instead of hanging it.
    std::atomic<bool> returned{false};
    const pthread_t reader = ::pthread_self();
    std::thread killer([&] {
        for (int i = 0; i < 20 && !returned.load(); ++i) {
            std::this_thread::sleep_for(50ms);
            if (!returned.load()) ::pthread_kill(reader, SIGUSR1);
        }
    });
    const auto start = Clock::now();
    auto got = bus.recv(Duration::from_millis(5000));
    const auto elapsed = Clock::now() - start;
    returned = true;
    killer.join();
    ::sigaction(SIGUSR1, &old, nullptr);

    ASSERT_FALSE(got.has_value());
    EXPECT_EQ(got.error(), TransportError::backend_errno(EINTR));
    EXPECT_LT(elapsed, 4s);
}

// ---- link state -------------------------------------------------------------

// Brings vcan0 back up whatever the test does.
struct LinkUpGuard {
    ~LinkUpGuard() { std::system("ip link set vcan0 up"); }
};

TEST(SocketCanLink, SendFailsWhileDownAndWorksAgainAfterUp) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    auto bus = open_vcan0();
    {
        LinkUpGuard guard;
        ASSERT_EQ(std::system("ip link set vcan0 down"), 0);
        auto sent = bus.send(CanFrame(CanId::standard(0x1), Bytes{1}));
        ASSERT_FALSE(sent.has_value());
        EXPECT_EQ(sent.error(), TransportError::backend_errno(ENETDOWN));
        ASSERT_EQ(std::system("ip link set vcan0 up"), 0);
    }

    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto sent = bus.send(CanFrame(CanId::standard(0x2), Bytes{2}));
    ASSERT_TRUE(sent.has_value()) << sent.error().text();
    EXPECT_EQ(peer.read(), raw_frame(0x2, 1, 0, {2}, false));

    ASSERT_TRUE(peer.write(raw_frame(0x3, 1, 0, {3}, false)));
    auto got = bus.recv(Duration::from_millis(1000));
    ASSERT_TRUE(got.has_value()) << got.error().text();
    EXPECT_EQ(got->id, CanId::standard(0x3));
}

// A receive buffer that a burst overflows while nobody reads: the kernel
// hands its count of drops to the first frame queued after them.
TEST(SocketCanDrops, AreCountedOnceTheBufferOverflowed) {
    VELKARIN_REQUIRE_BUS_OR_SKIP();
    Peer peer;
    ASSERT_TRUE(peer.ok());
    auto bus = open_vcan0();
    ASSERT_TRUE(bus.keep_bursts(4096).has_value());  // a few frames' worth
    for (int i = 0; i < 200; ++i) ASSERT_TRUE(peer.write(raw_frame(0x5, 1, 0, {1}, false)));
    std::array<CanFrame, SocketCanTransport::kBatch> got;
    while (bus.recv_some(Duration{}, got).value_or(0) > 0) {}
    EXPECT_EQ(bus.dropped(), 0u);  // what was queued came before the drops
    ASSERT_TRUE(peer.write(raw_frame(0x6, 1, 0, {1}, false)));
    ASSERT_TRUE(bus.recv_some(Duration::from_millis(1000), got).has_value());
    EXPECT_GT(bus.dropped(), 100u);
}

}  // namespace
