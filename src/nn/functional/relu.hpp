#pragma once
#include <Python.h>

namespace nn::functional {
// relu(py_tensor): the rectified linear unit, element by element, recorded for differentiation.
extern PyMethodDef relu_definition;
}  // namespace nn::functional
