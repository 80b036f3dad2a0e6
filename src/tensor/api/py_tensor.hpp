#pragma once
// The Python class Tensor: each instance holds one core Tensor record by value and nothing else.

#include <Python.h>

#include "runtime/pyref.hpp"
#include "tensor/core/tensor.hpp"

namespace tensor::api {

struct PyTensor {
    PyObject_HEAD
    core::Tensor tensor;
};

// The class object, built once per process on first need.
runtime::PyResult<PyTypeObject*> tensor_type();

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
