#pragma once
// Element functions bound to their vector kernels: what the element-wise engine is handed for
// the numeric types. Strided runs use the scalar rule; contiguous runs go to the kernels of the
// instruction set chosen for this process.

#include "engine/cpu/numeric/simd/kernels.hpp"

namespace engine::cpu::numeric::ops {

template <class Op, class T>
struct KernelBound {
    using Out = simd::OutOf<Op, T>;
    bool large_output = false;  // the whole output is far larger than the caches

    Out operator()(T a, T b) const { return simd::scalar_rule<Op>(a, b); }
    void contiguous(Out* o, const T* a, const T* b, std::size_t n) const {
        simd::binary_kernel<Op, T>()(o, a, b, n, large_output);
    }
    void right(Out* o, const T* a, T s, std::size_t n) const {
        simd::right_kernel<Op, T>()(o, a, s, n, large_output);
    }
    void left(Out* o, T s, const T* b, std::size_t n) const {
        simd::left_kernel<Op, T>()(o, s, b, n, large_output);
    }
};

// The element with a fixed right operand (a scalar already in the element type).
template <class Op, class T>
struct WithScalar {
    T scalar;
    simd::OutOf<Op, T> operator()(T a) const { return simd::scalar_rule<Op>(a, scalar); }
    void contiguous(simd::OutOf<Op, T>* o, const T* a, std::size_t n) const {
        simd::right_kernel<Op, T>()(o, a, scalar, n, false);
    }
};

// The element as both operands (relu: the element where it is greater than zero).
template <class Op, class T>
struct OnItself {
    simd::OutOf<Op, T> operator()(T a) const { return simd::scalar_rule<Op>(a, a); }
    void contiguous(simd::OutOf<Op, T>* o, const T* a, std::size_t n) const {
        simd::binary_kernel<Op, T>()(o, a, a, n, false);
    }
};

}  // namespace engine::cpu::numeric::ops
