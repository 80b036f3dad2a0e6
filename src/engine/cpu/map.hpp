#pragma once
// A one-operand element function applied to a whole array. When the operand's elements fill one
// gap-free block, the result keeps the operand's strides and is filled in one flat pass over
// memory; otherwise the result is row-major. f maps one element to one; when it also offers
// contiguous(out, a, n), whole runs go through that (its vector kernel).

#include "engine/cpu/layout.hpp"
#include "engine/cpu/loop.hpp"
#include "engine/cpu/result_holders.hpp"
#include "engine/cpu/strided_array.hpp"

namespace engine::cpu {

// A dense operand's result, with its strides: one flat pass.
template <class Out, class Holder, class T, class F>
typename Holder::Result map_dense(const StridedArray<T>& x, F f) {
    typename Holder::Result result =
        Holder::make(for_overwrite, std::span<const std::size_t>(x.shape),
                     std::span<const std::ptrdiff_t>(x.strides));
    StridedArray<Out>& out = Holder::array(result);
    const std::size_t n = out.numel();
    Out* o = out.data();
    const T* a = x.data();
    if constexpr (requires { f.contiguous(o, a, n); }) {
        f.contiguous(o, a, n);
    } else {
        for (std::size_t i = 0; i < n; ++i) o[i] = f(a[i]);
    }
    return result;
}

template <class Out, class Holder, class T, class F>
typename Holder::Result map_strided(const StridedArray<T>& x, F f) {
    typename Holder::Result result =
        Holder::make(for_overwrite, std::span<const std::size_t>(x.shape));
    StridedArray<Out>& out = Holder::array(result);
    auto out_steps = byte_strides<Out>(out.strides);
    auto in_steps = byte_strides<T>(x.strides);
    for_each_run<2>(x.shape,
                    {reinterpret_cast<std::byte*>(out.data()),
                     reinterpret_cast<std::byte*>(const_cast<T*>(x.data()))},
                    {std::span<const std::ptrdiff_t>(out_steps), std::span<const std::ptrdiff_t>(in_steps)},
                    [&](Pointers<2> p, const StepBytes<2>& s, std::size_t n) { unary_run<Out, T>(p, s, n, f); });
    return result;
}

// The result is built in a Holder (result_holders.hpp).
template <class Out, class Holder = BareArray<Out>, class T, class F>
typename Holder::Result map_elements(const StridedArray<T>& x, F f) {
    if (is_dense_block(x.shape, x.strides)) return map_dense<Out, Holder>(x, f);
    return map_strided<Out, Holder>(x, f);
}

}  // namespace engine::cpu
