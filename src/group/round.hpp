// One round of a group from Python: the interpreter lock let go, every bus
// lock of the round taken in one global order, and signals handled in
// between with all of them released.
#pragma once

#include <Python.h>

#include <vector>

#include "python/types.hpp"
#include "transport/transport.hpp"

namespace velkarin::group {

// The bus locks of a group's buses. They are taken in the order of the bus
// objects' addresses, by every round of every group, and a single command
// holds only one: no two threads can wait on each other in a circle.
class BusLocks {
public:
    explicit BusLocks(std::vector<python::PySocketCanTransport*> buses);
    // Without the interpreter lock; `thread` is the saved state, taken back
    // to run signal handlers between waits. False, with every lock let go
    // and the exception of a handler that raised, when they were not all taken.
    bool lock_all(PyThreadState*& thread);
    // Without the interpreter lock, for locks let go only while handlers ran.
    void relock_all();
    void unlock_all();

private:
    std::vector<python::PySocketCanTransport*> buses_;  // sorted, each once
};

// For the length of a round: the interpreter lock released and the bus
// locks held; on leaving, both the other way round. A signal during one of
// the round's waits (signal_handler()) leaves every bus lock, runs the
// interpreter's signal handlers, which may command motors on these buses,
// and takes the locks back: a raising handler ends the round (its exception
// is pending once the round is over), a returning one lets it go on.
//
// A daemon thread that takes the interpreter lock back while the interpreter
// finalizes is ended with a forced unwind; it passes through here (the
// destructor may throw it) with nothing released twice.
class RoundScope {
public:
    explicit RoundScope(BusLocks& locks);
    ~RoundScope() noexcept(false);
    RoundScope(const RoundScope&) = delete;
    RoundScope& operator=(const RoundScope&) = delete;

    // False when a signal handler raised while the bus locks were awaited:
    // then no lock is held, and the round must not run.
    bool started() const { return locks_held_; }
    transport::InterruptHandler* signal_handler() { return &signals_; }

private:
    struct Signals final : transport::InterruptHandler {
        RoundScope* round;
        bool resume_after_signal() override;
    };

    BusLocks& locks_;
    PyThreadState* thread_;  // saved while this thread runs without the interpreter lock
    bool locks_held_ = false;
    Signals signals_;
};

}  // namespace velkarin::group
