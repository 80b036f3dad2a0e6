#pragma once
// Matrix products with broadcast batch axes. All arithmetic is float32: 16-bit operands are
// widened while the SGEMM packs them, and each result element is narrowed once.

#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"

namespace engine::cpu::numeric::ops::matmul {

using runtime::KernelResult;

// How the operands of a product meet: the broadcast batch axes, the matrix lengths, and each
// operand's strides over its expanded shape (batch + its two matrix axes).
struct ProductLayout {
    Shape batch;
    std::size_t M, K, N;
    Strides a_strides, b_strides;
};

// Every check of a product, in order (ranks, inner lengths, batch axes, expansion of A, then B),
// without computing it.
KernelResult<ProductLayout> product_layout(std::span<const std::size_t> a_shape,
                                           std::span<const std::ptrdiff_t> a_strides,
                                           std::span<const std::size_t> b_shape,
                                           std::span<const std::ptrdiff_t> b_strides);

// The float32 product of two arrays of rank >= 2, batch axes broadcast.
template <class T>
KernelResult<StridedArray<float>> internal_linalg_matmul(ArrayRef<T> a, ArrayRef<T> b);

// The product in the operands' element type.
template <class T>
KernelResult<StridedArray<T>> do_matmul(ArrayRef<T> a, ArrayRef<T> b);

}  // namespace engine::cpu::numeric::ops::matmul
