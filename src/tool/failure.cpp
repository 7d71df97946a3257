// The tool's failures from the core's errors, and their exit statuses.
#include "tool/failure.hpp"

#include <cerrno>
#include <csignal>

#include "tool/result.hpp"

namespace velkarin::tool {

const transport::TransportError* Failure::transport_error() const {
    if (!cause) return nullptr;
    const auto* t = cause->as<damiao::errors::Transport>();
    return t != nullptr ? &t->error : nullptr;
}

std::string duration_text(transport::Duration d) {
    return std::to_string(d.secs * 1000 + d.nanos / 1'000'000) + " ms";
}

Failure failure_of(const damiao::Error& e, std::uint16_t id, std::string_view what,
                   transport::Duration timeout) {
    using Kind = Failure::Kind;
    const std::string motor = "motor " + id_text(id);
    if (const auto* t = e.as<damiao::errors::Transport>()) {
        const auto& bus = t->error;
        if (bus.kind == transport::TransportError::Kind::Timeout)
            return {Kind::NoAnswer, motor + " did not answer " + std::string(what) + " within " +
                                        duration_text(timeout), e};
        if (bus.is_os_error(EINTR)) return {Kind::Interrupted, "interrupted", e};
        std::string why = bus.kind == transport::TransportError::Kind::Backend ? bus.io.text() : bus.text();
        // A send refused for longer than the time-out: the frames go nowhere.
        if (bus.is_os_error(ENOBUFS)) why += ": no node acknowledges the frames (wiring, termination, bit rate?)";
        return {Kind::Bus, std::string(what) + " for " + motor + " failed: " + why, e};
    }
    // The read-back's own text names the register, both values and the motor.
    if (e.as<damiao::errors::WriteVerifyFailed>() != nullptr) return {Kind::WrongAnswer, e.text(), e};
    return {Kind::WrongAnswer, motor + " answered " + std::string(what) + " wrongly: " + e.text(), e};
}

int exit_status(const Failure& f, int stop_signal) {
    if (f.kind == Failure::Kind::Interrupted) return 128 + (stop_signal != 0 ? stop_signal : SIGINT);
    return kExitFailed;
}

}  // namespace velkarin::tool
