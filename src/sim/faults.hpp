// Reply faults a simulated motor can be told to show: lost, late, doubled
// and truncated replies, and silence (off the bus). Pure: randomness comes
// from a seeded generator the caller owns.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "sim/firmware.hpp"

namespace velkarin::sim {

struct ReplyFaults {
    double drop = 0.0;                            // fraction of replies lost, 0..1
    std::chrono::milliseconds delay{0};           // every reply this late
    bool duplicate = false;                       // every reply sent twice
    std::optional<std::size_t> short_len;         // replies cut to this many bytes (0..7)
    bool silent = false;                          // neither acts on frames nor answers
    bool classic_only = false;                    // answers FD frames with classic ones
    friend bool operator==(const ReplyFaults&, const ReplyFaults&) = default;
};

struct Scheduled {
    TimePoint due;
    CanFrame frame;
};

// The copies of `reply` that reach the bus under `faults`, each with its
// due time: none (dropped), one, or two (duplicated). A silent motor never
// gets here: it does not answer at all.
std::vector<Scheduled> shape_reply(const CanFrame& reply, const ReplyFaults& faults,
                                   TimePoint now, std::mt19937_64& rng);

// Status codes a user can raise, by their names: "over-voltage", ...,
// "overload" (damiao::kStatusNames from over-voltage on).
std::optional<Status> status_fault_by_name(std::string_view name);
// Those names, separated by spaces.
std::string status_fault_names();

}  // namespace velkarin::sim
