// The wire-timed bus: when each answer leaves, given the frames' lengths, arbitration,
// the motors' latency, and host frames that come while answers wait.
#include <gtest/gtest.h>

#include "sim/simulator.hpp"
#include "sim_frames.hpp"

namespace velkarin::sim {
namespace {

using namespace testing;

constexpr transport::BusRates k1M{1'000'000, 0};
constexpr auto kLatency = 100us;

Clock::duration len(const CanFrame& f) { return transport::wire_time(*transport::frame_bits(f), k1M); }

CanFrame feedback(std::uint16_t master) { return frame(master, {1, 2, 3, 4, 5, 6, 7, 8}); }

struct Sent {
    TimePoint at;
    CanFrame frame;
};

// Everything the timeline hands back, at the times it says, until it has no more.
std::vector<Sent> drain(BusTimeline& t) {
    std::vector<Sent> out;
    while (const auto next = t.next_due())
        for (auto& f : t.take_due(*next)) out.push_back({*next, std::move(f)});
    return out;
}

// Six commands in one burst: they hold the bus first, since the host's queued
// frames have lower identifiers; the answers, ready within the latency,
// follow back to back, lowest identifier first, whatever order they came in.
TEST(BusTimeline, ABurstOfCommandsGoesFirstThenTheAnswersByIdentifier) {
    BusTimeline t(k1M, kLatency);
    Clock::duration wire{};
    for (const int n : {3, 1, 2, 6, 5, 4}) {
        const auto id = static_cast<std::uint16_t>(n);
        const auto reply = feedback(static_cast<std::uint16_t>(0x10 + id));
        t.host_frame(mit(id, {}), kT0);
        t.answer(reply, 0ms);
        wire += len(mit(id, {})) + len(reply);
    }
    const auto sent = drain(t);
    ASSERT_EQ(sent.size(), 6u);
    for (std::uint16_t i = 0; i < sent.size(); ++i)
        EXPECT_EQ(sent[i].frame.id, CanId::standard(static_cast<std::uint16_t>(0x11 + i)));
    EXPECT_EQ(sent.back().at, kT0 + wire);
}

// A host frame heard while an answer waits out the latency takes the bus
// first; one heard after the answer started waits for its end, and a
// frame nobody answers still takes its time.
TEST(BusTimeline, HostFramesTakeTheBusAsTheyCome) {
    BusTimeline t(k1M, kLatency);
    t.host_frame(enable(1), kT0);
    t.answer(feedback(0x11), 0ms);
    const auto ready = kT0 + len(enable(1)) + kLatency;
    ASSERT_EQ(t.next_due(), ready + len(feedback(0x11)));
    t.host_frame(enable(9), ready - 1us);  // no motor 9: nothing answers
    EXPECT_EQ(t.next_due(), ready - 1us + len(enable(9)) + len(feedback(0x11)));

    BusTimeline u(k1M, kLatency);
    u.host_frame(enable(1), kT0);
    u.answer(feedback(0x11), 0ms);
    u.take_due(ready + 1us);  // the answer is on the wire
    u.host_frame(enable(2), ready + 1us);
    u.answer(feedback(0x12), 5ms);  // a reply fault's delay adds to the latency
    const auto sent = drain(u);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0].at, ready + len(feedback(0x11)));
    EXPECT_EQ(sent[1].at, sent[0].at + len(enable(2)) + kLatency + 5ms + len(feedback(0x12)));
}

// A reply waits for its command's end, the latency, a reply fault's delay and its own bits.
TEST(Simulator, OnAWireTimedBusADelayedReplyWaitsForTheWireToo) {
    SimConfig c;
    c.motors = {{1, 0x11, &dm4310(), std::nullopt}};
    c.faults.delay = 2ms;
    c.wire = WireTiming{k1M, kLatency};
    Simulator sim(c, kT0);
    sim.on_frame(enable(1), kT0);
    const auto due = sim.next_due();
    ASSERT_TRUE(due);
    const auto out = sim.take_due(*due);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(*due, kT0 + len(enable(1)) + kLatency + 2ms + len(out[0]));
}

}  // namespace
}  // namespace velkarin::sim
