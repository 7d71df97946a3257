// The table of simulated models: one row per preset, the MIT ranges taken
// from the core's presets so the two can never disagree.
#include "sim/models.hpp"

#include <array>

#include "damiao/names.hpp"
#include "damiao/presets.hpp"

namespace velkarin::sim {
namespace {

constexpr damiao::MitLimits limits_of(std::string_view name) {
    const auto* p = damiao::presets::find(name);
    return p != nullptr ? p->limits : damiao::MitLimits{};
}

constexpr MotorModel row(std::string_view n, double j, double b, double tpk, float gr,
                        std::uint32_t npp, float rs, float ls, float flux, float kt) {
    return {n, limits_of(n), j, b, tpk, gr, npp, rs, ls, flux, kt};
}

//   name        inertia damping peak   gear   npp  Rs     Ls       flux     Kt
constexpr std::array<MotorModel, 15> kModels{{
    row("dm3507", 1.2e-4, 0.004, 1.5, 1.0f, 14, 1.9f, 6.1e-4f, 0.0052f, 0.11f),
    row("dm4310", 1.8e-3, 0.020, 7.0, 10.0f, 14, 0.9f, 3.6e-4f, 0.0046f, 0.95f),
    row("dm4310p", 1.4e-3, 0.020, 7.0, 6.0f, 14, 0.9f, 3.6e-4f, 0.0046f, 0.58f),
    row("dm4340", 3.6e-3, 0.040, 27.0, 40.0f, 14, 0.6f, 2.9e-4f, 0.0043f, 3.6f),
    row("dm4340p", 3.6e-3, 0.040, 27.0, 40.0f, 14, 0.6f, 2.9e-4f, 0.0043f, 3.6f),
    row("dm6006", 5.0e-3, 0.050, 12.0, 6.0f, 14, 0.35f, 2.0e-4f, 0.0071f, 0.9f),
    row("dm6248p", 4.0e-2, 0.300, 120.0, 48.0f, 14, 0.25f, 1.4e-4f, 0.0074f, 7.5f),
    row("dm8006", 1.2e-2, 0.100, 20.0, 6.0f, 21, 0.12f, 9.0e-5f, 0.0082f, 1.55f),
    row("dm8009", 1.6e-2, 0.120, 40.0, 9.0f, 21, 0.11f, 8.5e-5f, 0.0085f, 2.4f),
    row("dm10010", 6.0e-2, 0.400, 150.0, 10.0f, 21, 0.08f, 6.0e-5f, 0.0150f, 4.7f),
    row("dm10010l", 5.0e-2, 0.350, 120.0, 8.0f, 21, 0.08f, 6.0e-5f, 0.0150f, 3.8f),
    row("dmg6215", 3.0e-3, 0.030, 8.0, 8.0f, 14, 0.45f, 2.4e-4f, 0.0060f, 1.0f),
    row("dmh3510", 2.0e-5, 0.0005, 0.45, 1.0f, 7, 2.8f, 8.0e-4f, 0.0038f, 0.04f),
    row("dmh6220", 3.0e-3, 0.030, 8.0, 8.0f, 14, 0.45f, 2.4e-4f, 0.0060f, 1.0f),
    row("dmjh11", 2.5e-3, 0.030, 11.0, 11.0f, 14, 0.7f, 3.2e-4f, 0.0050f, 1.2f),
}};

// Every model takes its ranges from a preset of the same name, and its peak
// torque fits the torque range its feedback is packed into.
constexpr bool table_is_consistent() {
    for (const auto& m : kModels) {
        if (damiao::presets::find(m.name) == nullptr) return false;
        if (m.torque_limit > static_cast<double>(m.limits.t_max)) return false;
    }
    return true;
}
static_assert(table_is_consistent());

}  // namespace

std::span<const MotorModel> all_models() { return kModels; }

const MotorModel* find_model(std::string_view name) {
    for (const auto& m : kModels)
        if (damiao::same_name(m.name, name)) return &m;
    return nullptr;
}

}  // namespace velkarin::sim
