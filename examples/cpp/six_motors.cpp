// six_motors: six Damiao motors on one bus, driven in batched cycles: enable all, which reads
// where each one is; ramp each from there to its sine's start (at rest) within --ramp-speed; a
// MIT sine on each for about --seconds, whole periods; ramp back to where they were; disable
// all. Prints the cycle rate, the worst cycle and how well each motor tracked its own target.
//
//   six_motors [--iface vcan0] [--seconds 3] [--rate HZ] [--timeout-ms 50] [--ramp-speed 1]
//
// Motor i (1..6) is CAN id i with master id 0x10 + i, a DM4310, in MIT mode. On the virtual
// motors, the README's section "C++ programs" has the command (tools/with-sim). --rate 0 (the
// default) runs the cycles back to back. Exit status: 0 when every motor answered and tracked,
// 1 when one did not (or the bus could not be opened, or a motor was too far from its start to
// ramp there in time), 2 for bad usage.
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
// A ramp takes at least kMinRampS, so that it starts and ends gently; a motor further from its
// start than kMaxRampS allows at the speed limit is not moved.
constexpr double kMinRampS = 0.5;
constexpr double kMaxRampS = 10.0;
// Good tracking for these gains on a DM4310: well under a tenth of the amplitude.
constexpr double kRmsLimit = 0.05;     // rad
constexpr double kMissingLimit = 0.01;  // fraction of cycles a motor may not answer

struct Options {
    std::string iface = "vcan0";
    double seconds = 3.0;
    double rate = 0.0;
    std::uint64_t timeout_ms = 50;
    double ramp_speed = 1.0;  // rad/s
};

[[noreturn]] void usage(const std::string& why) {
    std::fprintf(stderr, "six_motors: %s\nusage: six_motors [--iface vcan0] [--seconds 3] "
                         "[--rate HZ] [--timeout-ms 50] [--ramp-speed 1]\n", why.c_str());
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
        else if (a == "--ramp-speed") o.ramp_speed = number(v, "--ramp-speed");
        else usage("unknown argument " + std::string(a));
    }
    if (!(o.ramp_speed > 0)) usage("--ramp-speed must be above 0");
    return o;
}

// A motor's target: position (rad) and velocity (rad/s).
struct Target {
    double q;
    double dq;
};
using Targets = std::array<Target, kMotors>;
using Poses = std::array<double, kMotors>;

// Every motor from its pose in `from` to its pose in `to`, all arriving together, cosine-shaped:
// at rest at both ends. Over d rad in T s a cosine ramp is fastest in its middle, at
// pi/2 * d / T, so T keeps the furthest motor within the speed limit.
struct Ramp {
    Poses from;
    Poses to;
    double seconds;

    Ramp(const Poses& start, const Poses& goal, double speed) : from(start), to(goal) {
        double reach = 0.0;
        for (std::size_t i = 0; i < kMotors; ++i) reach = std::max(reach, std::abs(to[i] - from[i]));
        seconds = std::max(kMinRampS, std::numbers::pi / 2.0 * reach / speed);
    }

    Targets at(double t) const {
        const double phase = std::numbers::pi * std::min(t / seconds, 1.0);
        Targets out;
        for (std::size_t i = 0; i < kMotors; ++i) {
            const double d = to[i] - from[i];
            out[i] = {from[i] + d * (1.0 - std::cos(phase)) / 2.0,
                      d * std::numbers::pi / (2.0 * seconds) * std::sin(phase)};
        }
        return out;
    }
};

// Each motor its own sine about 0 (0.4 Hz, 0.5 Hz, ...), from -kAmplitude at rest, for the whole
// number of periods nearest to the run's length (one at least); a motor whose periods end sooner
// holds -kAmplitude until the last one's end, so that all of them end at rest together.
struct Sines {
    std::array<double, kMotors> frequency;
    std::array<double, kMotors> ends;  // s: the end of each motor's last period
    double seconds = 0.0;

    explicit Sines(double length) {
        for (std::size_t i = 0; i < kMotors; ++i) {
            frequency[i] = 0.4 + 0.1 * static_cast<double>(i);
            ends[i] = std::max(1.0, std::round(length * frequency[i])) / frequency[i];
            seconds = std::max(seconds, ends[i]);
        }
    }

    Poses start() const {
        Poses p;
        p.fill(-kAmplitude);
        return p;
    }

    Targets at(double t) const {
        Targets out;
        for (std::size_t i = 0; i < kMotors; ++i) {
            const double w = 2.0 * std::numbers::pi * frequency[i];
            out[i] = t < ends[i] ? Target{-kAmplitude * std::cos(w * t), kAmplitude * w * std::sin(w * t)}
                                 : Target{-kAmplitude, 0.0};
        }
        return out;
    }
};

struct Tracking {
    double sum_sq = 0.0;
    double worst = 0.0;
    std::size_t answered = 0;
    std::size_t missing = 0;
};

// One cycle of the same command to every motor; false (with a message) unless all answered.
// The states go to `out`.
bool all_answer(vt::CanTransport& bus, const std::vector<dm::Damiao>& motors, dm::Command command,
                const char* what, std::array<dm::Result<dm::MotorState>, kMotors>& out) {
    std::vector<dm::MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, command});
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

// What the cycles did: their times, and per motor how well it followed its targets.
struct Run {
    std::vector<double> cycle_us;
    std::array<Tracking, kMotors> tracking{};
    bool refused = false;
};

// Cycles along `targets` (a Ramp or Sines) for its length, at the rate or back to back. Every
// buffer is set up before: a cycle allocates nothing.
template <typename Along>
void follow(vt::CanTransport& bus, std::vector<dm::MotorCommand>& commands,
            std::array<dm::Result<dm::MotorState>, kMotors>& out, const Options& o,
            const Along& targets, Run& run) {
    const auto period = o.rate > 0 ? std::chrono::duration<double>(1.0 / o.rate)
                                   : std::chrono::duration<double>(0);
    const Clock::time_point start = Clock::now();
    const Clock::time_point end = start + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(targets.seconds));
    Clock::time_point due = start;
    for (Clock::time_point now = start; now < end && run.cycle_us.size() < run.cycle_us.capacity();
         now = Clock::now()) {
        const Targets goal = targets.at(std::chrono::duration<double>(now - start).count());
        for (std::size_t i = 0; i < kMotors; ++i)
            commands[i].command = dm::MitSetpoint{static_cast<float>(goal[i].q),
                                                  static_cast<float>(goal[i].dq), kKp, kKd, 0.0f};
        if (auto r = dm::run_cycle(bus, commands, out); !r) {
            std::fprintf(stderr, "six_motors: %s\n", r.error().text().c_str());
            run.refused = true;
            return;
        }
        run.cycle_us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - now).count());
        for (std::size_t i = 0; i < kMotors; ++i) {
            Tracking& k = run.tracking[i];
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

    std::printf("velkarin %s: %zu motors on %s, batched cycles\n", velkarin::kVersion, kMotors,
                o.iface.c_str());
    std::array<dm::Result<dm::MotorState>, kMotors> out;
    // Enabling reads where every motor is: the first targets hold them there.
    const bool enabled = all_answer(*bus, motors, dm::commands::Enable{}, "enable", out);
    Poses found{};
    for (std::size_t i = 0; enabled && i < kMotors; ++i) found[i] = out[i]->position;
    const Sines sine(o.seconds);
    const Ramp there(found, sine.start(), o.ramp_speed);
    const Ramp back(sine.start(), found, o.ramp_speed);
    if (enabled && there.seconds > kMaxRampS) {
        std::size_t far = 0;
        for (std::size_t i = 0; i < kMotors; ++i)
            if (std::abs(found[i] + kAmplitude) > std::abs(found[far] + kAmplitude)) far = i;
        std::fprintf(stderr, "six_motors: motor %zu is at %.3f rad, %.3f rad from its sine's start: "
                             "at --ramp-speed %g rad/s the move takes %.1f s, more than %g s. Move the "
                             "joint closer, or raise --ramp-speed if it is safe to\n",
                     far + 1, found[far], std::abs(found[far] + kAmplitude), o.ramp_speed, there.seconds,
                     kMaxRampS);
    }
    if (!enabled || there.seconds > kMaxRampS) {
        all_answer(*bus, motors, dm::commands::Disable{}, "disable", out);
        return 1;
    }
    std::printf("from where they are to the sines' start in %.1f s (at most %g rad/s), sines for "
                "%.1f s, back in %.1f s\n", there.seconds, o.ramp_speed, sine.seconds, back.seconds);

    // Everything the loop needs is set up here: a cycle allocates nothing.
    std::vector<dm::MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, dm::MitSetpoint{}});
    Run run;
    const double seconds = there.seconds + sine.seconds + back.seconds;
    run.cycle_us.reserve(static_cast<std::size_t>(std::max(o.rate, 20000.0) * seconds) + 1);

    const Clock::time_point start = Clock::now();
    follow(*bus, commands, out, o, there, run);
    if (!run.refused) follow(*bus, commands, out, o, sine, run);
    if (!run.refused) follow(*bus, commands, out, o, back, run);
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    const bool disabled = all_answer(*bus, motors, dm::commands::Disable{}, "disable", out);
    const std::vector<double>& cycle_us = run.cycle_us;
    if (run.refused || cycle_us.empty()) return 1;

    std::printf("%zu cycles in %.2f s: %.0f cycles/s; cycle median %.0f us, p99 %.0f us, "
                "worst %.0f us\n",
                cycle_us.size(), elapsed, static_cast<double>(cycle_us.size()) / elapsed,
                percentile(cycle_us, 50), percentile(cycle_us, 99),
                *std::max_element(cycle_us.begin(), cycle_us.end()));
    std::printf("motor  answered  missing  tracking error rms   max (rad)\n");
    bool tracked = true;
    for (std::size_t i = 0; i < kMotors; ++i) {
        const Tracking& k = run.tracking[i];
        const double rms = k.answered ? std::sqrt(k.sum_sq / static_cast<double>(k.answered)) : NAN;
        const bool ok = k.answered > 0 && rms < kRmsLimit &&
                        static_cast<double>(k.missing) <= kMissingLimit * static_cast<double>(cycle_us.size());
        tracked = tracked && ok;
        std::printf("%5zu  %8zu  %7zu  %17.4f  %6.4f  %s\n", i + 1, k.answered, k.missing, rms,
                    k.worst, ok ? "tracks" : "DOES NOT TRACK");
    }
    return tracked && disabled ? 0 : 1;
}
