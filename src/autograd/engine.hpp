#pragma once
// The backward pass and the clearing of the calling thread's tape.

#include "runtime/error.hpp"
#include "tensor/core/tensor.hpp"

namespace autograd::engine {

// Seeds ones at the tensor, walks the tape from its id down to 0 and, only when the whole pass
// succeeds, moves every gradient it reached into the tape's slots.
runtime::Result<void> backward(const tensor::core::Tensor& tensor);

void clear_graph();

}  // namespace autograd::engine
