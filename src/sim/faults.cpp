// How reply faults turn one feedback or register reply into what the bus sees.
#include "sim/faults.hpp"

#include <array>
#include <utility>

namespace velkarin::sim {
namespace {

constexpr std::array<std::pair<std::string_view, Status>, 7> kStatusFaults{{
    {"overvoltage", Status::OverVoltage},
    {"undervoltage", Status::UnderVoltage},
    {"overcurrent", Status::OverCurrent},
    {"overtemp", Status::MosOverTemperature},
    {"rotor-overtemp", Status::RotorOverTemperature},
    {"lostcomm", Status::LostCommunication},
    {"overload", Status::Overload},
}};

// Uniform in [0, 1) from the top 53 bits: the same sequence for a seed on
// every standard library, unlike std::uniform_real_distribution.
double unit(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1p-53; }

}  // namespace

std::vector<Scheduled> shape_reply(const CanFrame& reply, const ReplyFaults& faults,
                                   TimePoint now, std::mt19937_64& rng) {
    std::vector<Scheduled> out;
    if (faults.silent) return out;
    if (faults.drop > 0.0 && unit(rng) < faults.drop) return out;
    CanFrame f = reply;
    if (faults.short_len && *faults.short_len < f.size()) f.resize(*faults.short_len);
    const TimePoint due = now + faults.delay;
    out.push_back({due, f});
    if (faults.duplicate) out.push_back({due, f});
    return out;
}

std::optional<Status> status_fault_by_name(std::string_view name) {
    for (const auto& [n, s] : kStatusFaults)
        if (n == name) return s;
    return std::nullopt;
}

std::string_view status_fault_names() {
    return "overvoltage|undervoltage|overcurrent|overtemp|rotor-overtemp|lostcomm|overload";
}

}  // namespace velkarin::sim
