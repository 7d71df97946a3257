// Taking a bus lock (or any lock a thread may hold without the interpreter
// lock) from a thread that holds the interpreter lock.
#pragma once

#include <Python.h>

#include <mutex>

namespace velkarin::python {

// A bus lock may be held by a thread that has let the interpreter lock go (a
// round of several motors waiting for their replies, whose signal handling
// needs the interpreter lock back). Waiting for the bus with the interpreter
// lock held could deadlock with such a thread, so a contended lock is
// waited for with the interpreter lock released; an uncontended one costs
// one try.
inline void lock_releasing_interpreter(std::mutex& lock) {
    if (lock.try_lock()) return;
    Py_BEGIN_ALLOW_THREADS
    lock.lock();
    Py_END_ALLOW_THREADS
}

}  // namespace velkarin::python
