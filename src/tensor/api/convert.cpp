#include "tensor/api/convert.hpp"

#include <cfloat>
#include <cmath>

#include "runtime/boundary.hpp"
#include "tensor/api/py_tensor.hpp"

namespace tensor::api {

using runtime::PyRef;
using runtime::PyResult;

float to_float32(double value) {
    // Past FLT_MAX plus half an ulp of the top binade, nearest-even rounding gives infinity.
    constexpr double overflow = double(FLT_MAX) + 0x1p103;
    if (value >= overflow) return INFINITY;
    if (value <= -overflow) return -INFINITY;
    return static_cast<float>(value);
}

PyResult<float> float32_of(PyObject* object) {
    const double value = PyFloat_AsDouble(object);
    if (value == -1.0 && PyErr_Occurred()) return runtime::raised();
    return to_float32(value);
}

PyResult<std::size_t> unsigned_word(PyObject* object) {
    MORLA_TRY(PyRef index, runtime::checked(PyNumber_Index(object)));
    const std::size_t value = PyLong_AsSize_t(index.get());
    if (value == std::size_t(-1) && PyErr_Occurred()) return runtime::raised();
    return value;
}

PyResult<engine::cpu::Shape> extents_of(PyObject* object) {
    if (PyUnicode_Check(object)) {
        return runtime::fail(PyExc_TypeError, "a str cannot be taken as a list of extents");
    }
    if (!PySequence_Check(object)) {
        MORLA_TRY(PyRef abc, runtime::checked(PyImport_ImportModule("collections.abc")));
        MORLA_TRY(PyRef sequence, runtime::checked(PyObject_GetAttrString(abc.get(), "Sequence")));
        MORLA_TRY(const int is_sequence,
                  runtime::status(PyObject_IsInstance(object, sequence.get())));
        if (is_sequence == 0) {
            return runtime::fail(PyExc_TypeError, "expected a sequence of extents, got %s",
                                 Py_TYPE(object)->tp_name);
        }
    }
    MORLA_TRY(PyRef iterator, runtime::checked(PyObject_GetIter(object)));
    engine::cpu::Shape extents;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        MORLA_TRY(const std::size_t extent, unsigned_word(item.get()));
        extents.push_back(extent);
    }
    if (PyErr_Occurred()) return runtime::raised();
    return extents;
}

PyResult<PyRef> wrap_result(core::TensorResult&& result) {
    MORLA_TRY(core::Tensor tensor, std::move(result));
    return wrap(std::move(tensor));
}

}  // namespace tensor::api
