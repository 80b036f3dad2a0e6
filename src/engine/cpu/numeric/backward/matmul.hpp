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
    KernelResult<StridedArray<T>> da = unwanted<T>(), db = unwanted<T>();
    if (wanted.lhs) {
        const auto bt = swapped(b);
        da = ops::matmul::do_matmul(ArrayRef<T>(grad), ArrayRef<T>(b.data(), bt.first, bt.second));
        if (!da) return std::unexpected(std::move(da.error()));
    }
    if (wanted.rhs) {
        const auto at = swapped(a);
        db = ops::matmul::do_matmul(ArrayRef<T>(a.data(), at.first, at.second), ArrayRef<T>(grad));
        if (!db) return std::unexpected(std::move(db.error()));
    }
    return std::pair{std::move(*da), std::move(*db)};
}

}  // namespace engine::cpu::numeric::backward
