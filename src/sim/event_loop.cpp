// One thread waits in ppoll on the CAN socket and stdin, with the time-out
// set by the earliest delayed reply, and wakes on SIGINT/SIGTERM: the two
// signals are blocked except inside ppoll, so none slips in between a check
// of the stop flag and the wait.
#include "sim/event_loop.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <expected>
#include <optional>
#include <span>
#include <string>

#include "sim/console.hpp"
#include "sim/flash.hpp"
#include "sim/flash_file.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::sim {
namespace {

// About 5000 frames at the kernel's cost per queued CAN frame.
constexpr int kReceiveBuffer = 4 << 20;

volatile std::sig_atomic_t g_stop = 0;

extern "C" void on_stop_signal(int) { g_stop = 1; }

// Installs the handlers without SA_RESTART and blocks both signals outside
// ppoll; returns the mask to wait with.
sigset_t install_signals() {
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A reader that closed our stdout must not kill us mid-reply.
    std::signal(SIGPIPE, SIG_IGN);

    sigset_t block, waiting;
    sigemptyset(&block);
    sigaddset(&block, SIGINT);
    sigaddset(&block, SIGTERM);
    sigprocmask(SIG_BLOCK, &block, &waiting);
    sigdelset(&waiting, SIGINT);
    sigdelset(&waiting, SIGTERM);
    return waiting;
}

void print_lines(const std::vector<std::string>& lines) {
    for (const auto& l : lines) std::fprintf(stdout, "%s\n", l.c_str());
    std::fflush(stdout);
}

// The error frames the console asked for, on the bus at once.
void send_conditions(Simulator& sim, int bus_fd) {
    for (const auto c : sim.take_conditions())
        if (auto sent = transport::send_error_frame(bus_fd, c); !sent)
            std::fprintf(stderr, "velkarin-sim: the error frame for %s did not go out: %s\n",
                         std::string(transport::name_of(c)).c_str(), sent.error().text().c_str());
}

// Splits stdin into lines and runs each through the console. A line's
// effects on the bus are done before its "ok" is printed.
class StdinLines {
public:
    // False at end of input or on a read error: stop watching stdin.
    bool read_and_run(Simulator& sim, int bus_fd) {
        char buf[512];
        const ssize_t n = ::read(STDIN_FILENO, buf, sizeof buf);
        if (n < 0 && errno == EINTR) return true;
        if (n <= 0) return false;
        pending_.append(buf, static_cast<std::size_t>(n));
        for (auto nl = pending_.find('\n'); nl != std::string::npos; nl = pending_.find('\n')) {
            const std::string line = pending_.substr(0, nl);
            pending_.erase(0, nl + 1);
            const auto lines = run_console_line(sim, line, Clock::now());
            send_conditions(sim, bus_fd);
            print_lines(lines);
        }
        if (pending_.size() > 4096) pending_.clear();  // no line is that long
        return true;
    }

private:
    std::string pending_;
};

struct LoadedFlash {
    FlashFile file;
    Flash flash;
};

// The flash file, locked, and its checked contents; a file that does not
// exist yet is an empty flash. The error is one line naming the file.
std::expected<LoadedFlash, std::string> load_flash(const std::string& path,
                                                   const std::vector<MotorSetup>& motors) {
    auto file = FlashFile::open(path, max_flash_bytes(motors.size()));
    if (!file) return std::unexpected(file.error());
    std::vector<std::uint16_t> ids;
    for (const auto& m : motors) ids.push_back(m.can_id);
    auto flash = parse_flash(file->text(), ids);
    if (!flash)
        return std::unexpected(path + ": line " + std::to_string(flash.error().line) + ": " +
                               flash.error().reason);
    return LoadedFlash{std::move(*file), std::move(*flash)};
}

// Writes the stores the motors asked for since the last call, if any. A
// failure is one line on stderr; the motors' flash then stays as it was.
void store_flash(Simulator& sim, std::optional<FlashFile>& file) {
    const auto pending = sim.pending_flash();
    if (!pending) return;
    if (!file) return sim.flash_written(true);  // no --flash: kept only while running
    const auto stored = file->store(format_flash(*pending));
    if (!stored) std::fprintf(stderr, "velkarin-sim: %s\n", stored.error().text.c_str());
    sim.flash_written(stored || stored.error().replaced);
}

// Sends the replies that are due, a batch per system call. A reply the bus
// refuses is lost, as on a bus that refused it; the first failure is reported.
void send_due(transport::SocketCanTransport& bus, const std::vector<CanFrame>& due, bool& reported) {
    for (std::size_t done = 0; done < due.size();) {
        auto sent = bus.send_some(std::span(due).subspan(done));
        if (sent) {
            done += *sent;
            continue;
        }
        if (!reported) {
            std::fprintf(stderr, "velkarin-sim: send failed: %s (further failures not shown)\n",
                         sent.error().text().c_str());
            reported = true;
        }
        ++done;
    }
}

}  // namespace

int run(const Options& options) {
    SimConfig config = options.sim;
    // Held, with its lock, until the simulator ends.
    std::optional<FlashFile> flash_file;
    if (!options.flash_path.empty()) {
        auto loaded = load_flash(options.flash_path, options.sim.motors);
        if (!loaded) {
            std::fprintf(stderr, "velkarin-sim: %s\n", loaded.error().c_str());
            return 2;
        }
        config.flash = std::move(loaded->flash);
        flash_file = std::move(loaded->file);
    }
    auto bus = transport::SocketCanTransport::open(options.iface);
    if (!bus) {
        std::fprintf(stderr, "velkarin-sim: cannot open %s: %s\n", options.iface.c_str(),
                     bus.error().text().c_str());
        return 2;
    }
    // A program may send several hundred commands back to back; the default
    // receive buffer holds a few hundred frames. Drops are reported on stderr
    // when the kernel tells them, with the first frame queued after them.
    if (auto kept = bus->keep_bursts(kReceiveBuffer); !kept)
        std::fprintf(stderr, "velkarin-sim: cannot enlarge the receive buffer: %s\n",
                     kept.error().text().c_str());
    std::uint32_t drops_reported = 0;
    const sigset_t wait_mask = install_signals();
    // A reply is due at an exact time (its delay, or its end on a wire-timed bus): the 50 us
    // of timer slack a thread has by default would send each one up to that much later.
    ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
    Simulator sim(config, Clock::now());

    std::fprintf(stdout, "velkarin-sim ready on %s: %zu motor(s)\n", options.iface.c_str(),
                 sim.motors().size());
    std::fflush(stdout);

    pollfd fds[2] = {{bus->fd(), POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    StdinLines input;
    bool send_error_reported = false;
    // Frames are read and replies sent a batch per system call: a program
    // that sends six motors' commands back to back costs one wake-up here.
    std::array<CanFrame, transport::SocketCanTransport::kBatch> received;

    // One clock reading per wake-up serves the frames that came, the replies
    // due and the next wait.
    auto now = Clock::now();
    while (g_stop == 0) {
        send_due(*bus, sim.take_due(now), send_error_reported);

        timespec wait{};
        timespec* wait_ptr = nullptr;
        if (const auto next = sim.next_due()) {
            wait = transport::from_chrono(*next - now).to_timespec();
            wait_ptr = &wait;
        }
        const int ready = ::ppoll(fds, 2, wait_ptr, &wait_mask);
        now = Clock::now();
        if (ready < 0) {
            if (errno == EINTR) continue;
            std::fprintf(stderr, "velkarin-sim: ppoll: %s\n", std::strerror(errno));
            return 1;
        }

        if (fds[0].revents & (POLLERR | POLLNVAL)) {
            // A read reports the socket's pending error (ENETDOWN while the
            // interface is down); the socket stays usable afterwards.
            fds[0].revents |= POLLIN;
        }
        if (fds[0].revents & POLLIN) {
            // The socket is readable: take every frame queued, without
            // waiting (one that vanished in between is a Timeout).
            auto got = bus->recv_some(transport::Duration{}, received);
            if (got) {
                for (const auto& frame : std::span(received).first(*got)) sim.on_frame(frame, now);
                store_flash(sim, flash_file);
                if (bus->dropped() != drops_reported) {
                    std::fprintf(stderr, "velkarin-sim: the receive buffer was full: %u frames dropped so far\n",
                                 bus->dropped());
                    drops_reported = bus->dropped();
                }
            } else if (got.error().kind != transport::TransportError::Kind::Timeout) {
                std::fprintf(stderr, "velkarin-sim: receive failed: %s\n",
                             got.error().text().c_str());
                ::usleep(10'000);  // an interface going down must not spin the loop
            }
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) {
            if ((fds[1].revents & POLLNVAL) || !input.read_and_run(sim, bus->fd())) fds[1].fd = -1;
        }
    }
    return 0;
}

}  // namespace velkarin::sim
