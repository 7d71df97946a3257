// SocketCanTransport, the bus object: one raw CAN socket, opened at
// construction, behind the bus lock, closed when the object is released.
#include <array>
#include <cstddef>
#include <new>
#include <string_view>

#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/heap_type.hpp"
#include "python/types.hpp"

namespace velkarin::python {
namespace {

// In the child of a fork: the calls of the threads that did not come along
// wait for nothing any more.
void forget_other_threads_calls(void* bus) {
    static_cast<PySocketCanTransport*>(bus)->transport.replies().forget_other_threads_waiters();
}

constinit Signature<1> kSignature{"SocketCanTransport.__new__()", {{{"iface", true}}}};

PyObject* construct(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
    std::array<PyObject*, 1> in;
    if (!kSignature.parse(args, nargsf, kwnames, in)) return nullptr;
    const char* name = nullptr;
    Py_ssize_t size = 0;
    if (!to_utf8(in[0], "iface", &name, &size)) return nullptr;

    auto opened = transport::SocketCanTransport::open(
        std::string_view(name, static_cast<std::size_t>(size)));
    if (!opened) return transport_err_to_py(transport::TransportError::backend(opened.error()));

    // On allocation failure `opened` goes out of scope and closes the socket.
    auto* obj = alloc_object<PySocketCanTransport>(reinterpret_cast<PyTypeObject*>(type));
    if (obj == nullptr) return nullptr;
    new (&obj->lock) ObjectLock(forget_other_threads_calls, obj);
    new (&obj->transport) transport::SocketCanTransport(std::move(*opened));
    new (&obj->signals) PythonSignalHandlers(obj->lock);
    obj->transport.set_interrupt_handler(&obj->signals);
    return reinterpret_cast<PyObject*>(obj);
}

// Closes the socket (the result of close is ignored).
void destroy(PySocketCanTransport* self) {
    self->signals.~PythonSignalHandlers();
    self->transport.~SocketCanTransport();
    self->lock.~ObjectLock();
}

PyType_Slot slots[] = {
    {Py_tp_doc, const_cast<char*>("SocketCanTransport(iface)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(new_via_vectorcall)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<PySocketCanTransport, destroy>)},
    {0, nullptr},
};

PyType_Spec spec = {"velkarin.SocketCanTransport", sizeof(PySocketCanTransport), 0, kTypeFlags,
                    slots};

}  // namespace

PyTypeObject* socketcan_transport_type() { return cached_type<&spec, construct>(); }

}  // namespace velkarin::python
