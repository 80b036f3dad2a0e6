#include "tensor/api/convert.hpp"

#include <cfloat>
#include <cmath>

#include "runtime/boundary.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {

using runtime::PyRef;

float to_float32(double value) {
    // Past FLT_MAX plus half an ulp of the top binade, nearest-even rounding gives infinity.
    constexpr double overflow = double(FLT_MAX) + 0x1p103;
    if (value >= overflow) return INFINITY;
    if (value <= -overflow) return -INFINITY;
    return static_cast<float>(value);
}

float float32_of(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) throw runtime::PythonError();
    return to_float32(value);
}

std::size_t unsigned_word(PyObject* object) {
    PyRef index = runtime::checked(PyNumber_Index(object));
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == std::size_t(-1) && PyErr_Occurred()) throw runtime::PythonError();
    return value;
}

engine::cpu::Shape extents_of(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a list of extents");
        throw runtime::PythonError();
    }
    if (!PySequence_Check(object)) {
        PyRef abc = runtime::checked(PyImport_ImportModule("collections.abc"));
        PyRef sequence = runtime::checked(PyObject_GetAttrString(abc.get(), "Sequence"));
        if (!runtime::checked(PyObject_IsInstance(object, sequence.get()))) {
            PyErr_Format(PyExc_TypeError, "expected a sequence of extents, got %s",
                         Py_TYPE(object)->tp_name);
            throw runtime::PythonError();
        }
    }
    PyRef iterator = runtime::checked(PyObject_GetIter(object));
    engine::cpu::Shape extents;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        extents.push_back(unsigned_word(item.get()));
    }
    if (PyErr_Occurred()) throw runtime::PythonError();
    return extents;
}

PyRef wrap_result(core::TensorResult&& result) {
    return wrap(runtime::value_or_raise(std::move(result)));
}

}  // namespace tensor::api
