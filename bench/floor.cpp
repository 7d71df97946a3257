// floor: the least any program can do for one MIT command on SocketCAN, the baseline of the
// benchmarks: write one 16-byte can_frame to a raw socket and read frames until the reply id.
//
//   floor --iface vcan0 --id 1 --master 0x11 --payload 7FFF7FF0000007FF --iterations N
//         [--warmup N] [--stamps] [--deadline] [--responder LIB.so] [--callgrind]
//
// --deadline makes the system calls a command/reply exchange with a deadline makes: after the
// send one clock read for the deadline, then before each read a clock read and SO_RCVTIMEO set
// to the time left. Measured beside the plain floor, it shows what those calls cost here.
//
// Prints one JSON object: iterations, wall_ns, cpu_ns (getrusage of this thread over the
// loop), answered (frames the in-process responder answered, or null) and lat_ns (one
// entry per command when --stamps is given, else empty).
#include <dlfcn.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <expected>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "args.hpp"
#include "raw_can.hpp"
#include "timed_loop.hpp"

namespace {

// Generous: a missing reply ends the run with a message instead of hanging it.
constexpr int kReplyTimeoutMs = 1000;

struct Options {
    std::string iface = "vcan0";
    unsigned id = 1;
    unsigned master = 0x11;
    std::array<std::uint8_t, 8> payload{};
    long warmup = 500;
    long iterations = 10000;
    bool stamps = false;
    bool deadline = false;
    std::string responder;  // shared library with bench_responder_start/stop
    bool callgrind = false;
};

[[noreturn]] void die(const std::string& what) { bench::die("floor", what); }

std::array<std::uint8_t, 8> hex_payload(std::string_view hex) {
    if (hex.size() != 16) die("--payload wants 16 hex digits");
    std::array<std::uint8_t, 8> out{};
    for (std::size_t i = 0; i < out.size(); ++i) {
        const std::string byte(hex.substr(2 * i, 2));
        char* end = nullptr;
        const unsigned long v = std::strtoul(byte.c_str(), &end, 16);
        if (*end != '\0') die("--payload wants 16 hex digits");
        out[i] = static_cast<std::uint8_t>(v);
    }
    return out;
}

Options parse(int argc, char** argv) {
    Options o;
    for (bench::Args a("floor", argc, argv); a.next();) {
        const std::string_view n = a.name();
        if (n == "--iface") o.iface = a.value();
        else if (n == "--id") o.id = static_cast<unsigned>(a.count());
        else if (n == "--master") o.master = static_cast<unsigned>(a.count());
        else if (n == "--payload") o.payload = hex_payload(a.value());
        else if (n == "--warmup") o.warmup = a.count();
        else if (n == "--iterations") o.iterations = a.count();
        else if (n == "--stamps") o.stamps = true;
        else if (n == "--deadline") o.deadline = true;
        else if (n == "--responder") o.responder = a.value();
        else if (n == "--callgrind") o.callgrind = true;
        else a.unknown();
    }
    return o;
}

// The in-process responder, loaded from its shared library and stopped on scope exit.
class InprocResponder {
public:
    using Start = void* (*)(const char*, unsigned, unsigned, char*, unsigned);
    using Stop = unsigned long long (*)(void*);

    InprocResponder(const std::string& lib, const Options& o) {
        lib_ = ::dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (lib_ == nullptr) die(std::string("dlopen: ") + ::dlerror());
        auto start = reinterpret_cast<Start>(::dlsym(lib_, "bench_responder_start"));
        stop_ = reinterpret_cast<Stop>(::dlsym(lib_, "bench_responder_stop"));
        if (start == nullptr || stop_ == nullptr) die("responder library lacks its entry points");
        std::array<char, 256> err{};
        handle_ = start(o.iface.c_str(), o.id, o.master, err.data(), err.size());
        if (handle_ == nullptr) die(std::string("responder: ") + err.data());
    }
    InprocResponder(const InprocResponder&) = delete;
    InprocResponder& operator=(const InprocResponder&) = delete;
    ~InprocResponder() {
        if (handle_ != nullptr) stop_(handle_);
        if (lib_ != nullptr) ::dlclose(lib_);
    }
    unsigned long long stop() { return stop_(std::exchange(handle_, nullptr)); }

private:
    void* lib_ = nullptr;
    Stop stop_ = nullptr;
    void* handle_ = nullptr;
};

// One command: the frame out, then frames in until one carries the reply id.
void round_trip(int fd, const can_frame& out, canid_t reply_id) {
    if (::send(fd, &out, sizeof out, 0) != static_cast<ssize_t>(sizeof out)) die(bench::errno_text("send", errno));
    can_frame in{};
    for (;;) {
        const ssize_t n = ::recv(fd, &in, sizeof in, 0);
        if (n < 0) die(errno == EAGAIN ? std::string("no reply within 1 s") : bench::errno_text("recv", errno));
        if (n == static_cast<ssize_t>(sizeof in) && in.can_id == reply_id) return;
    }
}

// The same exchange bounded by one deadline: a clock read after the send, and before every
// read a clock read and the receive time-out set to what is left.
void round_trip_deadline(int fd, const can_frame& out, canid_t reply_id) {
    constexpr std::int64_t timeout_ns = std::int64_t{kReplyTimeoutMs} * 1'000'000;
    if (::send(fd, &out, sizeof out, 0) != static_cast<ssize_t>(sizeof out)) die(bench::errno_text("send", errno));
    const std::int64_t deadline = bench::now_ns() + timeout_ns;
    can_frame in{};
    for (;;) {
        const std::int64_t left = deadline - bench::now_ns();
        if (left < 0) die("no reply within 1 s");
        timeval tv{};
        tv.tv_sec = static_cast<time_t>(left / 1'000'000'000);
        tv.tv_usec = static_cast<suseconds_t>(left % 1'000'000'000 / 1000);
        if (tv.tv_sec == 0 && tv.tv_usec == 0) tv.tv_usec = 1;
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) < 0) die(bench::errno_text("setsockopt", errno));
        const ssize_t n = ::recv(fd, &in, sizeof in, 0);
        if (n < 0) die(errno == EAGAIN ? std::string("no reply within 1 s") : bench::errno_text("recv", errno));
        if (n == static_cast<ssize_t>(sizeof in) && in.can_id == reply_id) return;
    }
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    std::optional<InprocResponder> responder;
    if (!o.responder.empty()) responder.emplace(o.responder, o);

    auto fd = bench::open_raw_can(o.iface.c_str(), kReplyTimeoutMs);
    if (!fd) die(fd.error());

    can_frame out{};
    out.can_id = o.id & CAN_SFF_MASK;
    out.len = 8;
    std::memcpy(out.data, o.payload.data(), o.payload.size());
    const canid_t reply_id = o.master & CAN_SFF_MASK;

    auto* const command = o.deadline ? round_trip_deadline : round_trip;
    const bench::Run run = bench::timed_loop([&] { command(fd->get(), out, reply_id); },
                                             o.iterations, o.warmup, o.stamps, o.callgrind);

    std::string answered = "null";
    if (responder) answered = std::to_string(responder->stop());
    bench::print_run(run, "\"answered\": " + answered);
    return 0;
}
