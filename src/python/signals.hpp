// What a bus does when a signal interrupts one of its waits: it leaves its bus
// lock, runs the interpreter's signal handlers, and takes the lock again.
#pragma once

#include "python/object_lock.hpp"
#include "transport/transport.hpp"

namespace velkarin::python {

// Handlers never run under the bus lock, so a handler may command any bus,
// the waiting one included (the usual "disable everything on Ctrl-C"). One
// that raises ends the interrupted call with its exception; one that returns
// lets the call wait on until its own deadline, nothing resent. The
// interpreter lock stays held by the waiting thread throughout, except while
// the handlers' own Python code lets other threads run, and while it waits
// to take the bus lock back from another thread.
class PythonSignalHandlers final : public transport::InterruptHandler {
public:
    explicit PythonSignalHandlers(ObjectLock& bus_lock) : bus_lock_(bus_lock) {}
    bool resume_after_signal() override;

private:
    ObjectLock& bus_lock_;
};

}  // namespace velkarin::python
