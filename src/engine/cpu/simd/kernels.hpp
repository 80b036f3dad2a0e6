#pragma once
// Contiguous element-wise kernels, compiled once per instruction set and picked once per process.
// Every path computes exactly the scalar rule (widen, compute in float32, narrow once), so all
// paths give bit-identical results.

#include <cstddef>
#include <type_traits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/simd/isa.hpp"

namespace engine::cpu::simd {

using numeric::bfloat16;
using numeric::float16;

template <class Op, class T>
using OutOf = std::conditional_t<Op::is_comparison, bool, T>;

// out[i] = op(a[i], b[i]); out[i] = op(a[i], s); out[i] = op(s, b[i]), for i < n. `large` says
// that the whole output (of which this run may be a part) is far larger than the caches, so
// that the run is written past them.
template <class Op, class T>
using BinaryFn = void (*)(OutOf<Op, T>*, const T*, const T*, std::size_t, bool large);
template <class Op, class T>
using RightFn = void (*)(OutOf<Op, T>*, const T*, T, std::size_t, bool large);
template <class Op, class T>
using LeftFn = void (*)(OutOf<Op, T>*, T, const T*, std::size_t, bool large);

// out[i] = in[i] narrowed to T by the scalar rule, for i < n.
template <class T>
using NarrowFn = void (*)(T*, const float*, std::size_t);

// Outputs of at least this many bytes count as large.
constexpr std::size_t large_output_bytes = std::size_t(4) << 20;

// Orders streamed stores before anything that follows (another thread may read the result).
inline void store_fence() {
#if defined(__x86_64__)
    _mm_sfence();
#endif
}

// The scalar rule, for tails and strided runs.
template <class Op, class T>
inline OutOf<Op, T> scalar_rule(T a, T b) {
    using numeric::TensorOps;
    if constexpr (Op::is_comparison) {
        return Op{}(TensorOps<T>::widen(a), TensorOps<T>::widen(b));
    } else {
        return numeric::apply(Op{}, a, b);
    }
}

#define MORLA_DECLARE_KERNELS(name, Enumerator, runs_here)                                  \
    namespace name {                                                                        \
    template <class Op, class T>                                                            \
    void binary(OutOf<Op, T>* out, const T* a, const T* b, std::size_t n, bool large);    \
    template <class Op, class T>                                                            \
    void right(OutOf<Op, T>* out, const T* a, T s, std::size_t n, bool large);            \
    template <class Op, class T>                                                            \
    void left(OutOf<Op, T>* out, T s, const T* b, std::size_t n, bool large);             \
    void narrow(float16* out, const float* in, std::size_t n);                              \
    void narrow(bfloat16* out, const float* in, std::size_t n);                             \
    }
MORLA_FOR_EACH_PATH(MORLA_DECLARE_KERNELS)
#undef MORLA_DECLARE_KERNELS

// Every (function, element type) pair that has vector kernels.
#define MORLA_FOR_EACH_KERNEL(X)                                                                \
    X(numeric::Add, float) X(numeric::Add, float16) X(numeric::Add, bfloat16)                  \
    X(numeric::Sub, float) X(numeric::Sub, float16) X(numeric::Sub, bfloat16)                  \
    X(numeric::Mul, float) X(numeric::Mul, float16) X(numeric::Mul, bfloat16)                  \
    X(numeric::Div, float) X(numeric::Div, float16) X(numeric::Div, bfloat16)                  \
    X(numeric::Eq, float) X(numeric::Eq, float16) X(numeric::Eq, bfloat16)                     \
    X(numeric::Ge, float) X(numeric::Ge, float16) X(numeric::Ge, bfloat16)                     \
    X(numeric::Gt, float) X(numeric::Gt, float16) X(numeric::Gt, bfloat16)                     \
    X(numeric::Le, float) X(numeric::Le, float16) X(numeric::Le, bfloat16)                     \
    X(numeric::Lt, float) X(numeric::Lt, float16) X(numeric::Lt, bfloat16)                     \
    X(numeric::WherePositive, float) X(numeric::WherePositive, float16)                        \
    X(numeric::WherePositive, bfloat16)

template <class Op, class T>
constexpr bool has_kernels = !std::is_same_v<T, bool>;

// One path's kernels for a function and element type.
template <class Op, class T>
struct ElementKernels {
    BinaryFn<Op, T> binary;
    RightFn<Op, T> right;
    LeftFn<Op, T> left;
};

template <class Op, class T>
ElementKernels<Op, T> element_kernels(Isa isa) {
    switch (isa) {
#define MORLA_PATH_KERNELS(name, Enumerator, runs_here) \
    case Isa::Enumerator: return {&name::binary<Op, T>, &name::right<Op, T>, &name::left<Op, T>};
        MORLA_FOR_EACH_PATH(MORLA_PATH_KERNELS)
#undef MORLA_PATH_KERNELS
    }
    return {&portable::binary<Op, T>, &portable::right<Op, T>, &portable::left<Op, T>};
}

// The kernels of the path this process runs, looked up once.
template <class Op, class T>
const ElementKernels<Op, T>& active_kernels() {
    static const ElementKernels<Op, T> kernels = element_kernels<Op, T>(active_isa());
    return kernels;
}

template <class Op, class T>
BinaryFn<Op, T> binary_kernel() {
    return active_kernels<Op, T>().binary;
}

template <class Op, class T>
RightFn<Op, T> right_kernel() {
    return active_kernels<Op, T>().right;
}

template <class Op, class T>
LeftFn<Op, T> left_kernel() {
    return active_kernels<Op, T>().left;
}

// One path's narrowing from float32 to T (float16 or bfloat16).
template <class T>
NarrowFn<T> narrow_kernel(Isa isa) {
    switch (isa) {
#define MORLA_PATH_NARROW(name, Enumerator, runs_here) \
    case Isa::Enumerator: return static_cast<NarrowFn<T>>(&name::narrow);
        MORLA_FOR_EACH_PATH(MORLA_PATH_NARROW)
#undef MORLA_PATH_NARROW
    }
    return static_cast<NarrowFn<T>>(&portable::narrow);
}

// The narrowing of the path this process runs, looked up once.
template <class T>
NarrowFn<T> narrow_kernel() {
    static const NarrowFn<T> fn = narrow_kernel<T>(active_isa());
    return fn;
}

}  // namespace engine::cpu::simd
