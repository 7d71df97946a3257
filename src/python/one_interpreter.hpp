// The interpreter a module's types belong to: the first that imports it, and
// the one module object made there.
#pragma once

#include <Python.h>

#include <cstdint>

#include "python/py_ref.hpp"

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

// A module made once per process: a name and a docstring, its contents added
// by the caller's fill step. A re-import (after `del sys.modules[...]`) gets
// the same object again, since the types it holds are made once too.
class ModuleOnce {
public:
    ModuleOnce(const char* name, const char* doc)
        : def_{PyModuleDef_HEAD_INIT, name, doc, 0, nullptr, nullptr, nullptr, nullptr, nullptr} {}
    ModuleOnce(const ModuleOnce&) = delete;
    ModuleOnce& operator=(const ModuleOnce&) = delete;

    // The module, made and filled (`fill(module)` false with an error set
    // drops the partial module) on the first call; a new reference.
    template <class Fill>
    PyObject* get(Fill fill) {
        if (!only_first_interpreter(first_interpreter_, def_.m_name)) return nullptr;
        if (module_ != nullptr) return Py_NewRef(module_);
        PyRef module = PyRef::steal(PyModule_Create2(&def_, PYTHON_API_VERSION));
        if (!module || !fill(module.get())) return nullptr;
        module_ = Py_NewRef(module.get());
        return module.release();
    }

private:
    PyModuleDef def_;
    PyObject* module_ = nullptr;  // kept for the process's lifetime
    std::int64_t first_interpreter_ = -1;
};

}  // namespace velkarin::python
