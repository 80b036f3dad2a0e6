#pragma once
// Gradient of the matrix product: dA = grad . B^T and dB = A^T . grad, where ^T exchanges the
// last two axes. The transposes are views; batch axes broadcast as in the forward product.

#include "engine/cpu/numeric/backward/binary.hpp"
#include "engine/cpu/numeric/ops/matmul.hpp"
#include "runtime/text.hpp"

namespace engine::cpu::numeric::backward {

template <class T>
GradientPair<T> matmul_backward(const StridedArray<T>& grad, const StridedArray<T>& a,
                                const StridedArray<T>& b, Wanted wanted = {}) {
    // Saved operands of a product whose forward step failed may have any rank.
    if (a.rank() < 2 || b.rank() < 2) {
        return std::unexpected(runtime::concat("Matmul requires at least 2D tensors. A: ", a.rank(),
                                               "D, B: ", b.rank(), "D"));
    }
    auto swapped = [](const StridedArray<T>& x) {
        std::pair<Shape, Strides> layout{x.shape, x.strides};
        const std::size_t r = x.rank();
        std::swap(layout.first[r - 2], layout.first[r - 1]);
        std::swap(layout.second[r - 2], layout.second[r - 1]);
        return layout;
    };
    // A product that is not wanted is only checked, so the same errors come out either way.
    auto product = [&](bool computed, ArrayRef<T> x,
                       ArrayRef<T> y) -> KernelResult<StridedArray<T>> {
        if (computed) return ops::matmul::do_matmul(x, y);
        auto layout = ops::matmul::product_layout(x.shape, x.strides, y.shape, y.strides);
        if (!layout) return std::unexpected(std::move(layout.error()));
        return unwanted<T>();
    };
    const auto bt = swapped(b);
    auto da = product(wanted.lhs, grad, ArrayRef<T>(b.data(), bt.first, bt.second));
    if (!da) return std::unexpected(std::move(da.error()));
    const auto at = swapped(a);
    auto db = product(wanted.rhs, ArrayRef<T>(a.data(), at.first, at.second), grad);
    if (!db) return std::unexpected(std::move(db.error()));
    return std::pair{std::move(*da), std::move(*db)};
}

}  // namespace engine::cpu::numeric::backward
