// An in-memory bus for driver and request tests: records every frame sent,
// answers each recv from a script, and reports what the script left unused.
#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "transport/transport.hpp"

namespace velkarin::testing {

using transport::CanFrame;
using transport::CanId;
using transport::Duration;
using transport::Result;
using transport::TransportError;

class ScriptedTransport final : public transport::CanTransport {
public:
    // One scripted answer to a recv: a frame or an error, optionally after
    // a real delay (to let deadlines pass), which a read with no time to
    // wait does not sit out.
    struct Step {
        Result<CanFrame> result;
        std::chrono::nanoseconds delay{0};
    };

    std::vector<CanFrame> sent;             // every frame handed to send, in order
    std::vector<Duration> recv_timeouts;    // the time-out of every recv call
    std::deque<Step> script;                // consumed by recv, front first
    std::deque<TransportError> send_errors; // consumed by send, one per call
    // Called after each successful send; may push replies onto `script`.
    std::function<void(const CanFrame&, ScriptedTransport&)> on_send;

    void reply(CanFrame f, std::chrono::nanoseconds delay = {}) {
        script.push_back({std::move(f), delay});
    }
    void fail_recv(TransportError e, std::chrono::nanoseconds delay = {}) {
        script.push_back({std::unexpected(e), delay});
    }
    // How many scripted answers were never read, which a test that meant to
    // leave some checks; they count as used from then on.
    std::size_t take_unused() {
        const std::size_t n = script.size();
        script.clear();
        return n;
    }

    // A test that scripted more than its code consumed has not checked what
    // it meant to: the leftovers fail it.
    ~ScriptedTransport() override {
        EXPECT_TRUE(script.empty()) << script.size() << " scripted recv answer(s) left unused";
        EXPECT_TRUE(send_errors.empty()) << send_errors.size() << " scripted send error(s) left unused";
    }

    Result<void> send(const CanFrame& frame) override {
        if (!send_errors.empty()) {
            auto e = send_errors.front();
            send_errors.pop_front();
            return std::unexpected(e);
        }
        sent.push_back(frame);
        if (on_send) on_send(frame, *this);
        return {};
    }

    // With the script empty, behaves like a silent bus: waits out the
    // time-out (capped, so a broken test cannot hang) and reports Timeout.
    Result<CanFrame> recv(Duration timeout) override {
        recv_timeouts.push_back(timeout);
        if (script.empty()) {
            auto wait = std::min<std::chrono::steady_clock::duration>(timeout.to_clock(),
                                                                     std::chrono::seconds(2));
            std::this_thread::sleep_for(wait);
            return std::unexpected(TransportError::timeout());
        }
        // A read that may not wait takes only what has arrived already.
        if (timeout.is_zero() && script.front().delay.count() > 0)
            return std::unexpected(TransportError::timeout());
        Step step = std::move(script.front());
        script.pop_front();
        if (step.delay.count() > 0) std::this_thread::sleep_for(step.delay);
        return step.result;
    }
};

inline CanFrame classic(std::uint16_t id, std::vector<std::uint8_t> bytes) {
    return CanFrame(CanId::standard(id), bytes);
}

}  // namespace velkarin::testing
