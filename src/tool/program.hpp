// velkarin-tool as one call over a parsed command line: the interface checked
// and opened, the command run, its result written, and the exit status.
#pragma once

#include <csignal>
#include <string>

#include "tool/cli.hpp"
#include "tool/failure.hpp"
#include "tool/output.hpp"
#include "tool/result.hpp"
#include "transport/transport.hpp"

namespace velkarin::tool {

// Runs `inv` on its interface and returns the exit status: the result goes
// to `out` (one JSON document, or text), a failure as one line to `err`.
// `stop` is set to a stop signal's number; `on_signal` becomes the bus's
// interrupt handler, so that the signal ends any wait.
int run_tool(const Invocation& inv, Output& out, Output& err, const volatile std::sig_atomic_t& stop,
             transport::InterruptHandler* on_signal);

// The result as printed: one JSON document on one line, or text for a
// person ("" for an empty list: there is nothing to show).
std::string rendered(const Value& v, bool json);

// "velkarin-tool: <message>\n", with what to do when the interface went down or a motor did
// not answer.
std::string failure_line(const Failure& f, const Global& g);

}  // namespace velkarin::tool
