// Running the interpreter's signal handlers from inside a bus wait.
#include "python/signals.hpp"

#include <Python.h>

namespace velkarin::python {

// Taking the bus lock back lets the interpreter lock go while it waits, so a
// thread that holds the bus without the interpreter lock can finish first.
bool PythonSignalHandlers::resume_after_signal() {
    bus_lock_.release();
    const bool resume = PyErr_CheckSignals() == 0;
    bus_lock_.reacquire();
    return resume;
}

}  // namespace velkarin::python
