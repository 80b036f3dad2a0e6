#pragma once
// The operations of the core Tensor: the one place where computation and recording meet. A
// recorded operation puts its node on the calling thread's tape first and computes second; a
// failed computation leaves its node on the tape.

#include <span>

#include "runtime/error.hpp"
#include "tensor/core/tensor.hpp"

namespace tensor::core {

using TensorResult = runtime::Result<Tensor>;

TensorResult add(const Tensor& a, const Tensor& b);
TensorResult sub(const Tensor& a, const Tensor& b);
TensorResult mul(const Tensor& a, const Tensor& b);
TensorResult div(const Tensor& a, const Tensor& b);
TensorResult matmul(const Tensor& a, const Tensor& b);

TensorResult scalar_add(const Tensor& a, float x);
TensorResult scalar_sub(const Tensor& a, float x);
TensorResult scalar_mul(const Tensor& a, float x);
// Division by x is multiplication by the float32 reciprocal 1/x.
TensorResult scalar_div(const Tensor& a, float x);

TensorResult reshape(const Tensor& a, std::span<const std::size_t> shape);
TensorResult transpose(const Tensor& a, std::size_t dim0, std::size_t dim1);

// Never recorded; the results never require gradients.
TensorResult eq(const Tensor& a, const Tensor& b);
TensorResult ge(const Tensor& a, const Tensor& b);
TensorResult gt(const Tensor& a, const Tensor& b);
TensorResult le(const Tensor& a, const Tensor& b);
TensorResult lt(const Tensor& a, const Tensor& b);
TensorResult scalar_eq(const Tensor& a, float x);
TensorResult scalar_ge(const Tensor& a, float x);
TensorResult scalar_gt(const Tensor& a, float x);
TensorResult scalar_le(const Tensor& a, float x);
TensorResult scalar_lt(const Tensor& a, float x);
TensorResult logical_and(const Tensor& a, const Tensor& b);
TensorResult logical_or(const Tensor& a, const Tensor& b);
TensorResult logical_xor(const Tensor& a, const Tensor& b);
TensorResult logical_not(const Tensor& a);
Tensor zeros_like(const Tensor& a);
Tensor ones_like(const Tensor& a);

}  // namespace tensor::core
