// Building reprs from the core's float texts without temporary Python objects.
#pragma once

#include <Python.h>

#include <string>

#include "damiao/text/float_text.hpp"

namespace velkarin::python {

// Appends "name=<shortest text of x>" (", " before every field but the first).
inline void append_field(std::string& out, const char* name, float x, bool first = false) {
    if (!first) out += ", ";
    out += name;
    out += '=';
    out += damiao::float_text::shortest(x);
}

inline PyObject* to_py_str(const std::string& s) {
    return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

}  // namespace velkarin::python
