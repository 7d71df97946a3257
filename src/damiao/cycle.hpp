// A batched cycle with several motors on one bus: every command frame goes out
// back to back, then the replies are collected under one deadline.
#pragma once

#include <functional>
#include <span>

#include "../transport/transport.hpp"
#include "command.hpp"
#include "driver.hpp"
#include "error.hpp"

namespace velkarin::damiao {

// One motor's part of a cycle; the motor is borrowed for the call.
struct MotorCommand {
    std::reference_wrapper<const Damiao> motor;
    Command command;
};

// Sends the frame of every command, in the order given (as many per system
// call as the bus takes), then receives until each motor whose frame went out
// has its reply (the first frame on its reply_id()) or one deadline passes:
// the largest time-out among those motors, counted from after the last send.
// Frames on other identifiers and second replies are dropped, and so are
// frames read together with the last reply. Allocates nothing; a signal
// during a wait goes to the bus's interrupt handler, as in every other wait.
//
// outcomes[i] receives motor i's decoded state, or its own error without
// failing the others:
//   InvalidLimits  its MIT limits were refused by the codec; nothing sent for it.
//   Transport      Timeout: no reply by the deadline. Backend: the send of its
//                  frame failed (a full transmit queue, ENOBUFS, is first retried
//                  with pauses until the largest time-out has passed since the
//                  queue was first found full), or a receive failed while its
//                  reply was due, or
//                  EINTR: a signal whose handler said stop ended the cycle before
//                  its reply (frames not yet sent then stay unsent).
//   ShortReply     its reply had fewer than 8 data bytes.
// Errors of the whole cycle, found before anything is sent (outcomes untouched):
//   OutcomeCount       outcomes.size() differs from commands.size().
//   DuplicateMasterId  two motors share a reply identifier.
Result<void> run_cycle(transport::CanTransport& bus, std::span<const MotorCommand> commands,
                       std::span<Result<MotorState>> outcomes);

}  // namespace velkarin::damiao
