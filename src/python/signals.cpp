// Running the interpreter's signal handlers from inside a bus wait.
#include "python/signals.hpp"

#include <Python.h>

#include "python/bus_lock.hpp"

namespace velkarin::python {

// Taking the bus lock back lets the interpreter lock go while it waits, so a
// thread that holds the bus without the interpreter lock can finish first.
bool PythonSignalHandlers::resume_after_signal() {
    bus_lock_.unlock();
    const bool resume = PyErr_CheckSignals() == 0;
    lock_releasing_interpreter(bus_lock_);
    return resume;
}

}  // namespace velkarin::python
