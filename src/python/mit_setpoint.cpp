// MitSetpoint: one MIT impedance command, and the module function
// `mit_setpoint` that builds one.
#include <Python.h>
#include <structmember.h>

#include <array>
#include <cstddef>


#include "python/args.hpp"
#include "python/float_repr.hpp"
#include "python/heap_type.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

constexpr std::array<Param, 5> kParams{
    {{"q", false}, {"dq", false}, {"kp", false}, {"kd", false}, {"tau", false}}};
constinit Signature<5> kConstructor{"MitSetpoint.__new__()", kParams};
constinit Signature<5> kFunction{"mit_setpoint()", kParams};

PyObject* build(const Signature<5>& sig, PyObject* const* args, std::size_t nargsf,
                PyObject* kwnames) {
    std::array<PyObject*, 5> in;
    if (!sig.parse(args, nargsf, kwnames, in)) return nullptr;
    damiao::MitSetpoint v;  // every field defaults to 0.0
    float* fields[] = {&v.q, &v.dq, &v.kp, &v.kd, &v.tau};
    for (std::size_t i = 0; i < in.size(); ++i)
        if (in[i] != nullptr && !to_f32(in[i], kParams[i].name, fields[i])) return nullptr;
    return new_mit_setpoint(v);
}

PyObject* construct(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    return build(kConstructor, args, nargsf, kwnames);
}

PyObject* function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return build(kFunction, args, static_cast<std::size_t>(nargs), kwnames);
}

PyObject* repr(PyObject* self) {
    const auto& v = reinterpret_cast<PyMitSetpoint*>(self)->value;
    std::string s = "MitSetpoint(";
    append_field(s, "q", v.q, true);
    append_field(s, "dq", v.dq);
    append_field(s, "kp", v.kp);
    append_field(s, "kd", v.kd);
    append_field(s, "tau", v.tau);
    s += ')';
    return to_py_str(s);
}

#define FIELD(name) \
    {#name, T_FLOAT, offsetof(PyMitSetpoint, value) + offsetof(damiao::MitSetpoint, name), READONLY, nullptr}
PyMemberDef members[] = {FIELD(q), FIELD(dq), FIELD(kp), FIELD(kd), FIELD(tau),
                         {nullptr, 0, 0, 0, nullptr}};
#undef FIELD

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("MitSetpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyMitSetpoint>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_members, members},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.MitSetpoint", sizeof(PyMitSetpoint), 0, kTypeFlags, slots};

PyMethodDef function_def = {
    "mit_setpoint", fastcall(function),
    METH_FASTCALL | METH_KEYWORDS,
    "mit_setpoint(q=0.0, dq=0.0, kp=0.0, kd=0.0, tau=0.0)\n--\n\n"
    "Build a `MitSetpoint` (handy when keyword args are awkward)."};

}  // namespace

PyTypeObject* mit_setpoint_type() { return cached_type<&spec, construct>(); }

PyObject* new_mit_setpoint(const damiao::MitSetpoint& value) {
    return new_holding<PyMitSetpoint>(mit_setpoint_type(), value);
}

PyMethodDef* mit_setpoint_function() { return &function_def; }

}  // namespace velkarin::python
