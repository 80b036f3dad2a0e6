#pragma once
// Matrix products with broadcast batch axes. All arithmetic is float32: 16-bit operands are
// widened while the SGEMM packs them, and each result element is narrowed once.

#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"

namespace engine::cpu::numeric::ops::matmul {

using runtime::KernelResult;

// The float32 product of two arrays of rank >= 2, batch axes broadcast.
template <class T>
KernelResult<StridedArray<float>> internal_linalg_matmul(ArrayRef<T> a, ArrayRef<T> b);

// The product in the operands' element type.
template <class T>
KernelResult<StridedArray<T>> do_matmul(ArrayRef<T> a, ArrayRef<T> b);

}  // namespace engine::cpu::numeric::ops::matmul
