// MIT scaling limits of the Damiao models, one row per model, by name. The
// Python class's preset methods and the simulator's models are made from this
// table, in its order.
#pragma once

#include <array>
#include <bit>
#include <cstdint>
#include <string_view>

#include "mit/codec.hpp"

namespace velkarin::damiao::presets {

// The float nearest to 12.566 (about 4 pi), bit pattern 0x41490E56.
inline constexpr float k12_566 = std::bit_cast<float>(std::uint32_t{0x41490E56});

struct Preset {
    std::string_view name;
    MitLimits limits;
};

//                                            p_max    v_max   kp_max kd_max t_max
inline constexpr std::array<Preset, 15> kAll{{
    {"dm3507",   {k12_566, 50.0f,  500.0f, 5.0f, 5.0f}},
    {"dm4310",   {12.5f,   30.0f,  500.0f, 5.0f, 10.0f}},
    {"dm4310p",  {12.5f,   50.0f,  500.0f, 5.0f, 10.0f}},
    {"dm4340",   {12.5f,   10.0f,  500.0f, 5.0f, 28.0f}},
    {"dm4340p",  {12.5f,   10.0f,  500.0f, 5.0f, 28.0f}},
    {"dm6006",   {12.5f,   45.0f,  500.0f, 5.0f, 20.0f}},
    {"dm6248p",  {k12_566, 20.0f,  500.0f, 5.0f, 120.0f}},
    {"dm8006",   {12.5f,   45.0f,  500.0f, 5.0f, 40.0f}},
    {"dm8009",   {12.5f,   45.0f,  500.0f, 5.0f, 54.0f}},
    {"dm10010",  {12.5f,   20.0f,  500.0f, 5.0f, 200.0f}},
    {"dm10010l", {12.5f,   25.0f,  500.0f, 5.0f, 200.0f}},
    {"dmg6215",  {12.5f,   45.0f,  500.0f, 5.0f, 10.0f}},
    {"dmh3510",  {12.5f,   280.0f, 500.0f, 5.0f, 1.0f}},
    {"dmh6220",  {12.5f,   45.0f,  500.0f, 5.0f, 10.0f}},
    {"dmjh11",   {12.5f,   10.0f,  500.0f, 5.0f, 12.0f}},
}};

// The preset called `name`, or nullptr.
constexpr const Preset* find(std::string_view name) {
    for (const auto& p : kAll)
        if (p.name == name) return &p;
    return nullptr;
}

}  // namespace velkarin::damiao::presets
