#pragma once
// NumPy's C array API, fetched lazily: include this instead of NumPy's headers. The API table is
// filled by ensure_numpy_api() on the first call that needs it, never at import.

#include <Python.h>

#define NPY_TARGET_VERSION NPY_1_15_API_VERSION
#define NPY_NO_DEPRECATED_API NPY_1_15_API_VERSION
#define PY_ARRAY_UNIQUE_SYMBOL morla_numpy_api
#ifndef MORLA_NUMPY_API_OWNER
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>

#include "runtime/pyref.hpp"
#include "tensor/storage/dtype.hpp"

namespace runtime {

// Fetches and checks NumPy's API table once per process. On failure nothing is cached and the
// internal-failure exception is set.
PyResult<void> ensure_numpy_api();

// The NumPy dtype of an element type (borrowed: it lives as long as NumPy). The bfloat16 dtype is
// the one that NumPy resolves for the name "bfloat16", looked up once on first need.
PyResult<PyObject*> numpy_descr(tensor::storage::DType dtype);

// Whether the API table is set up, and the dtype of an element type if it is already known;
// neither ever initialises anything.
bool numpy_api_ready();
PyObject* loaded_descr(tensor::storage::DType dtype);

}  // namespace runtime
