#pragma once
// Gradient of relu: g where the input is greater than zero, +0 elsewhere. No broadcasting.

#include "engine/cpu/elementwise.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/numeric/ops/kernel_bound.hpp"

namespace engine::cpu::numeric::backward {

template <class T>
ops::KernelResult<StridedArray<T>> relu_backward(const StridedArray<T>& grad, const StridedArray<T>& x) {
    if (grad.shape != x.shape) {
        return std::unexpected("Shape mismatch in relu_backward: grad " + ops::shape_text(grad.shape) +
                               " vs input " + ops::shape_text(x.shape));
    }
    return elementwise<T>(grad, x, ops::KernelBound<WherePositive, T>{});
}

}  // namespace engine::cpu::numeric::backward
