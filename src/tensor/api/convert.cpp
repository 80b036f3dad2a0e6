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
    // An int is its own index: PyNumber_Index would hand back the same object.
    PyRef index;
    if (!PyLong_CheckExact(object)) {
        MORLA_TRY(index, runtime::checked(PyNumber_Index(object)));
        object = index.get();
    }
    const std::size_t value = PyLong_AsSize_t(object);
    if (value == std::size_t(-1) && PyErr_Occurred()) return runtime::raised();
    return value;
}

PyResult<engine::cpu::Shape> extents_of(PyObject* object) {
    engine::cpu::Shape extents;
    // A tuple or list itself is read by index, as its iterator would read it, without making
    // the iterator: a list's length is read again at every step, and an index past its end (it
    // may shrink while an extent's __index__ runs, or on another thread) ends it.
    if (PyTuple_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(object); ++i) {
            MORLA_TRY(const std::size_t extent, unsigned_word(PyTuple_GET_ITEM(object, i)));
            extents.push_back(extent);
        }
        return extents;
    }
    if (PyList_CheckExact(object)) {
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(object); ++i) {
            PyRef item = PyRef::steal(PyList_GetItemRef(object, i));
            if (!item) {
                PyErr_Clear();  // the IndexError of a list that shrank meanwhile
                break;
            }
            MORLA_TRY(const std::size_t extent, unsigned_word(item.get()));
            extents.push_back(extent);
        }
        return extents;
    }
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
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
        MORLA_TRY(const std::size_t extent, unsigned_word(item.get()));
        extents.push_back(extent);
    }
    if (PyErr_Occurred()) return runtime::raised();
    return extents;
}

PyResult<PyRef> wrap_result(core::TensorResult&& result) {
    MORLA_TRY(result);
    return wrap(std::move(*result));
}

}  // namespace tensor::api
