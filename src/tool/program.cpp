// Everything velkarin-tool does between its parsed command line and its exit.
#include "tool/program.hpp"

#include <cerrno>

#include "tool/commands.hpp"
#include "tool/interface.hpp"
#include "transport/socketcan_backend.hpp"

namespace velkarin::tool {
namespace {

using Kind = Failure::Kind;

// Missing, not CAN, down: each named with what to do about it, before a socket is opened.
ToolResult<void> check_interface(const std::string& iface) {
    const InterfaceFacts facts = interface_facts(iface);
    if (!facts.exists)
        return fail(Kind::Interface, "there is no interface " + iface +
                                         " (is the adapter plugged in? ip link lists them): " + bring_up_hint(iface));
    if (!is_can(facts))
        return fail(Kind::Interface, iface + " is not a CAN interface (its link type is " +
                                         std::to_string(*facts.link_type) +
                                         "): name one with --iface (ip link show type can, or type vcan, lists them)");
    if (!facts.up) return fail(Kind::Interface, iface + " is down: " + bring_up_hint(iface));
    return {};
}

}  // namespace

std::string rendered(const Value& v, bool json) {
    if (json) return to_json(v) + "\n";
    if (const Items* items = v.items(); items != nullptr && items->empty()) return "";
    return to_text(v);
}

std::string failure_line(const Failure& f, const Global& g) {
    std::string line = "velkarin-tool: " + f.message;
    if (const auto* bus = f.transport_error(); bus != nullptr && bus->is_os_error(ENETDOWN))
        line += "; " + g.iface + " is down: " + bring_up_hint(g.iface);
    // A motor asked on ids it does not answer on looks exactly like a dead one: a master id
    // given by hand (--master) that is not the motor's is the usual cause.
    if (f.kind == Kind::NoAnswer && f.cause) {
        const std::string scan =
            g.iface == Global{}.iface ? "velkarin-tool scan" : "velkarin-tool --iface " + g.iface + " scan";
        line += "; check its CAN id and master id (" + scan + " shows both), then its power, wiring and bit rate";
    }
    return line + "\n";
}

int run_tool(const Invocation& inv, Output& out, Output& err, const volatile std::sig_atomic_t& stop,
             transport::InterruptHandler* on_signal) {
    const Global& g = inv.global;
    auto failed = [&](const Failure& f) {
        err.write(failure_line(f, g));
        return exit_status(f, stop);
    };
    if (auto usable = check_interface(g.iface); !usable) return failed(usable.error());
    auto bus = transport::SocketCanTransport::open(g.iface);
    if (!bus) return failed({Kind::Interface, "cannot open " + g.iface + ": " + bus.error().text(), std::nullopt});
    bus->set_interrupt_handler(on_signal);

    const Session session{*bus, g.timeout_ms, g.fd ? damiao::FrameFormat::Fd : damiao::FrameFormat::Classic,
                          bus->fd()};
    Context ctx{session, g, out, g.json ? err : out, err, stop};
    auto report = run_command(ctx, inv.command);
    if (!report) return failed(report.error());
    // A reader that went away (monitor ... | head) wanted no more: not a failure.
    if ((!out.write(rendered(report->value, g.json)) || !out.flush()) && !out.reader_gone())
        return failed(out.failure());
    if (report->failed) return failed(*report->failed);
    return kExitDone;
}

}  // namespace velkarin::tool
