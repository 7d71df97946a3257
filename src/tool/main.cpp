// velkarin-tool: find, inspect, configure and watch Damiao motors from the shell.
#include <csignal>
#include <cstdio>
#include <string_view>
#include <vector>

#include "tool/cli.hpp"
#include "tool/commands.hpp"
#include "tool/interface.hpp"
#include "transport/socketcan_backend.hpp"

namespace {

using namespace velkarin;
using namespace velkarin::tool;

constexpr int kDone = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop_signal(int) { g_stop = 1; }

// Ctrl-C ends the monitor cleanly: the signal wakes its wait (no SA_RESTART)
// and the transport then asks this handler, which says to stop.
struct StopOnSignal final : transport::InterruptHandler {
    bool resume_after_signal() override { return g_stop == 0; }
};

void install_stop_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

int fail(const std::string& message, int code) {
    std::fprintf(stderr, "velkarin-tool: %s\n", message.c_str());
    return code;
}

LinkResult<Value> run(Context& ctx, const Command& command) {
    return std::visit(
        [&](const auto& c) -> LinkResult<Value> {
            using T = std::decay_t<decltype(c)>;
            if constexpr (std::is_same_v<T, commands::Scan>) return run_scan(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Info>) return run_info(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Get>) return run_get(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Set>) return run_set(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Mode>) return run_mode(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Save>) return run_save(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Special>) return run_special(ctx, c);
            else if constexpr (std::is_same_v<T, commands::Monitor>) return run_monitor(ctx, c, g_stop);
            else return run_doctor(ctx, c);
        },
        command);
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    auto parsed = parse_command_line(args);
    if (!parsed) {
        if (const auto* help = std::get_if<HelpRequested>(&parsed.error())) {
            std::fputs(help->text.c_str(), stdout);
            return kDone;
        }
        return fail(std::get<UsageError>(parsed.error()).message + " (velkarin-tool --help)", kUsage);
    }
    const Global& global = parsed->global;

    // Everything is checked before the socket opens; a missing or down
    // interface is named with what to do about it.
    const InterfaceFacts facts = interface_facts(global.iface);
    if (!facts.exists)
        return fail("there is no interface " + global.iface + " (is the adapter plugged in? ip link lists them): " +
                        bring_up_hint(global.iface),
                    kFailed);
    if (!facts.up) return fail(global.iface + " is down: " + bring_up_hint(global.iface), kFailed);
    auto bus = transport::SocketCanTransport::open(global.iface);
    if (!bus) return fail("cannot open " + global.iface + ": " + bus.error().text(), kFailed);

    StopOnSignal stop;
    if (std::holds_alternative<commands::Monitor>(parsed->command)) {
        install_stop_signals();
        bus->set_interrupt_handler(&stop);
    }
    Link link(*bus, transport::Duration::from_millis(global.timeout_ms));
    Context ctx{link, global, global.json ? stderr : stdout};
    auto result = run(ctx, parsed->command);
    if (!result) {
        std::string message = result.error().message;
        if (message.find("(os error 100)") != std::string::npos)  // ENETDOWN: went down meanwhile
            message += "; " + global.iface + " is down: " + bring_up_hint(global.iface);
        return fail(message, kFailed);
    }
    if (global.json) {
        std::printf("%s\n", to_json(*result).c_str());
    } else {
        std::fputs(to_text(*result).c_str(), stdout);
    }
    return kDone;
}
