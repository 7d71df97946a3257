// The interpreter a module's types belong to: the first that imports it.
#pragma once

#include <Python.h>

#include <cstdint>

namespace velkarin::python {

// True in the interpreter that first imported the module (remembered in
// `first`, which starts at -1); in any other, ImportError naming `module`.
// Its types and cached objects belong to that interpreter alone.
inline bool only_first_interpreter(std::int64_t& first, const char* module) {
    const std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (id < 0) return false;
    if (first < 0) first = id;
    if (id == first) return true;
    PyErr_Format(PyExc_ImportError,
                 "%s does not support sub-interpreters: it can only be imported by the interpreter "
                 "that first imported it",
                 module);
    return false;
}

}  // namespace velkarin::python
