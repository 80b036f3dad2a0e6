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

namespace runtime {

// Fetches and checks NumPy's API table once per process. On failure nothing is cached and the
// internal-failure exception is set.
PyResult<void> ensure_numpy_api();

// Whether the API table is set up; never initialises anything.
bool numpy_api_ready();

// Sets NumPy's memory handler for the calling thread's new arrays where the running NumPy has one
// (1.22 and later) and returns the handler it replaces; null, with no exception set, where it has
// none, before the set-up, or when the swap fails: new arrays then take NumPy's own memory.
PyObject* swap_data_handler(PyObject* handler);

// The built-in dtype NPY_FLOAT32, NPY_FLOAT16 or NPY_BOOL kept at set-up (borrowed: it lives as
// long as NumPy), or null before the set-up or for any other type; never initialises anything.
PyObject* builtin_descr(int type_num);

// getattr(import(module_name), attribute).
PyResult<PyRef> import_attribute(const char* module_name, const char* attribute);

// numpy.dtype(name), a new reference.
PyResult<PyRef> numpy_dtype_named(const char* name);

}  // namespace runtime
