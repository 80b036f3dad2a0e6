#pragma once
// Kernels that combine every element with one float32 scalar. The scalar is brought to the element
// type once per call; results keep the operand's layout when it is one gap-free block.

#include "engine/cpu/map.hpp"
#include "engine/cpu/numeric/ops/kernel_bound.hpp"

namespace engine::cpu::numeric::ops {

template <class T>
T scalar_in_type(float s) {
    return TensorOps<T>::narrow(s);
}

// The results are built in a Holder (see map_elements).
template <class F, template <class> class Holder = BareArray, class T>
typename Holder<T>::Result scalar_arithmetic(const StridedArray<T>& x, float s) {
    return map_elements<T, Holder<T>>(x, WithScalar<F, T>{scalar_in_type<T>(s)});
}

template <class F, template <class> class Holder = BareArray, class T>
typename Holder<bool>::Result scalar_comparison(const StridedArray<T>& x, float s) {
    return map_elements<bool, Holder<bool>>(x, WithScalar<F, T>{scalar_in_type<T>(s)});
}

}  // namespace engine::cpu::numeric::ops
