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
    // Both without the interpreter lock.
    void lock_all();
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
class RoundScope {
public:
    explicit RoundScope(BusLocks& locks);
    ~RoundScope();
    RoundScope(const RoundScope&) = delete;
    RoundScope& operator=(const RoundScope&) = delete;

    transport::InterruptHandler* signal_handler() { return &signals_; }

private:
    struct Signals final : transport::InterruptHandler {
        RoundScope* round;
        bool resume_after_signal() override;
    };

    BusLocks& locks_;
    PyThreadState* thread_;
    Signals signals_;
};

}  // namespace velkarin::group
