// Argument parsing and conversion with the module's fixed error texts.
#include "python/args.hpp"

#include <cmath>
#include <limits>
#include <string>

#include "python/py_ref.hpp"

namespace velkarin::python {
namespace {

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'"
std::string quoted_list(const Param* params, const std::size_t* idx, std::size_t count) {
    std::string s;
    for (std::size_t i = 0; i < count; ++i) {
        if (i > 0) s += (count == 2) ? " and " : (i + 1 == count ? ", and " : ", ");
        s += '\'';
        s += params[idx[i]].name;
        s += '\'';
    }
    return s;
}

bool too_many_positional(const char* full_name, const Param* params, std::size_t n,
                         Py_ssize_t given) {
    std::size_t required = 0;
    while (required < n && params[required].required) ++required;
    const char* verb = given == 1 ? "was" : "were";
    if (required == n)
        PyErr_Format(PyExc_TypeError, "%s takes %zu positional arguments but %zd %s given",
                     full_name, n, given, verb);
    else
        PyErr_Format(PyExc_TypeError,
                     "%s takes from %zu to %zu positional arguments but %zd %s given", full_name,
                     required, n, given, verb);
    return false;
}

// Index of the parameter named `key`: by identity with the interned names
// first (the usual case: keyword names at call sites are interned), then by value.
Py_ssize_t find_keyword(PyObject* key, const Param* params, PyObject** interned, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i)
        if (interned[i] == key) return static_cast<Py_ssize_t>(i);
    if (!PyUnicode_Check(key)) return -1;
    for (std::size_t i = 0; i < n; ++i)
        if (PyUnicode_CompareWithASCIIString(key, params[i].name) == 0)
            return static_cast<Py_ssize_t>(i);
    return -1;
}

bool intern_names(const Param* params, PyObject** interned, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        if (interned[i] != nullptr) continue;
        interned[i] = PyUnicode_InternFromString(params[i].name);
        if (interned[i] == nullptr) return false;
    }
    return true;
}

// Replaces a pending TypeError by "argument '<name>': <its message>".
void prefix_type_error(const char* name) {
    if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), b = PyRef::steal(tb);
    PyRef text = PyRef::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    if (!text) return;
    PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, text.get());
}

}  // namespace

namespace detail {

bool parse_arguments(const char* full_name, const Param* params, PyObject** interned,
                     std::size_t n, std::size_t positional, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
    if (static_cast<std::size_t>(nargs) > positional)
        return too_many_positional(full_name, params, positional, nargs);
    for (std::size_t i = 0; i < n; ++i)
        out[i] = i < static_cast<std::size_t>(nargs) ? args[i] : nullptr;

    if (kwnames != nullptr) {
        if (!intern_names(params, interned, n)) return false;
        const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t k = 0; k < nkw; ++k) {
            PyObject* key = PyTuple_GET_ITEM(kwnames, k);
            const Py_ssize_t i = find_keyword(key, params, interned, n);
            if (i < 0) {
                PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%S'",
                             full_name, key);
                return false;
            }
            if (out[i] != nullptr) {
                PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'",
                             full_name, params[i].name);
                return false;
            }
            out[i] = args[nargs + k];
        }
    }

    std::size_t missing[16];
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < n && n_missing < 16; ++i)
        if (params[i].required && out[i] == nullptr) missing[n_missing++] = i;
    if (n_missing == 0) return true;
    const std::string names = quoted_list(params, missing, n_missing);
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s", full_name,
                 n_missing, n_missing == 1 ? "" : "s", names.c_str());
    return false;
}

}  // namespace detail

bool to_f32(PyObject* o, const char* name, float* out) {
    const double d = PyFloat_AsDouble(o);
    if (d == -1.0 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    // Round to nearest; a double at or beyond the midpoint between the largest
    // float and 2^128 rounds to infinity (the cast alone would be undefined).
    constexpr double kOverflow = 0x1.ffffffp127;
    if (std::isfinite(d) && std::fabs(d) >= kOverflow)
        *out = d > 0 ? std::numeric_limits<float>::infinity()
                     : -std::numeric_limits<float>::infinity();
    else
        *out = static_cast<float>(d);
    return true;
}

bool to_u16(PyObject* o, const char* name, std::uint16_t* out) {
    const long v = PyLong_AsLong(o);
    if (v == -1 && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    if (v < 0 || v > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    *out = static_cast<std::uint16_t>(v);
    return true;
}

bool to_u64(PyObject* o, const char* name, std::uint64_t* out) {
    PyRef index = PyRef::steal(PyNumber_Index(o));
    if (!index) {
        prefix_type_error(name);
        return false;
    }
    const unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        prefix_type_error(name);
        return false;
    }
    *out = v;
    return true;
}

bool to_utf8(PyObject* o, const char* name, const char** text, Py_ssize_t* size) {
    if (!PyUnicode_Check(o)) return wrong_class(o, name, "PyString");
    *text = PyUnicode_AsUTF8AndSize(o, size);  // UnicodeEncodeError passes through
    return *text != nullptr;
}

bool wrong_class(PyObject* o, const char* name, const char* expected) {
    PyRef qualname = PyRef::steal(PyType_GetQualName(Py_TYPE(o)));
    if (!qualname) return false;
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object cannot be converted to '%s'", name,
                 qualname.get(), expected);
    return false;
}

}  // namespace velkarin::python
