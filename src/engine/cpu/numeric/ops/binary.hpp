#pragma once
// The arithmetic and comparison kernels of two arrays, on the shared element-wise driver.

#include "engine/cpu/elementwise.hpp"
#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/ops/kernel_bound.hpp"

namespace engine::cpu::numeric::ops {

// Arithmetic: the operands' element type, computed in float32 and narrowed once. The result is
// built in a Holder<T> (see elementwise).
template <class F, template <class> class Holder = OwnArray, class T>
typename Holder<T>::Result arithmetic(const StridedArray<T>& a, const StridedArray<T>& b) {
    return elementwise<T, Holder<T>>(a, b, KernelBound<F, T>{});
}

// Comparison: IEEE ordering of the elements' own values (widening is exact); a bool result.
template <class F, template <class> class Holder = OwnArray, class T>
typename Holder<bool>::Result comparison(const StridedArray<T>& a, const StridedArray<T>& b) {
    if constexpr (std::is_same_v<T, bool>) {
        return elementwise<bool, Holder<bool>>(a, b, [](bool x, bool y) {
            return F{}(TensorOps<bool>::widen(x), TensorOps<bool>::widen(y));
        });
    } else {
        return elementwise<bool, Holder<bool>>(a, b, KernelBound<F, T>{});
    }
}

template <class T> auto add(const StridedArray<T>& a, const StridedArray<T>& b) { return arithmetic<Add>(a, b); }
template <class T> auto sub(const StridedArray<T>& a, const StridedArray<T>& b) { return arithmetic<Sub>(a, b); }
template <class T> auto mul(const StridedArray<T>& a, const StridedArray<T>& b) { return arithmetic<Mul>(a, b); }
template <class T> auto div(const StridedArray<T>& a, const StridedArray<T>& b) { return arithmetic<Div>(a, b); }

}  // namespace engine::cpu::numeric::ops
