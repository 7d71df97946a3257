// monitor: a refresh request to every motor at a fixed rate, one batched
// cycle per round (nothing is ever commanded), a live line per motor, every
// sample to CSV, and a summary when the time is up, a stop signal comes, or
// stdout's reader goes away.
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <vector>

#include "damiao/cycle.hpp"
#include "damiao/text/float_text.hpp"
#include "transport/bus_watch.hpp"
#include "tool/commands.hpp"

namespace velkarin::tool {
namespace {

using transport::Clock;

struct Watched {
    std::optional<damiao::MotorState> last;
    std::uint64_t samples = 0;
    std::uint64_t missed = 0;
};

constexpr auto kLiveEvery = std::chrono::milliseconds(100);  // on a terminal
constexpr auto kLogEvery = std::chrono::seconds(1);          // to a pipe or file

std::string live_line(std::uint16_t id, const Watched& w) {
    char buf[192];
    if (!w.last) {
        std::snprintf(buf, sizeof buf, "motor %s: no answer yet, %llu missed", id_text(id).c_str(),
                      static_cast<unsigned long long>(w.missed));
        return buf;
    }
    const auto& s = *w.last;
    std::snprintf(buf, sizeof buf,
                  "motor %s: %-23s position %9.4f  velocity %9.4f  torque %8.4f  t_mos %3u  "
                  "t_rotor %3u  missed %llu",
                  id_text(id).c_str(), status_text(s.error).c_str(), static_cast<double>(s.position),
                  static_cast<double>(s.velocity), static_cast<double>(s.torque), s.t_mos, s.t_rotor,
                  static_cast<unsigned long long>(w.missed));
    return buf;
}

std::string csv_row(double t, std::uint16_t id, const damiao::MotorState& s) {
    using damiao::float_text::shortest;
    char head[64];
    std::snprintf(head, sizeof head, "%.6f,%u,%u,", t, static_cast<unsigned>(id), static_cast<unsigned>(s.error));
    return head + shortest(s.position) + "," + shortest(s.velocity) + "," + shortest(s.torque) + "," +
           std::to_string(s.t_mos) + "," + std::to_string(s.t_rotor) + "\n";
}

// A reply later than the next round is a missed sample: the bound of each
// reply is the period (whole milliseconds, at least 1), never more than the
// tool's time-out.
std::uint64_t reply_bound_ms(Clock::duration period, std::uint64_t timeout_ms) {
    const auto ms = std::chrono::ceil<std::chrono::milliseconds>(period).count();
    return std::clamp<std::uint64_t>(static_cast<std::uint64_t>(std::max<std::int64_t>(ms, 1)), 1, timeout_ms);
}

// How the watching ended, when it ended well.
enum class End : std::uint8_t { TimeUp, Stopped, ReaderGone };

class Monitor {
public:
    Monitor(Context& ctx, const commands::Monitor& c, std::vector<damiao::Damiao> motors, Output* csv)
        : ctx_(ctx), c_(c), motors_(std::move(motors)), watched_(motors_.size()), csv_(csv),
          commands_(motors_.size(), damiao::commands::Refresh{}), outcomes_(motors_.size()) {}

    ToolResult<End> run() {
        std::vector<damiao::MotorGroup::Member> members;
        for (const auto& m : motors_) members.push_back({&ctx_.session.bus, &m});
        auto group = damiao::MotorGroup::create(members);
        if (!group) {
            // The group's own check: two motors on one master id cannot be told apart.
            if (const auto* d = group.error().as<damiao::errors::DuplicateMasterId>())
                return fail(Failure::Kind::IdConflict, "motors " + id_text(motors_[d->first].motor_id()) + " and " +
                                                           id_text(motors_[d->second].motor_id()) +
                                                           " answer on the same master id " + id_text(d->id));
            return std::unexpected(failure_of(group.error(), motors_.front().motor_id(), "the monitor",
                                              ctx_.session.timeout()));
        }
        group_ = std::move(*group);
        // Checked: the parser keeps the rate and duration where these conversions are exact.
        const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / c_.rate_hz));
        const auto start = Clock::now();
        const auto end = c_.duration_s ? start + std::chrono::duration_cast<Clock::duration>(
                                                     std::chrono::duration<double>(*c_.duration_s))
                                       : Clock::time_point::max();
        const bool text = !ctx_.global.json;
        const bool terminal = text && ::isatty(STDOUT_FILENO) == 1;
        auto next_show = start;
        auto next_reader_check = start;
        bool shown = false;

        for (auto due = start; ctx_.stop == 0; due += period) {
            if (due >= end) return End::TimeUp;
            auto now = Clock::now();
            if (due > now) {
                // A stop signal wakes the pause; the interrupt handler then says stop.
                if (!ctx_.session.bus.pause(transport::Duration::until(due, now))) break;
            } else if (now - due > period) {
                due += (now - due) / period * period;  // a late round is not made up in a burst
            }
            if (auto r = group_->run(commands_, outcomes_, ctx_.session.format); !r)
                return std::unexpected(failure_of(r.error(), motors_.front().motor_id(), "the monitor", ctx_.session.timeout()));
            auto taken = take_outcomes(start);
            if (!taken) return propagate(taken);
            if (!*taken) break;

            now = Clock::now();
            if (text && now >= next_show) {
                std::string block = terminal && shown ? "\x1b[" + std::to_string(motors_.size()) + "A" : "";
                for (std::size_t i = 0; i < motors_.size(); ++i)
                    block += (terminal ? "\x1b[2K" : "") + live_line(motors_[i].motor_id(), watched_[i]) + "\n";
                if (!ctx_.out.write(block) || !ctx_.out.flush()) {
                    if (ctx_.out.reader_gone()) return End::ReaderGone;
                    return std::unexpected(ctx_.out.failure());
                }
                shown = true;
                next_show = now + (terminal ? Clock::duration(kLiveEvery) : Clock::duration(kLogEvery));
            }
            if (!text && now >= next_reader_check) {
                // With --json nothing is written until the end: ask the pipe.
                if (ctx_.out.reader_gone()) return End::ReaderGone;
                next_reader_check = now + Clock::duration(kLiveEvery);
            }
        }
        return End::Stopped;
    }

    // Per motor: its samples and misses, and what the group counted of it:
    // late replies, reply latencies, the last status.
    Value summary() const {
        Items out;
        for (std::size_t i = 0; i < motors_.size(); ++i) {
            const auto& counted = group_->stats()[i];
            const auto latency = group_->latency(i).summary();
            auto seconds = [&](double damiao::LatencyWindow::Summary::*f) {
                return latency ? Value(static_cast<float>((*latency).*f)) : Value();
            };
            out.push_back(Members{
                {"id", Value(CanIdNumber{motors_[i].motor_id()})},
                {"samples", Value(watched_[i].samples)},
                {"missed", Value(watched_[i].missed)},
                {"late", Value(counted.late)},
                {"latency_p50_s", seconds(&damiao::LatencyWindow::Summary::p50_s)},
                {"latency_p99_s", seconds(&damiao::LatencyWindow::Summary::p99_s)},
                {"latency_max_s", seconds(&damiao::LatencyWindow::Summary::max_s)},
                {"last_status", counted.last_status ? Value(status_text(*counted.last_status)) : Value()},
            });
        }
        return Value(std::move(out));
    }

    // What the bus's error frames reported while the monitor ran, one line
    // each with what to check; "" when nothing.
    std::string bus_lines() {
        std::string out;
        const auto counts = watch_.health().conditions;
        for (std::size_t c = 0; c < transport::kBusConditions; ++c)
            if (counts.counts[c] != 0)
                out += watch_.iface() + ": " + std::to_string(counts.counts[c]) + " x " +
                       std::string(transport::advice_for(static_cast<transport::BusCondition>(c))) + "\n";
        return out;
    }

    std::string summary_line() const {
        std::string out;
        for (std::size_t i = 0; i < motors_.size(); ++i)
            out += (i == 0 ? "" : "; ") + std::string("motor ") + id_text(motors_[i].motor_id()) + " " +
                   std::to_string(watched_[i].samples) + " samples, " + std::to_string(watched_[i].missed) + " missed";
        return out;
    }

private:
    // One round's outcomes into the counts and the CSV. False when a stop
    // signal cut the round short. Errors: Bus, Output.
    ToolResult<bool> take_outcomes(Clock::time_point start) {
        const double t = std::chrono::duration<double>(Clock::now() - start).count();
        std::string rows;
        bool go_on = true;
        for (std::size_t i = 0; i < motors_.size(); ++i) {
            auto& w = watched_[i];
            const auto& o = outcomes_[i];
            if (o) {
                w.last = *o;
                ++w.samples;
                if (csv_ != nullptr) rows += csv_row(t, motors_[i].motor_id(), *o);
                continue;
            }
            const Failure f = failure_of(o.error(), motors_[i].motor_id(), "a refresh request", ctx_.session.timeout());
            if (f.kind == Failure::Kind::Interrupted) go_on = false;
            else if (f.kind == Failure::Kind::NoAnswer || f.kind == Failure::Kind::WrongAnswer) ++w.missed;
            else return std::unexpected(f);
        }
        // A round's rows go out whole, so the file never ends inside a row.
        if (csv_ != nullptr && !rows.empty() && (!csv_->write(rows) || !csv_->flush()))
            return std::unexpected(csv_->failure());
        return go_on;
    }

    Context& ctx_;
    const commands::Monitor& c_;
    transport::BusWatch watch_{ctx_.session.bus_fd};
    std::vector<damiao::Damiao> motors_;
    std::vector<Watched> watched_;
    Output* csv_;
    // A group rather than one-off cycles: a reply that comes after its
    // round is never counted as the next round's sample.
    std::optional<damiao::MotorGroup> group_;
    std::vector<damiao::Command> commands_;
    std::vector<damiao::Result<damiao::MotorState>> outcomes_;
};

// The driver of every motor, each with its own scaling. Errors: those of identify.
ToolResult<std::vector<damiao::Damiao>> identify_all(Context& ctx, const commands::Monitor& c,
                                                     std::uint64_t bound_ms) {
    std::vector<damiao::Damiao> motors;
    for (const auto id : c.ids) {
        auto m = identify(ctx.session, id);
        if (!m) return propagate(m);
        motors.emplace_back(id, m->master_id(), m->limits(), bound_ms, m->options());
    }
    return motors;
}

}  // namespace

ToolResult<Report> run_monitor(Context& ctx, const commands::Monitor& c) {
    // The CSV comes first: its header is there however the run ends, and a
    // file that cannot be written fails before any frame is sent.
    std::optional<Output> csv;
    if (c.csv) {
        auto f = Output::create(*c.csv);
        if (!f) return propagate(f);
        csv.emplace(std::move(*f));
        if (!csv->write(kMonitorCsvHeader) || !csv->flush()) return std::unexpected(csv->failure());
    }
    const auto period = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / c.rate_hz));
    auto motors = identify_all(ctx, c, reply_bound_ms(period, ctx.session.timeout_ms));
    if (!motors) return propagate(motors);

    Monitor monitor(ctx, c, std::move(*motors), csv ? &*csv : nullptr);
    auto ended = monitor.run();
    // Closed on every path, and checked: a full disk may show only here.
    if (csv && !csv->close() && ended) return std::unexpected(csv->failure());
    if (!ended) return propagate(ended);
    if (*ended == End::ReaderGone)
        ctx.err.write("velkarin-tool: stdout was closed, so monitor ended: " + monitor.summary_line() + "\n");
    ctx.notes.write(monitor.bus_lines());
    return Report(monitor.summary());
}

}  // namespace velkarin::tool
