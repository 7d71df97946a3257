// velkarin-tool: find, inspect, configure and watch Damiao motors from the shell.
#include <csignal>
#include <cstdio>
#include <string_view>
#include <vector>

#include "tool/help.hpp"
#include "tool/program.hpp"

namespace {

using namespace velkarin;
using namespace velkarin::tool;

volatile std::sig_atomic_t g_stop = 0;
extern "C" void on_stop_signal(int signal) { g_stop = signal; }

// A stop signal wakes the wait it lands in (no SA_RESTART); the transport
// then asks this handler, which says to stop.
struct StopOnSignal final : transport::InterruptHandler {
    bool resume_after_signal() override { return g_stop == 0; }
};

void install_signal_handlers() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaction(s, &sa, nullptr);
    // A closed stdout is seen as EPIPE on the write, where it ends a monitor
    // with its CSV complete, instead of killing the process mid-row.
    std::signal(SIGPIPE, SIG_IGN);
}

}  // namespace

int main(int argc, char** argv) {
    Output out(stdout, "stdout");
    Output err(stderr, "stderr");
    int status = kExitDone;
    const std::vector<std::string_view> args(argv + 1, argv + argc);
    if (auto parsed = parse_command_line(args); !parsed) {
        if (const auto* help = std::get_if<HelpRequested>(&parsed.error())) {
            out.write(help_text(help->command));
        } else {
            err.write("velkarin-tool: " + std::get<UsageError>(parsed.error()).text() + "\n");
            status = kExitUsage;
        }
    } else {
        install_signal_handlers();
        StopOnSignal stop;
        status = run_tool(*parsed, out, err, g_stop, &stop);
    }
    // What stdio still buffers may fail only now (a full disk): never exit 0 then.
    if (!out.close() && !out.reader_gone() && status == kExitDone) {
        err.write("velkarin-tool: " + out.failure().message + "\n");
        status = kExitFailed;
    }
    err.close();
    return status;
}
