// How reply faults turn one feedback or register reply into what the bus sees.
#include "sim/faults.hpp"


namespace velkarin::sim {
namespace {


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
    if (faults.classic_only) f.fd = f.brs = false;
    const TimePoint due = now + faults.delay;
    out.push_back({due, f});
    if (faults.duplicate) out.push_back({due, f});
    return out;
}

// The faults are the status codes from over-voltage up, by the names the
// core gives them (the tool prints the same words).
std::optional<Status> status_fault_by_name(std::string_view name) {
    for (const auto& [status, n] : damiao::kStatusNames)
        if (n == name && damiao::is_fault(status)) return status;
    return std::nullopt;
}

std::string status_fault_names() {
    std::string out;
    for (const auto& [status, n] : damiao::kStatusNames) {
        if (!damiao::is_fault(status)) continue;
        if (!out.empty()) out += ' ';
        out += n;
    }
    return out;
}

}  // namespace velkarin::sim
