#pragma once
#include <Python.h>

#include "runtime/pyref.hpp"

namespace nn {
// Creates the sub-module "nn" (holding "functional") and attaches it to parent.
runtime::PyResult<void> init_submodule(PyObject* parent);
}  // namespace nn

namespace nn::functional {
// Creates the sub-module "functional" (holding relu) and attaches it to parent.
runtime::PyResult<void> init_submodule(PyObject* parent);
}  // namespace nn::functional
