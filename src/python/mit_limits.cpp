// MitLimits: a motor model's MIT scaling ranges, with the fifteen model
// presets as static methods.
#include <Python.h>
#include <structmember.h>

#include <array>
#include <cstddef>

#include <utility>

#include "damiao/mit/limits_text.hpp"
#include "damiao/presets.hpp"
#include "python/args.hpp"
#include "python/float_repr.hpp"
#include "python/heap_type.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

constexpr std::array<Param, 5> kParams{
    {{"p_max", false}, {"v_max", false}, {"kp_max", false}, {"kd_max", false}, {"t_max", false}}};
constinit Signature<5> kSignature{"MitLimits.__new__()", kParams};

PyObject* construct(PyObject*, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 5> in;
    if (!kSignature.parse(args, nargsf, kwnames, in)) return nullptr;
    damiao::MitLimits v;  // the defaults are the dm4310 ranges
    float* fields[] = {&v.p_max, &v.v_max, &v.kp_max, &v.kd_max, &v.t_max};
    for (std::size_t i = 0; i < in.size(); ++i)
        if (in[i] != nullptr && !to_f32(in[i], kParams[i].name, fields[i])) return nullptr;
    return new_mit_limits(v);
}

PyObject* repr(PyObject* self) {
    return to_py_str(damiao::mit::limits_text(reinterpret_cast<PyMitLimits*>(self)->value));
}

// One static method per preset, returning a new object on every call.
template <std::size_t I>
PyObject* preset(PyObject*, PyObject*) {
    return new_mit_limits(damiao::presets::kAll[I].limits);
}

// "dm4310()\n--\n\n": the text signature "()" and no docstring.
template <std::size_t I>
constexpr auto preset_doc() {
    constexpr std::string_view name = damiao::presets::kAll[I].name;
    constexpr std::string_view tail = "()\n--\n\n";
    std::array<char, name.size() + tail.size() + 1> doc{};
    std::size_t at = 0;
    for (char c : name) doc[at++] = c;
    for (char c : tail) doc[at++] = c;
    return doc;
}

template <std::size_t I>
inline constexpr auto kPresetDoc = preset_doc<I>();
template <std::size_t I>
inline constexpr auto kPresetName = [] {
    constexpr std::string_view name = damiao::presets::kAll[I].name;
    std::array<char, name.size() + 1> out{};
    for (std::size_t i = 0; i < name.size(); ++i) out[i] = name[i];
    return out;
}();

template <std::size_t... I>
constexpr std::array<PyMethodDef, sizeof...(I) + 1> preset_methods(std::index_sequence<I...>) {
    return {{{kPresetName<I>.data(), preset<I>, METH_NOARGS | METH_STATIC, kPresetDoc<I>.data()}...,
             {nullptr, nullptr, 0, nullptr}}};
}

auto methods = preset_methods(std::make_index_sequence<damiao::presets::kAll.size()>{});

#define FIELD(name) \
    {#name, T_FLOAT, offsetof(PyMitLimits, value) + offsetof(damiao::MitLimits, name), READONLY, nullptr}
PyMemberDef members[] = {FIELD(p_max), FIELD(v_max), FIELD(kp_max), FIELD(kd_max), FIELD(t_max),
                         {nullptr, 0, 0, 0, nullptr}};
#undef FIELD

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "MitLimits(p_max=12.5, v_max=30.0, kp_max=500.0, kd_max=5.0, t_max=10.0)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PyMitLimits>)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_members, members},
    {Py_tp_methods, methods.data()},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.MitLimits", sizeof(PyMitLimits), 0, kTypeFlags, slots};

}  // namespace

PyTypeObject* mit_limits_type() { return cached_type<&spec, construct>(); }

PyObject* new_mit_limits(const damiao::MitLimits& value) {
    return new_holding<PyMitLimits>(mit_limits_type(), value);
}

}  // namespace velkarin::python
