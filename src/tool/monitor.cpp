// monitor: refresh requests to every motor at a fixed rate (nothing is ever
// commanded), a live line per motor, every sample to CSV, and a summary when
// the time is up or Ctrl-C.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "damiao/float_text.hpp"
#include "tool/commands.hpp"

namespace velkarin::tool {
namespace {

using transport::CanFrame;
using transport::CanId;
using transport::Clock;

struct Watched {
    std::uint16_t id;
    Identity who;
    std::optional<damiao::MotorState> last;
    bool answered = false;  // in the present round
    std::uint64_t samples = 0;
    std::uint64_t missed = 0;
};

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

constexpr auto kLiveEvery = std::chrono::milliseconds(100);  // on a terminal
constexpr auto kLogEvery = std::chrono::seconds(1);          // to a pipe or file

std::string live_line(const Watched& w) {
    char buf[192];
    if (!w.last) {
        std::snprintf(buf, sizeof buf, "motor %s: no answer yet, %llu missed", id_text(w.id).c_str(),
                      static_cast<unsigned long long>(w.missed));
        return buf;
    }
    const auto& s = *w.last;
    std::snprintf(buf, sizeof buf,
                  "motor %s: %-23s position %9.4f  velocity %9.4f  torque %8.4f  t_mos %3u  "
                  "t_rotor %3u  missed %llu",
                  id_text(w.id).c_str(), status_text(s.error).c_str(), static_cast<double>(s.position),
                  static_cast<double>(s.velocity), static_cast<double>(s.torque), s.t_mos, s.t_rotor,
                  static_cast<unsigned long long>(w.missed));
    return buf;
}

void print_lines(const std::vector<Watched>& motors, bool redraw) {
    // On a terminal the block is drawn over itself: cursor up, clear line.
    if (redraw) std::printf("\x1b[%zuA", motors.size());
    for (const auto& w : motors) std::printf("%s%s\n", redraw ? "\x1b[2K" : "", live_line(w).c_str());
    std::fflush(stdout);
}

void csv_row(std::FILE* f, double t, const Watched& w) {
    using damiao::float_text::shortest;
    const auto& s = *w.last;
    std::fprintf(f, "%.6f,%u,%u,%s,%s,%s,%u,%u\n", t, static_cast<unsigned>(w.id),
                 static_cast<unsigned>(s.error), shortest(s.position).c_str(),
                 shortest(s.velocity).c_str(), shortest(s.torque).c_str(), s.t_mos, s.t_rotor);
}

LinkError file_error(const std::string& path) {
    return {LinkError::Kind::Bus, "cannot write " + path + ": " + std::strerror(errno)};
}

}  // namespace

LinkResult<Value> run_monitor(Context& ctx, const commands::Monitor& c,
                              const volatile std::sig_atomic_t& stop) {
    Link& link = ctx.link;
    std::vector<Watched> motors;
    for (const auto id : c.ids) {
        auto who = link.identify(id);
        if (!who) return std::unexpected(who.error());
        for (const auto& w : motors)
            if (w.who.master_id == who->master_id)
                return std::unexpected(LinkError{LinkError::Kind::Bus,
                                                 "motors " + id_text(w.id) + " and " + id_text(id) +
                                                     " answer on the same master id " +
                                                     id_text(who->master_id)});
        motors.push_back(Watched{id, *who, std::nullopt});
    }

    File csv(nullptr, std::fclose);
    if (c.csv) {
        csv.reset(std::fopen(c.csv->c_str(), "w"));
        if (!csv) return std::unexpected(file_error(*c.csv));
        std::fputs("time,id,status,position,velocity,torque,t_mos,t_rotor\n", csv.get());
    }

    const bool text = !ctx.global.json;
    const bool terminal = text && ::isatty(STDOUT_FILENO) == 1;
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / c.rate_hz));
    const auto start = Clock::now();
    const auto end = c.duration_s ? start + std::chrono::duration_cast<Clock::duration>(
                                                std::chrono::duration<double>(*c.duration_s))
                                  : Clock::time_point::max();
    auto next_show = start;
    bool shown = false;

    for (std::uint64_t round = 0; stop == 0; ++round) {
        const auto due = start + static_cast<std::int64_t>(round) * period;
        if (due >= end) break;
        if (const auto now = Clock::now(); due > now) {
            // Ctrl-C wakes the pause; the interrupt handler then says stop.
            if (!link.bus().pause(transport::Duration::until(due, now))) break;
        }
        for (auto& w : motors) {
            w.answered = false;
            const CanFrame refresh(CanId::standard(damiao::registers::kRequestId),
                                   damiao::registers::refresh_request(w.id));
            if (auto sent = link.send(refresh); !sent) return std::unexpected(sent.error());
        }
        std::size_t waiting = motors.size();
        auto got = link.bus().receive_until(due + period, [&](const CanFrame& f) {
            if (f.size() < 8) return false;
            for (auto& w : motors) {
                if (w.answered || f.id != CanId::standard(static_cast<std::uint16_t>(w.who.master_id & 0x7FF)))
                    continue;
                w.answered = true;
                w.last = *damiao::mit::decode_feedback(w.who.limits, f.data());
                ++w.samples;
                if (csv) csv_row(csv.get(), std::chrono::duration<double>(Clock::now() - start).count(), w);
                return --waiting == 0;
            }
            return false;
        });
        if (!got) {
            for (auto& w : motors) w.missed += w.answered ? 0 : 1;
            const auto kind = got.error().kind;
            if (kind != transport::TransportError::Kind::Timeout && stop == 0)
                return std::unexpected(link.failure(got.error(), motors.front().id, "the monitor"));
        }
        if (text && Clock::now() >= next_show) {
            print_lines(motors, terminal && shown);
            shown = true;
            next_show = Clock::now() + (terminal ? Clock::duration(kLiveEvery) : Clock::duration(kLogEvery));
        }
    }
    if (csv && std::fflush(csv.get()) != 0) return std::unexpected(file_error(*c.csv));

    Items summary;
    for (const auto& w : motors)
        summary.push_back(Members{{"id", Value(std::uint32_t{w.id})},
                                  {"samples", Value(static_cast<std::int64_t>(w.samples))},
                                  {"missed", Value(static_cast<std::int64_t>(w.missed))}});
    return Value(std::move(summary));
}

}  // namespace velkarin::tool
