// inproc_responder: a shared library that answers one Damiao motor's commands from a native
// thread inside the benchmarking process, so a round trip costs no wake-up of another process.
// Loaded with ctypes by the Python benchmarks and with dlopen by the floor program; the thread
// never touches Python, so it runs while the caller holds the interpreter lock.
#include <valgrind/callgrind.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <thread>

#include "raw_can.hpp"

namespace {

// Reads time out this often so that a stop request is seen without any frame arriving.
constexpr int kPollMs = 20;

// The feedback a motor at rest sends: status 1 (enabled) over the id nibble, position
// 0x7FFF, velocity 0x7FF, torque 0x7FF, 30 and 40 degrees Celsius.
constexpr std::array<std::uint8_t, 7> kFeedbackTail{0x7F, 0xFF, 0x7F, 0xF7, 0xFF, 0x1E, 0x28};

class Responder {
public:
    Responder(bench::Fd fd, unsigned motor_id, unsigned master_id)
        : fd_(std::move(fd)), motor_id_(motor_id & CAN_SFF_MASK) {
        reply_.can_id = master_id & CAN_SFF_MASK;
        reply_.len = 8;
        reply_.data[0] = static_cast<std::uint8_t>(0x10 | (motor_id & 0x0F));
        for (std::size_t i = 0; i < kFeedbackTail.size(); ++i) reply_.data[i + 1] = kFeedbackTail[i];
        thread_ = std::jthread([this](std::stop_token stop) { serve(stop); });
    }

    // Joins the thread (jthread asks it to stop first) and reports how many frames it answered.
    unsigned long long stop() {
        thread_.request_stop();
        thread_.join();
        return answered_.load();
    }

private:
    // The motor answers a command on its id and on the three mode ids (0x100, 0x200, 0x300
    // above it); anything else on the bus is not for it.
    bool addressed_to_motor(const can_frame& f) const {
        if (f.can_id & (CAN_EFF_FLAG | CAN_RTR_FLAG | CAN_ERR_FLAG)) return false;
        const canid_t offset = (f.can_id - motor_id_) & CAN_SFF_MASK;
        return offset == 0 || offset == 0x100 || offset == 0x200 || offset == 0x300;
    }

    void serve(const std::stop_token& stop) {
        can_frame in{};
        while (!stop.stop_requested()) {
            const ssize_t n = ::recv(fd_.get(), &in, sizeof in, 0);
            if (n != static_cast<ssize_t>(sizeof in)) continue;  // time-out, or not a classic frame
            if (!addressed_to_motor(in)) continue;
            if (::send(fd_.get(), &reply_, sizeof reply_, 0) == static_cast<ssize_t>(sizeof reply_))
                answered_.fetch_add(1, std::memory_order_relaxed);
        }
    }

    bench::Fd fd_;
    canid_t motor_id_;
    can_frame reply_{};
    std::atomic<unsigned long long> answered_{0};
    std::jthread thread_;  // last: it starts after every field it reads is set
};

}  // namespace

extern "C" {

// Starts answering motor `motor_id` with feedback on `master_id` on `iface`. Returns a handle
// for bench_responder_stop, or null with a message in `err` (at most `errlen` bytes).
[[gnu::visibility("default")]] void* bench_responder_start(const char* iface, unsigned motor_id,
                                                           unsigned master_id, char* err,
                                                           unsigned errlen) {
    auto fd = bench::open_raw_can(iface, kPollMs);
    if (!fd) {
        if (err != nullptr && errlen > 0) std::snprintf(err, errlen, "%s", fd.error().c_str());
        return nullptr;
    }
    auto r = std::make_unique<Responder>(std::move(*fd), motor_id, master_id);
    return r.release();  // owned by the caller until bench_responder_stop
}

// Stops the responder, frees it and returns the number of frames it answered.
[[gnu::visibility("default")]] unsigned long long bench_responder_stop(void* handle) {
    if (handle == nullptr) return 0;
    std::unique_ptr<Responder> r(static_cast<Responder*>(handle));
    return r->stop();
}

// Switches callgrind's collection on or off (a no-op outside valgrind), so that a profile
// counts exactly the measured loop.
[[gnu::visibility("default")]] void bench_callgrind_toggle() { CALLGRIND_TOGGLE_COLLECT; }

}  // extern "C"
