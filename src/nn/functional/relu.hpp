#pragma once
#include <Python.h>

#include "tensor/core/ops.hpp"

namespace nn::functional {
// Records a ReluNode when the input requires gradients, then computes.
tensor::core::TensorResult relu(const tensor::core::Tensor& t);

// relu(py_tensor): the rectified linear unit, element by element, recorded for differentiation.
extern PyMethodDef relu_definition;
}  // namespace nn::functional
