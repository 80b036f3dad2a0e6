#pragma once
// Gradients of the element-wise product and quotient. Gradients keep the broadcast shape.

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/backward/wanted.hpp"
#include "engine/cpu/numeric/ops/binary.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace engine::cpu::numeric::backward {

using ops::KernelResult;
template <class T>
using GradientPair = KernelResult<std::pair<StridedArray<T>, StridedArray<T>>>;

// What stands for a gradient that is not wanted: empty, shape [0].
template <class T>
StridedArray<T> unwanted() {
    return StridedArray<T>::uninitialized(Shape{0});
}

// grad * x by the forward product; when it is not wanted, only the checks of that product are
// made, so the same errors come out either way.
template <class T>
KernelResult<StridedArray<T>> product_or_checks(bool wanted, const StridedArray<T>& grad,
                                                const StridedArray<T>& x) {
    if (wanted) return ops::mul(grad, x);
    auto views = ops::broadcast_tensors(grad, x);
    if (!views) return std::unexpected(std::move(views.error()));
    return unwanted<T>();
}

// dA = grad * B, dB = grad * A, each by the forward product.
template <class T>
GradientPair<T> mul_backward(const StridedArray<T>& grad, const StridedArray<T>& a,
                             const StridedArray<T>& b, Wanted wanted = {}) {
    auto da = product_or_checks(wanted.lhs, grad, b);
    if (!da) return std::unexpected(std::move(da.error()));
    auto db = product_or_checks(wanted.rhs, grad, a);
    if (!db) return std::unexpected(std::move(db.error()));
    return std::pair{std::move(*da), std::move(*db)};
}

template <class T>
T negate(T x) {
    if constexpr (std::is_same_v<T, float>) return -x;
    else return T{std::uint16_t(x.bits ^ 0x8000u)};
}

// -(g * a) as the quotient's gradient forms it: float32 negates the product, the 16-bit types
// multiply the negated gradient (the two differ only in the sign of a NaN).
template <class T>
T negated_product(T g, T a) {
    if constexpr (std::is_same_v<T, float>)
        return -kernel_mul(g, a);
    else
        return kernel_mul(negate(g), a);
}

// For A / B: dA = g / b and dB = -(g * a) / (b * b), in one pass over the broadcast shape. In the
// 16-bit types every intermediate is rounded to the element type.
template <class T>
GradientPair<T> div_backward(const StridedArray<T>& grad, const StridedArray<T>& a,
                             const StridedArray<T>& b) {
    auto first = ops::broadcast_tensors(grad, a);
    if (!first) return std::unexpected(std::move(first.error()));
    auto& [vg, va] = *first;
    auto target = ops::broadcast_shapes(vg.shape, b.shape);
    if (!target) return std::unexpected(std::move(target.error()));
    // The gradient and A share one shape by now: both are "A" in a message.
    auto g_strides = ops::strides_at("A", vg.shape, vg.strides, *target);
    if (!g_strides) return std::unexpected(std::move(g_strides.error()));
    auto a_strides = ops::strides_at("A", va.shape, va.strides, *target);
    if (!a_strides) return std::unexpected(std::move(a_strides.error()));
    auto b_strides = ops::strides_at("RHS", b.shape, b.strides, *target);
    if (!b_strides) return std::unexpected(std::move(b_strides.error()));
    auto da = StridedArray<T>::uninitialized(*target);
    auto db = StridedArray<T>::uninitialized(*target);
    auto steps_out = byte_strides<T>(da.strides);
    auto steps_g = byte_strides<T>(*g_strides);
    auto steps_a = byte_strides<T>(*a_strides);
    auto steps_b = byte_strides<T>(*b_strides);
    auto bytes = [](const T* p) { return reinterpret_cast<std::byte*>(const_cast<T*>(p)); };
    for_each_run<5>(
        *target, {bytes(da.data()), bytes(db.data()), bytes(vg.data), bytes(va.data), bytes(b.data())},
        {std::span<const std::ptrdiff_t>(steps_out), std::span<const std::ptrdiff_t>(steps_out),
         std::span<const std::ptrdiff_t>(steps_g), std::span<const std::ptrdiff_t>(steps_a),
         std::span<const std::ptrdiff_t>(steps_b)},
        [](Pointers<5> p, const StepBytes<5>& s, std::size_t n) {
            for (std::size_t i = 0; i < n; ++i) {
                const T g = *reinterpret_cast<const T*>(p[2] + std::ptrdiff_t(i) * s[2]);
                const T x = *reinterpret_cast<const T*>(p[3] + std::ptrdiff_t(i) * s[3]);
                const T y = *reinterpret_cast<const T*>(p[4] + std::ptrdiff_t(i) * s[4]);
                *reinterpret_cast<T*>(p[0] + std::ptrdiff_t(i) * s[0]) = kernel_div(g, y);
                *reinterpret_cast<T*>(p[1] + std::ptrdiff_t(i) * s[1]) =
                    kernel_div(negated_product(g, x), kernel_mul(y, y));
            }
        });
    return std::pair{std::move(da), std::move(db)};
}

}  // namespace engine::cpu::numeric::backward
