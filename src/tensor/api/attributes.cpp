// The read-only attributes of Tensor. Each access builds a new list or string.
#include "runtime/boundary.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {
namespace {

using runtime::PyRef;
using runtime::PyResult;

template <class Values, class Convert>
PyResult<PyRef> list_of(const Values& values, Convert convert) {
    MORLA_TRY(PyRef list, runtime::checked(PyList_New(Py_ssize_t(values.size()))));
    for (std::size_t i = 0; i < values.size(); ++i) {
        MORLA_TRY(auto item, runtime::non_null(convert(values[i])));
        PyList_SET_ITEM(list.get(), Py_ssize_t(i), item);
    }
    return list;
}

PyObject* get_shape(PyObject* self, void*) {
    return runtime::guarded([&] {
        return list_of(record(self).cpu().shape(), [](std::size_t v) { return PyLong_FromSize_t(v); });
    });
}

PyObject* get_strides(PyObject* self, void*) {
    return runtime::guarded([&] {
        return list_of(record(self).cpu().strides(),
                       [](std::ptrdiff_t v) { return PyLong_FromSsize_t(v); });
    });
}

PyObject* get_ndim(PyObject* self, void*) {
    return PyLong_FromSize_t(record(self).cpu().rank());
}

PyObject* get_dtype(PyObject* self, void*) {
    auto name = storage::python_name(record(self).cpu().dtype());
    return PyUnicode_FromStringAndSize(name.data(), Py_ssize_t(name.size()));
}

PyObject* get_device(PyObject*, void*) { return PyUnicode_FromString("cpu"); }

PyObject* get_requires_grad(PyObject* self, void*) {
    return PyBool_FromLong(record(self).requires_grad);
}

PyGetSetDef attributes[] = {
    {"shape", get_shape, nullptr, nullptr, nullptr},
    {"strides", get_strides, nullptr, nullptr, nullptr},
    {"ndim", get_ndim, nullptr, nullptr, nullptr},
    {"dtype", get_dtype, nullptr, nullptr, nullptr},
    {"device", get_device, nullptr, nullptr, nullptr},
    {"requires_grad", get_requires_grad, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyGetSetDef* tensor_attributes() { return attributes; }

}  // namespace tensor::api
