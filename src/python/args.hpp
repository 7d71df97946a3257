// The one argument rule of every callable in the module: parameters by
// position or keyword, in signature order, defaults omitted, and fixed
// TypeError texts for every call that does not fit. Table-driven: each
// callable declares a static Signature; parsing fills a stack array of
// borrowed references and allocates nothing on success.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>

namespace velkarin::python {

struct Param {
    const char* name;
    bool required;
};

namespace detail {
bool parse_arguments(const char* full_name, const Param* params, PyObject** interned,
                     std::size_t n, std::size_t positional, PyObject* const* args,
                     Py_ssize_t nargs, PyObject* kwnames, PyObject** out);
}  // namespace detail

// `full_name` is how errors name the callable: "Damiao.enable()",
// "SocketCanTransport.__new__()", "mit_setpoint()". Required parameters come
// first. Declare one per callable with static storage; the interned keyword
// names are made on the first call (the interpreter lock is held then).
template <std::size_t N>
class Signature {
public:
    // Parameters from `positional` on are keyword-only.
    constexpr Signature(const char* full_name, std::array<Param, N> params,
                        std::size_t positional = N)
        : full_name_(full_name), params_(params), positional_(positional) {}

    // Fills out[0..N) with borrowed references, nullptr where a parameter
    // was omitted. Returns false with TypeError set when the call does not fit.
    bool parse(PyObject* const* args, std::size_t nargsf, PyObject* kwnames,
               std::array<PyObject*, N>& out) const {
        return detail::parse_arguments(full_name_, params_.data(), interned_.data(), N,
                                       positional_, args, PyVectorcall_NARGS(nargsf), kwnames,
                                       out.data());
    }

private:
    const char* full_name_;
    std::array<Param, N> params_;
    std::size_t positional_;
    mutable std::array<PyObject*, N> interned_{};  // process-lifetime interned names
};

// Conversions of one argument. Each returns false with the exception set; a
// TypeError from the host's conversion is replaced by one whose text starts
// with "argument '<name>': ", any other error passes through unchanged.

// Host float conversion (float, int, __float__, __index__), then rounded to
// the nearest 32-bit float (beyond its range: an infinity of the same sign).
bool to_f32(PyObject* o, const char* name, float* out);
// Host integer conversion to C long, then 0..65535 or OverflowError
// "out of range integral type conversion attempted".
bool to_u16(PyObject* o, const char* name, std::uint16_t* out);
// Index protocol to an unsigned 64-bit integer (the host's OverflowError for
// negative or too large values).
bool to_u64(PyObject* o, const char* name, std::uint64_t* out);
// A str's UTF-8 text (borrowed, valid while `o` lives); a non-str gives
// "argument '<name>': '<type>' object cannot be converted to 'PyString'".
bool to_utf8(PyObject* o, const char* name, const char** text, Py_ssize_t* size);

// Raises TypeError "argument '<name>': '<qualname of o's type>' object cannot
// be converted to '<expected>'" and returns false.
bool wrong_class(PyObject* o, const char* name, const char* expected);

// `o` as an instance of `type` (exact: the module's types are final), or
// nullptr with the wrong_class error set.
template <typename T>
T* expect_instance(PyObject* o, PyTypeObject* type, const char* name, const char* expected) {
    if (Py_TYPE(o) == type) return reinterpret_cast<T*>(o);
    wrong_class(o, name, expected);
    return nullptr;
}

}  // namespace velkarin::python
