#pragma once
// Conversions of Python arguments to the core's operand types, and of results back.

#include <Python.h>

#include <cstddef>

#include "engine/cpu/strided_array.hpp"
#include "runtime/pyref.hpp"
#include "tensor/core/ops.hpp"

namespace tensor::api {

// A double rounded to float32: nearest, ties to even; beyond the range, an infinity.
float to_float32(double value);

// The interpreter's float conversion (float, int, bool, __float__, __index__), then float32.
runtime::PyResult<float> float32_of(PyObject* object);

// An unsigned machine word from an int or an object with __index__.
runtime::PyResult<std::size_t> unsigned_word(PyObject* object);

// A list of extents from a sequence of such words; a str is refused.
runtime::PyResult<engine::cpu::Shape> extents_of(PyObject* object);

// A new Python Tensor for a successful operation, or the operation's error raised.
runtime::PyResult<runtime::PyRef> wrap_result(core::TensorResult&& result);

}  // namespace tensor::api
