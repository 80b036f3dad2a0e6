#pragma once
// Building module objects: public names go through add_public, which keeps __all__ in the order
// of addition.

#include <Python.h>

#include "runtime/pyref.hpp"

namespace runtime {

// Appends name to the module's __all__ (created when missing), then sets the attribute.
PyResult<void> add_public(PyObject* module, const char* name, PyObject* value);

// Adds a sub-module under the text after the last "." of its __name__.
PyResult<void> attach(PyObject* parent, PyObject* submodule);

// A plain module object that declares it does not need the GIL.
PyResult<PyRef> new_submodule(const char* name);

}  // namespace runtime
