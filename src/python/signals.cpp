// Running the interpreter's signal handlers from inside a bus wait.
#include "python/signals.hpp"

#include <Python.h>

namespace velkarin::python {

// No other thread holds a bus lock without the interpreter lock, and this
// thread holds the interpreter lock here, so taking the bus lock back cannot
// wait on a thread that waits for us.
bool PythonSignalHandlers::resume_after_signal() {
    bus_lock_.unlock();
    const bool resume = PyErr_CheckSignals() == 0;
    bus_lock_.lock();
    return resume;
}

}  // namespace velkarin::python
