#pragma once
// The Python class Tensor: each instance holds one core Tensor record by value and nothing else.

#include <Python.h>

#include <new>

#include "runtime/once.hpp"
#include "runtime/pyref.hpp"
#include "tensor/core/tensor.hpp"

namespace tensor::api {

struct PyTensor {
    PyObject_HEAD
    core::Tensor tensor;
};

namespace detail {
extern runtime::OncePtr<PyTypeObject> tensor_type_object;
runtime::PyResult<PyTypeObject*> build_tensor_type();
}  // namespace detail

// The class object, built once per process on first need. Every operator asks for it, so the
// built class is found inline.
inline runtime::PyResult<PyTypeObject*> tensor_type() {
    if (PyTypeObject* ready = detail::tensor_type_object.peek()) return ready;
    return detail::build_tensor_type();
}

// Gives back an instance's reference to its class, where that is worth it. The class lives until
// the process ends, so the reference keeps nothing alive. On the free-threaded build, making an
// instance counts the reference on the calling thread's own tally of the class, but giving it back
// from here can only go to the class's shared count: one atomic operation on one cache line, which
// every thread's deallocations contend for (a + b ran no faster on two threads than on one). There
// the reference is kept; the build with the GIL gives it back.
inline void release_class_reference([[maybe_unused]] PyTypeObject* type) {
#ifndef Py_GIL_DISABLED
    Py_DECREF(type);
#endif
}

// A new instance of cls whose record is make()'s result. make() runs once the memory is there,
// so a failed allocation runs nothing; if make() throws, the memory goes back. The class (which
// has no subclasses) is no GC type and has no variable part, so the memory comes straight from
// the object allocator: PyObject_Init sets every field of the header, and the record's
// constructor the rest, which tp_alloc would first have zeroed.
template <class Make>
runtime::PyResult<runtime::PyRef> make_instance(PyTypeObject* cls, Make&& make) {
    void* memory = PyObject_Malloc(sizeof(PyTensor));
    if (memory == nullptr) {
        PyErr_NoMemory();
        return runtime::raised();
    }
    PyObject* object = PyObject_Init(static_cast<PyObject*>(memory), cls);
    struct Unbuilt {
        PyObject* object;
        ~Unbuilt() {
            if (object == nullptr) return;
            PyTypeObject* type = Py_TYPE(object);
            type->tp_free(object);
            release_class_reference(type);
        }
    } unbuilt{object};
    new (&reinterpret_cast<PyTensor*>(object)->tensor) core::Tensor(make());
    unbuilt.object = nullptr;
    return runtime::PyRef::steal(object);
}

// A new Python Tensor holding the record.
runtime::PyResult<runtime::PyRef> wrap(core::Tensor tensor);

inline bool is_tensor(PyObject* object, PyTypeObject* type) { return Py_TYPE(object) == type; }
inline const core::Tensor& record(PyObject* object) {
    return reinterpret_cast<PyTensor*>(object)->tensor;
}

// The parts of the class, each defined in the file that answers for it.
PyObject* tensor_new(PyTypeObject* cls, PyObject* args, PyObject* kwargs);
PyGetSetDef* tensor_attributes();
PyMethodDef* tensor_methods();

}  // namespace tensor::api
