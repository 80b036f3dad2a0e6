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
    auto index = runtime::checked(PyNumber_Index(object));
    if (!index) return runtime::raised();
    const std::size_t value = PyLong_AsSize_t(index->get());
    if (value == std::size_t(-1) && PyErr_Occurred()) return runtime::raised();
    return value;
}

PyResult<engine::cpu::Shape> extents_of(PyObject* object) {
    if (PyUnicode_Check(object)) {
        PyErr_SetString(PyExc_TypeError, "a str cannot be taken as a list of extents");
        return runtime::raised();
    }
    if (!PySequence_Check(object)) {
        auto abc = runtime::checked(PyImport_ImportModule("collections.abc"));
        if (!abc) return runtime::raised();
        auto sequence = runtime::checked(PyObject_GetAttrString(abc->get(), "Sequence"));
        if (!sequence) return runtime::raised();
        const int is_sequence = PyObject_IsInstance(object, sequence->get());
        if (is_sequence < 0) return runtime::raised();
        if (is_sequence == 0) {
            PyErr_Format(PyExc_TypeError, "expected a sequence of extents, got %s",
                         Py_TYPE(object)->tp_name);
            return runtime::raised();
        }
    }
    auto iterator = runtime::checked(PyObject_GetIter(object));
    if (!iterator) return runtime::raised();
    engine::cpu::Shape extents;
    while (PyRef item = PyRef::steal(PyIter_Next(iterator->get()))) {
        auto extent = unsigned_word(item.get());
        if (!extent) return runtime::raised();
        extents.push_back(*extent);
    }
    if (PyErr_Occurred()) return runtime::raised();
    return extents;
}

PyResult<PyRef> wrap_result(core::TensorResult&& result) {
    auto tensor = runtime::or_raise(std::move(result));
    if (!tensor) return runtime::raised();
    return wrap(std::move(*tensor));
}

}  // namespace tensor::api
