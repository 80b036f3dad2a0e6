#pragma once
// The element-wise kernel loops, written once against an instruction set's primitives (Arch, one
// of arch/*.hpp) and compiled in that instruction set's translation unit, under its target.
// MORLA_DEFINE_KERNELS(Arch), inside the namespace of a path, defines that path's kernels and its
// narrowing of float32 values to the 16-bit types.

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/simd/kernels.hpp"

namespace engine::cpu::numeric::simd {
namespace {

// Writes the lanes of a result through narrow(), by way of an aligned temporary when streaming.
template <class Arch, bool streaming, class Out, class V>
inline void put(Out* out, V value) {
    if constexpr (streaming) {
        alignas(64) Out lanes[Arch::lanes];
        Arch::narrow(lanes, value);
        Arch::template stream<sizeof lanes>(out, lanes);
    } else {
        Arch::narrow(out, value);
    }
}

// The same for a pair of vectors of bfloat16 results (Arch::Pair), 2 * Arch::lanes values.
template <class Arch, bool streaming, class Out, class Pair>
inline void put_pair(Out* out, Pair pair) {
    if constexpr (streaming) {
        alignas(64) Out lanes[2 * Arch::lanes];
        Arch::narrow_pair(lanes, pair.even, pair.odd);
        Arch::template stream<sizeof lanes>(out, lanes);
    } else {
        Arch::narrow_pair(out, pair.even, pair.odd);
    }
}

// Large outputs that start on a cache line are streamed, where the instruction set can.
template <class Out>
inline bool should_stream(const Out* out, std::size_t n, bool large) {
    return (large || n * sizeof(Out) >= large_output_bytes) &&
           reinterpret_cast<std::uintptr_t>(out) % 64 == 0;
}

// bfloat16 results other than truth masks are computed a pair of vectors at a time
// (Arch::widen_pair), all values of a pair alike, which costs fewer instructions than two single
// vectors. Truth masks are stored a vector at a time, and so are the other types.
template <class Op, class T>
constexpr bool in_pairs = std::is_same_v<T, bfloat16> && !Op::is_comparison;

// `pair` where the kernel of Op on T works on pairs, else nothing (nullptr).
template <class Op, class T, class Pair>
inline auto pairs_if(Pair pair) {
    if constexpr (in_pairs<Op, T>) {
        return pair;
    } else {
        return nullptr;
    }
}

// Runs pair(i) for each full pair of vectors (unless `pair` is nullptr), then vector(i) for each
// full vector left, streaming or not, then the scalar tail (every element, where the vectors
// would not follow the scalar rule).
template <class Arch, class T, class Out, class Pair, class Vector, class Tail>
inline void for_each_vector(Out* out, std::size_t n, bool large, Pair pair, Vector vector,
                            Tail tail) {
    constexpr std::size_t W = Arch::lanes;
    constexpr bool pairs = !std::is_same_v<Pair, std::nullptr_t>;
    std::size_t i = 0;
    if (!arch::vectors_follow_rule<Arch, T>()) {
        for (; i < n; ++i) out[i] = tail(i);
        return;
    }
    if constexpr (Arch::streams) {
        if (should_stream(out, n, large)) {
            if constexpr (pairs) {
                for (; i + 2 * W <= n; i += 2 * W) put_pair<Arch, true>(out + i, pair(i));
            }
            for (; i + W <= n; i += W) put<Arch, true>(out + i, vector(i));
            if (!large) store_fence();  // with `large`, the caller fences once for the whole output
        }
    }
    if constexpr (pairs) {
        for (; i + 2 * W <= n; i += 2 * W) put_pair<Arch, false>(out + i, pair(i));
    }
    for (; i + W <= n; i += W) put<Arch, false>(out + i, vector(i));
    for (; i < n; ++i) out[i] = tail(i);
}

template <class Arch, class Op, class T>
void binary_loop(OutOf<Op, T>* out, const T* a, const T* b, std::size_t n, bool large) {
    const auto pair = [&](auto i) {
        const auto x = Arch::widen_pair(a + i), y = Arch::widen_pair(b + i);
        return decltype(x){Op{}(x.even, y.even), Op{}(x.odd, y.odd)};
    };
    for_each_vector<Arch, T>(
        out, n, large, pairs_if<Op, T>(pair),
        [&](std::size_t i) { return Op{}(Arch::widen(a + i), Arch::widen(b + i)); },
        [&](std::size_t i) { return scalar_rule<Op>(a[i], b[i]); });
}

template <class Arch, class Op, class T>
void right_loop(OutOf<Op, T>* out, const T* a, T s, std::size_t n, bool large) {
    const auto scalar = Arch::splat(numeric::TensorOps<T>::widen(s));
    const auto pair = [&](auto i) {
        const auto x = Arch::widen_pair(a + i);
        return decltype(x){Op{}(x.even, scalar), Op{}(x.odd, scalar)};
    };
    for_each_vector<Arch, T>(
        out, n, large, pairs_if<Op, T>(pair),
        [&](std::size_t i) { return Op{}(Arch::widen(a + i), scalar); },
        [&](std::size_t i) { return scalar_rule<Op>(a[i], s); });
}

template <class Arch, class Op, class T>
void left_loop(OutOf<Op, T>* out, T s, const T* b, std::size_t n, bool large) {
    const auto scalar = Arch::splat(numeric::TensorOps<T>::widen(s));
    const auto pair = [&](auto i) {
        const auto y = Arch::widen_pair(b + i);
        return decltype(y){Op{}(scalar, y.even), Op{}(scalar, y.odd)};
    };
    for_each_vector<Arch, T>(
        out, n, large, pairs_if<Op, T>(pair),
        [&](std::size_t i) { return Op{}(scalar, Arch::widen(b + i)); },
        [&](std::size_t i) { return scalar_rule<Op>(s, b[i]); });
}

template <class Arch, class T>
void narrow_loop(T* out, const float* in, std::size_t n) {
    for_each_vector<Arch, T>(
        out, n, false, nullptr, [&](std::size_t i) { return Arch::load(in + i); },
        [&](std::size_t i) { return numeric::TensorOps<T>::narrow(in[i]); });
}

// out[2 i] = even[i] and out[2 i + 1] = odd[i] for i < n, narrowed to bfloat16 as the kernels
// narrow their pairs (Arch::narrow_pair), the values past the last full vector by the scalar rule.
template <class Arch>
void narrow_pairs_loop(bfloat16* out, const float* even, const float* odd, std::size_t n) {
    constexpr std::size_t W = Arch::lanes;
    std::size_t i = 0;
    for (; i + W <= n; i += W)
        Arch::narrow_pair(out + 2 * i, Arch::load(even + i), Arch::load(odd + i));
    for (; i < n; ++i) {
        out[2 * i] = numeric::narrow_bf16(even[i]);
        out[2 * i + 1] = numeric::narrow_bf16(odd[i]);
    }
}

}  // namespace
}  // namespace engine::cpu::numeric::simd

// Instantiates binary<Op, T>, right<Op, T> and left<Op, T> of the path being defined.
#define MORLA_INSTANTIATE_KERNELS(Op, T)                                               \
    template void binary<Op, T>(OutOf<Op, T>*, const T*, const T*, std::size_t, bool); \
    template void right<Op, T>(OutOf<Op, T>*, const T*, T, std::size_t, bool);         \
    template void left<Op, T>(OutOf<Op, T>*, T, const T*, std::size_t, bool);

// Defines, in the namespace of the path being defined (simd::avx512, ...), binary, right, left
// (instantiated for every element function and numeric type of MORLA_FOR_EACH_KERNEL), narrow and
// narrow_pairs.
#define MORLA_DEFINE_KERNELS(Arch)                                                                \
    template <class Op, class T>                                                                  \
    void binary(OutOf<Op, T>* out, const T* a, const T* b, std::size_t n, bool large) {           \
        binary_loop<Arch, Op>(out, a, b, n, large);                                               \
    }                                                                                             \
    template <class Op, class T>                                                                  \
    void right(OutOf<Op, T>* out, const T* a, T s, std::size_t n, bool large) {                   \
        right_loop<Arch, Op>(out, a, s, n, large);                                                \
    }                                                                                             \
    template <class Op, class T>                                                                  \
    void left(OutOf<Op, T>* out, T s, const T* b, std::size_t n, bool large) {                    \
        left_loop<Arch, Op>(out, s, b, n, large);                                                 \
    }                                                                                             \
    void narrow(float16* out, const float* in, std::size_t n) { narrow_loop<Arch>(out, in, n); }  \
    void narrow(bfloat16* out, const float* in, std::size_t n) { narrow_loop<Arch>(out, in, n); } \
    void narrow_pairs(bfloat16* out, const float* even, const float* odd, std::size_t n) {        \
        narrow_pairs_loop<Arch>(out, even, odd, n);                                               \
    }                                                                                             \
    MORLA_FOR_EACH_KERNEL(MORLA_INSTANTIATE_KERNELS)
