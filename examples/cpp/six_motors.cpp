// six_motors: six Damiao motors on one bus, driven in batched cycles: enable all, a MIT sine
// on each for a few seconds, disable all; prints the cycle rate, the worst cycle and how well
// each motor tracked its own target.
//
//   six_motors [--iface vcan0] [--seconds 3] [--rate HZ] [--timeout-ms 50]
//
// Motor i (1..6) is CAN id i with master id 0x10 + i, a DM4310, in MIT mode:
//   velkarin-sim --iface vcan0 --motor 1:0x11:DM4310 ... --motor 6:0x16:DM4310
// --rate 0 (the default) runs the cycles back to back. Exit status: 0 when every motor
// answered and tracked, 1 when one did not (or the bus could not be opened), 2 for bad usage.
#include <velkarin/damiao/cycle.hpp>
#include <velkarin/damiao/presets.hpp>
#include <velkarin/transport/socketcan_backend.hpp>
#include <velkarin/version.hpp>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

namespace dm = velkarin::damiao;
namespace vt = velkarin::transport;
using Clock = std::chrono::steady_clock;

constexpr std::size_t kMotors = 6;
// MIT gains and targets: each motor follows its own sine, so a reply given to the wrong
// motor would show as a tracking error.
constexpr float kKp = 30.0f;
constexpr float kKd = 1.0f;
constexpr double kAmplitude = 1.0;  // rad
// Good tracking for these gains on a DM4310: well under a tenth of the amplitude.
constexpr double kRmsLimit = 0.05;     // rad
constexpr double kMissingLimit = 0.01;  // fraction of cycles a motor may not answer

struct Options {
    std::string iface = "vcan0";
    double seconds = 3.0;
    double rate = 0.0;
    std::uint64_t timeout_ms = 50;
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "six_motors: %s\nusage: six_motors [--iface vcan0] [--seconds 3] "
                         "[--rate HZ] [--timeout-ms 50]\n", why.c_str());
    std::exit(2);
}

double number(const char* text, const std::string& what) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= 0)) usage("bad " + what + ": " + text);
    return v;
}

Options parse(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; ++i) {
        const std::string_view a = argv[i];
        if (i + 1 >= argc) usage(std::string(a) + " needs a value");
        const char* v = argv[++i];
        if (a == "--iface") o.iface = v;
        else if (a == "--seconds") o.seconds = number(v, "--seconds");
        else if (a == "--rate") o.rate = number(v, "--rate");
        else if (a == "--timeout-ms") o.timeout_ms = static_cast<std::uint64_t>(number(v, "--timeout-ms"));
        else usage("unknown argument " + std::string(a));
    }
    return o;
}

// Motor i's target at time t: its own frequency, starting at rest in the middle.
struct Target {
    double q;
    double dq;
};
Target target(std::size_t i, double t) {
    const double w = 2.0 * std::numbers::pi * (0.4 + 0.1 * static_cast<double>(i));
    return {kAmplitude * std::sin(w * t), kAmplitude * w * std::cos(w * t)};
}

struct Tracking {
    double sum_sq = 0.0;
    double worst = 0.0;
    std::size_t answered = 0;
    std::size_t missing = 0;
};

// One cycle of the same command to every motor; false (with a message) unless all answered.
bool all_answer(vt::CanTransport& bus, const std::vector<dm::Damiao>& motors, dm::Command command,
                const char* what) {
    std::vector<dm::MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, command});
    std::array<dm::Result<dm::MotorState>, kMotors> out;
    if (auto r = dm::run_cycle(bus, commands, out); !r) {
        std::fprintf(stderr, "six_motors: %s: %s\n", what, r.error().text().c_str());
        return false;
    }
    bool ok = true;
    for (std::size_t i = 0; i < kMotors; ++i) {
        if (!out[i]) {
            std::fprintf(stderr, "six_motors: %s motor %zu: %s\n", what, i + 1,
                         out[i].error().text().c_str());
            ok = false;
        }
    }
    return ok;
}

double percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    const auto rank = static_cast<std::size_t>(std::ceil(p / 100.0 * static_cast<double>(v.size())));
    return v[std::max<std::size_t>(rank, 1) - 1];
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto bus = vt::SocketCanTransport::open(o.iface);
    if (!bus) {
        std::fprintf(stderr, "six_motors: cannot open %s: %s\n", o.iface.c_str(),
                     bus.error().text().c_str());
        return 1;
    }
    const dm::MitLimits limits = dm::presets::find("dm4310")->limits;
    std::vector<dm::Damiao> motors;
    for (std::uint16_t i = 1; i <= kMotors; ++i)
        motors.emplace_back(i, static_cast<std::uint16_t>(0x10 + i), limits, o.timeout_ms);

    std::printf("velkarin %s: %zu motors on %s, batched cycles for %.1f s\n", velkarin::kVersion,
                kMotors, o.iface.c_str(), o.seconds);
    if (!all_answer(*bus, motors, dm::commands::Enable{}, "enable")) return 1;

    // Everything the loop needs is set up here: a cycle allocates nothing.
    std::vector<dm::MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, dm::MitSetpoint{}});
    std::array<dm::Result<dm::MotorState>, kMotors> out;
    std::array<Tracking, kMotors> tracking{};
    std::vector<double> cycle_us;
    cycle_us.reserve(static_cast<std::size_t>(std::max(o.rate, 20000.0) * o.seconds) + 1);
    const auto period = o.rate > 0 ? std::chrono::duration<double>(1.0 / o.rate)
                                   : std::chrono::duration<double>(0);

    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(o.seconds));
    Clock::time_point due = start;
    bool refused = false;
    for (Clock::time_point now = start; now < end && cycle_us.size() < cycle_us.capacity();
         now = Clock::now()) {
        const double t = std::chrono::duration<double>(now - start).count();
        std::array<Target, kMotors> goal;
        for (std::size_t i = 0; i < kMotors; ++i) {
            goal[i] = target(i, t);
            commands[i].command = dm::MitSetpoint{static_cast<float>(goal[i].q),
                                                  static_cast<float>(goal[i].dq), kKp, kKd, 0.0f};
        }
        if (auto r = dm::run_cycle(*bus, commands, out); !r) {
            std::fprintf(stderr, "six_motors: %s\n", r.error().text().c_str());
            refused = true;
            break;
        }
        cycle_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - now).count());
        for (std::size_t i = 0; i < kMotors; ++i) {
            Tracking& k = tracking[i];
            if (!out[i]) {
                ++k.missing;
                continue;
            }
            const double e = out[i]->position - goal[i].q;
            k.sum_sq += e * e;
            k.worst = std::max(k.worst, std::abs(e));
            ++k.answered;
        }
        if (o.rate > 0) {
            due += std::chrono::duration_cast<Clock::duration>(period);
            std::this_thread::sleep_until(due);
        }
    }
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const bool disabled = all_answer(*bus, motors, dm::commands::Disable{}, "disable");
    if (refused || cycle_us.empty()) return 1;

    std::printf("%zu cycles in %.2f s: %.0f cycles/s; cycle median %.0f us, p99 %.0f us, "
                "worst %.0f us\n",
                cycle_us.size(), elapsed, static_cast<double>(cycle_us.size()) / elapsed,
                percentile(cycle_us, 50), percentile(cycle_us, 99),
                *std::max_element(cycle_us.begin(), cycle_us.end()));
    std::printf("motor  answered  missing  tracking error rms   max (rad)\n");
    bool tracked = true;
    for (std::size_t i = 0; i < kMotors; ++i) {
        const Tracking& k = tracking[i];
        const double rms = k.answered ? std::sqrt(k.sum_sq / static_cast<double>(k.answered)) : NAN;
        const bool ok = k.answered > 0 && rms < kRmsLimit &&
                        static_cast<double>(k.missing) <= kMissingLimit * static_cast<double>(cycle_us.size());
        tracked = tracked && ok;
        std::printf("%5zu  %8zu  %7zu  %17.4f  %6.4f  %s\n", i + 1, k.answered, k.missing, rms,
                    k.worst, ok ? "tracks" : "DOES NOT TRACK");
    }
    return tracked && disabled ? 0 : 1;
}
