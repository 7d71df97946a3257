// cycle: the six-motor cycle through the C++ core, the native contenders of the benchmark's
// cycle rows: one MIT command to each motor per cycle, sent either one motor after another
// (each command waits for its reply before the next goes out) or as one batched cycle.
//
//   cycle --iface vcan0 --mode sequential|batched --setpoint 0.5,0,20,0.5,0 --iterations N
//         [--warmup N] [--motors 6] [--timeout-ms 100] [--stamps] [--callgrind]
//
// Motor i (1..motors) is CAN id i with master id 0x10 + i, DM4310 limits. Prints one JSON line
// as floor does, with iterations counting cycles; a command without its reply ends the run.
#include <velkarin/damiao/cycle.hpp>
#include <velkarin/transport/socketcan_backend.hpp>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "args.hpp"
#include "timed_loop.hpp"

namespace {

namespace dm = velkarin::damiao;
namespace vt = velkarin::transport;

constexpr const char* kProg = "cycle";

struct Options {
    std::string iface = "vcan0";
    bool batched = false;
    dm::MitSetpoint setpoint{};
    long motors = 6;
    long iterations = 2000;
    long warmup = 300;
    long timeout_ms = 100;
    bool stamps = false;
    bool callgrind = false;
};

[[noreturn]] void die(const std::string& what) { bench::die(kProg, what); }

dm::MitSetpoint five_floats(std::string_view text) {
    std::array<float, 5> v{};
    const std::string s(text);
    const char* p = s.c_str();
    for (std::size_t i = 0; i < v.size(); ++i) {
        char* end = nullptr;
        v[i] = std::strtof(p, &end);
        if (end == p || *end != (i + 1 < v.size() ? ',' : '\0')) die("--setpoint wants q,dq,kp,kd,tau");
        p = end + 1;
    }
    return {v[0], v[1], v[2], v[3], v[4]};
}

Options parse(int argc, char** argv) {
    Options o;
    for (bench::Args a(kProg, argc, argv); a.next();) {
        const std::string_view n = a.name();
        if (n == "--iface") o.iface = a.value();
        else if (n == "--mode") {
            const std::string_view m = a.value();
            if (m != "sequential" && m != "batched") die("--mode is sequential or batched");
            o.batched = m == "batched";
        }
        else if (n == "--setpoint") o.setpoint = five_floats(a.value());
        else if (n == "--motors") o.motors = a.count();
        else if (n == "--iterations") o.iterations = a.count();
        else if (n == "--warmup") o.warmup = a.count();
        else if (n == "--timeout-ms") o.timeout_ms = a.count();
        else if (n == "--stamps") o.stamps = true;
        else if (n == "--callgrind") o.callgrind = true;
        else a.unknown();
    }
    if (o.motors < 1 || o.motors > 15) die("--motors is 1 to 15");
    return o;
}

void check(const dm::Result<dm::MotorState>& outcome, std::size_t motor) {
    if (!outcome) die("motor " + std::to_string(motor + 1) + ": " + outcome.error().text());
}

}  // namespace

int main(int argc, char** argv) {
    const Options o = parse(argc, argv);
    auto bus = vt::SocketCanTransport::open(o.iface);
    if (!bus) die("cannot open " + o.iface + ": " + bus.error().text());

    std::vector<dm::Damiao> motors;
    for (long i = 1; i <= o.motors; ++i)
        motors.emplace_back(static_cast<std::uint16_t>(i), static_cast<std::uint16_t>(0x10 + i),
                            dm::MitLimits{}, static_cast<std::uint64_t>(o.timeout_ms));
    std::vector<dm::MotorCommand> commands;
    for (const auto& m : motors) commands.push_back({m, o.setpoint});
    std::vector<dm::Result<dm::MotorState>> outcomes(motors.size());

    auto one_after_another = [&] {
        for (std::size_t i = 0; i < motors.size(); ++i) check(motors[i].mit_control(*bus, o.setpoint), i);
    };
    auto batched = [&] {
        if (auto r = dm::run_cycle(*bus, commands, outcomes); !r) die(r.error().text());
        for (std::size_t i = 0; i < outcomes.size(); ++i) check(outcomes[i], i);
    };
    const bench::Run run =
        o.batched ? bench::timed_loop(batched, o.iterations, o.warmup, o.stamps, o.callgrind)
                  : bench::timed_loop(one_after_another, o.iterations, o.warmup, o.stamps, o.callgrind);
    bench::print_run(run, "\"motors\": " + std::to_string(o.motors));
    return 0;
}
