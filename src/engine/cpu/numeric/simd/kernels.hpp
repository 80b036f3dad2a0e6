#pragma once
// Contiguous element-wise kernels, compiled once per instruction set and picked once per process.
// Every path computes exactly the scalar rule (widen, compute in float32, narrow once), so all
// paths give bit-identical results.

#include <cstddef>
#include <type_traits>

#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/simd/isa.hpp"

namespace engine::cpu::numeric::simd {

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

// out[2 i] = even[i] and out[2 i + 1] = odd[i] narrowed to bfloat16 by the scalar rule, for
// i < n: how the bfloat16 kernels narrow their results, which they compute two vectors at a time,
// one of the even-indexed values and one of the odd-indexed ones.
using NarrowPairsFn = void (*)(bfloat16*, const float*, const float*, std::size_t);

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

// Declares, for every path of the list, simd::<path>::binary, ::right, ::left, ::narrow and
// ::narrow_pairs (portable::binary, avx2::binary, avx512::binary, neon::binary, ...); each path's
// translation unit defines them with MORLA_DEFINE_KERNELS (elementwise_loops.hpp).
#define MORLA_DECLARE_KERNELS(name, Enumerator, runs_here)                                \
    namespace name {                                                                      \
    template <class Op, class T>                                                          \
    void binary(OutOf<Op, T>* out, const T* a, const T* b, std::size_t n, bool large);    \
    template <class Op, class T>                                                          \
    void right(OutOf<Op, T>* out, const T* a, T s, std::size_t n, bool large);            \
    template <class Op, class T>                                                          \
    void left(OutOf<Op, T>* out, T s, const T* b, std::size_t n, bool large);             \
    void narrow(float16* out, const float* in, std::size_t n);                            \
    void narrow(bfloat16* out, const float* in, std::size_t n);                           \
    void narrow_pairs(bfloat16* out, const float* even, const float* odd, std::size_t n); \
    }
MORLA_FOR_EACH_PATH(MORLA_DECLARE_KERNELS)
#undef MORLA_DECLARE_KERNELS

// X(Op, T) for every pair that has vector kernels: each element function of
// MORLA_FOR_EACH_ELEMENT_FUNCTION (numeric/core/tensor_ops.hpp) with float32, float16 and bfloat16.
#define MORLA_KERNELS_OF_FUNCTION(X, Name, comparison, expression) \
    X(numeric::Name, float) X(numeric::Name, float16) X(numeric::Name, bfloat16)
#define MORLA_FOR_EACH_KERNEL(X) MORLA_FOR_EACH_ELEMENT_FUNCTION(MORLA_KERNELS_OF_FUNCTION, X)

template <class Op, class T>
constexpr bool has_kernels = !std::is_same_v<T, bool>;

// One path's kernels for a function and element type.
template <class Op, class T>
struct ElementKernels {
    BinaryFn<Op, T> binary;
    RightFn<Op, T> right;
    LeftFn<Op, T> left;
};

// The kernels of each path, by its Isa enumerator: <path>::binary, ::right and ::left.
template <class Op, class T>
ElementKernels<Op, T> element_kernels(Isa isa) {
    switch (isa) {
#define MORLA_PATH_KERNELS(name, Enumerator, runs_here) \
    case Isa::Enumerator:                               \
        return {&name::binary<Op, T>, &name::right<Op, T>, &name::left<Op, T>};
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

// One path's narrowing from float32 to T (float16 or bfloat16): <path>::narrow.
template <class T>
NarrowFn<T> narrow_kernel(Isa isa) {
    switch (isa) {
#define MORLA_PATH_NARROW(name, Enumerator, runs_here) \
    case Isa::Enumerator:                              \
        return static_cast<NarrowFn<T>>(&name::narrow);
        MORLA_FOR_EACH_PATH(MORLA_PATH_NARROW)
#undef MORLA_PATH_NARROW
    }
    return static_cast<NarrowFn<T>>(&portable::narrow);
}

// One path's narrowing of bfloat16 pairs: <path>::narrow_pairs, for the tests (the kernels narrow
// their pairs inline, by the same primitive).
inline NarrowPairsFn narrow_pairs_kernel(Isa isa) {
    switch (isa) {
#define MORLA_PATH_NARROW_PAIRS(name, Enumerator, runs_here) \
    case Isa::Enumerator:                                    \
        return &name::narrow_pairs;
        MORLA_FOR_EACH_PATH(MORLA_PATH_NARROW_PAIRS)
#undef MORLA_PATH_NARROW_PAIRS
    }
    return &portable::narrow_pairs;
}

// The narrowing of the path this process runs, looked up once.
template <class T>
NarrowFn<T> narrow_kernel() {
    static const NarrowFn<T> fn = narrow_kernel<T>(active_isa());
    return fn;
}

}  // namespace engine::cpu::numeric::simd
