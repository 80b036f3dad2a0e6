#pragma once
// The NumPy dtype of each element type, for conversions in both directions.

#include <Python.h>

#include "runtime/pyref.hpp"
#include "tensor/storage/dtype.hpp"

namespace engine::cpu::storage {

using tensor::storage::DType;

// The NumPy dtype of an element type (borrowed: it lives as long as NumPy), setting up NumPy's
// C API first. The bfloat16 dtype is the one that NumPy resolves for the name "bfloat16",
// looked up once on first need; without one the internal-failure exception is set.
runtime::PyResult<PyObject*> numpy_descr(DType dtype);

// The dtype of an element type if it is already known, else null; never initialises anything.
PyObject* loaded_descr(DType dtype);

}  // namespace engine::cpu::storage
