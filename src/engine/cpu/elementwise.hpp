#pragma once
// The element-wise driver of two arrays: broadcast to the common shape, allocate the output in the
// memory order the operands favour, and write each output element once. Its one-operand twin is
// map.hpp; the numeric, logical and gradient kernels all run on these two, with the engine's one
// broadcasting rule (broadcast.hpp).

#include <algorithm>
#include <numeric>

#include "engine/cpu/broadcast.hpp"
#include "engine/cpu/layout.hpp"
#include "engine/cpu/loop.hpp"
#include "engine/cpu/result_holders.hpp"

namespace engine::cpu {

using runtime::KernelResult;

// Element by element: a short loop, where std::ranges::equal calls memcmp.
inline bool same_lengths(std::span<const std::size_t> x, std::span<const std::size_t> y) {
    if (x.size() != y.size()) return false;
    for (std::size_t i = 0; i < x.size(); ++i) {
        if (x[i] != y[i]) return false;
    }
    return true;
}

inline bool ends_with(std::span<const std::size_t> shape, std::span<const std::size_t> suffix) {
    return suffix.size() < shape.size() && std::ranges::equal(shape.last(suffix.size()), suffix);
}

// Blocks shorter than this are repeated into a tile of at least this many elements first, so that
// every kernel call covers a long run.
constexpr std::size_t shortest_run = 4096;

// Row-major operands of one shape (the common case: one flat run), or where one is the other's
// trailing block repeated along the leading axes (a bias added to every row: one run per block).
// A block of one element is the repeated element of a single run, as a number operand is (so
// where both operands are NaN, the NaN that survives is the one the number operand's kernel
// keeps: which of two NaNs survives is the processor's, never the same rule on every path); a
// short block runs against a tile of its copies. The result is row-major; no broadcast views,
// no walk over the axes. The result is built in its place in the returned value.
template <class Out, class Holder, class T, class F>
typename Holder::Result elementwise_blocks(const StridedArray<T>& a, const StridedArray<T>& b,
                                           F f) {
    const bool a_repeats = a.rank() < b.rank();
    typename Holder::Result result =
        Holder::make(for_overwrite, std::span<const std::size_t>(a_repeats ? b.shape : a.shape));
    StridedArray<Out>& out = Holder::array(result);
    const std::size_t n = out.numel();
    const std::size_t block = a_repeats ? a.numel() : b.numel();
    if (n == 0) return result;
    if constexpr (requires { f.large_output; }) {
        f.large_output = n * sizeof(Out) >= large_output_bytes;
    }
    auto run = [&](Out* o, const T* x, const T* y, std::ptrdiff_t x_step, std::ptrdiff_t y_step,
                   std::size_t len) {
        binary_run<Out, T, T>(
            {reinterpret_cast<std::byte*>(o), reinterpret_cast<std::byte*>(const_cast<T*>(x)),
             reinterpret_cast<std::byte*>(const_cast<T*>(y))},
            {std::ptrdiff_t(sizeof(Out)), x_step, y_step}, len, f);
    };
    constexpr auto element = std::ptrdiff_t(sizeof(T));
    if (block == 1) {
        run(out.data(), a.data(), b.data(), a_repeats ? 0 : element, a_repeats ? element : 0, n);
    } else {
        // The repeated operand: the block itself, or a tile of whole copies of a short one.
        const T* repeated = a_repeats ? a.data() : b.data();
        std::size_t span = block;
        StridedArray<T> tile;
        if (block < shortest_run && n > block) {
            // Whole copies, as many as make each run start on a cache line like the first.
            const std::size_t line = 64;
            const std::size_t aligned = std::lcm(line / std::gcd(line, block * sizeof(Out)),
                                                 line / std::gcd(line, block * sizeof(T)));
            const std::size_t copies = (shortest_run / block + aligned) / aligned * aligned;
            span = block * std::min(copies, n / block);
            tile = StridedArray<T>::uninitialized(Shape{span});
            for (std::size_t i = 0; i < span; i += block)
                std::copy_n(repeated, block, tile.data() + i);
            repeated = tile.data();
        }
        const T* other = a_repeats ? b.data() : a.data();
        Out* o = out.data();
        for (std::size_t done = 0; done < n; done += span, o += span, other += span) {
            const std::size_t len = std::min(span, n - done);
            if (a_repeats) {
                run(o, repeated, other, element, element, len);
            } else {
                run(o, other, repeated, element, element, len);
            }
        }
    }
    if constexpr (requires { f.large_output; }) {
        if (f.large_output) store_fence();
    }
    return result;
}

// f maps two elements of T to one element of Out.
template <class Out, class Holder = OwnArray<Out>, class T, class F>
typename Holder::Result elementwise(const StridedArray<T>& a, const StridedArray<T>& b, F f) {
    if (is_row_major(a.shape, a.strides) && is_row_major(b.shape, b.strides)) {
        if (same_lengths(a.shape, b.shape) || ends_with(a.shape, b.shape) ||
            ends_with(b.shape, a.shape)) {
            return elementwise_blocks<Out, Holder>(a, b, f);
        }
    }
    auto views = broadcast_tensors(a, b);
    if (!views) return Holder::fail(std::move(views.error()));
    const auto& [va, vb] = *views;
    const Shape& shape = va.shape;
    const Strides layout = output_is_column_major(shape, va.strides, vb.strides)
                               ? col_major_strides(shape)
                               : row_major_strides(shape);
    typename Holder::Result result =
        Holder::make(for_overwrite, std::span<const std::size_t>(shape),
                     std::span<const std::ptrdiff_t>(layout));
    StridedArray<Out>& out = Holder::array(result);
    if constexpr (requires { f.large_output; }) {
        f.large_output = out.numel() * sizeof(Out) >= large_output_bytes;
    }
    auto out_steps = byte_strides<Out>(out.strides);
    auto a_steps = byte_strides<T>(va.strides);
    auto b_steps = byte_strides<T>(vb.strides);
    for_each_run<3>(
        shape,
        {reinterpret_cast<std::byte*>(out.data()),
         reinterpret_cast<std::byte*>(const_cast<T*>(va.data)),
         reinterpret_cast<std::byte*>(const_cast<T*>(vb.data))},
        {std::span<const std::ptrdiff_t>(out_steps), std::span<const std::ptrdiff_t>(a_steps),
         std::span<const std::ptrdiff_t>(b_steps)},
        [&](Pointers<3> p, const StepBytes<3>& s, std::size_t n) {
            binary_run<Out, T, T>(p, s, n, f);
        });
    if constexpr (requires { f.large_output; }) {
        if (f.large_output) store_fence();
    }
    return result;
}

}  // namespace engine::cpu
