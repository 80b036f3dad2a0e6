#include "engine/cpu/numeric/ops/matmul.hpp"

#include <algorithm>
#include <cstring>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"
#include "engine/cpu/numeric/simd/gemm.hpp"
#include "engine/cpu/numeric/simd/kernels.hpp"

namespace engine::cpu::numeric::ops::matmul {

KernelResult<ProductLayout> product_layout(std::span<const std::size_t> a_shape,
                                           std::span<const std::ptrdiff_t> a_strides,
                                           std::span<const std::size_t> b_shape,
                                           std::span<const std::ptrdiff_t> b_strides) {
    const std::size_t n = a_shape.size(), m = b_shape.size();
    if (n < 2 || m < 2) {
        return std::unexpected(runtime::concat("Matmul requires at least 2D tensors. A: ", n,
                                               "D, B: ", m, "D"));
    }
    const std::size_t M = a_shape[n - 2], K = a_shape[n - 1], N = b_shape[m - 1];
    if (K != b_shape[m - 2]) {
        return std::unexpected(runtime::concat("Matrix inner dimensions mismatch for matmul: ", K,
                                               " vs ", b_shape[m - 2]));
    }
    auto batch = broadcast_shapes(a_shape.first(n - 2), b_shape.first(m - 2));
    if (!batch) return std::unexpected(std::move(batch.error()));

    auto with = [&](std::size_t rows, std::size_t cols) {
        Shape shape = *batch;
        shape.push_back(rows);
        shape.push_back(cols);
        return shape;
    };
    const Shape a_target = with(M, K), b_target = with(K, N);
    auto a_expanded = broadcast_strides(a_shape, a_strides, a_target);
    if (!a_expanded) {
        return std::unexpected("Broadcast failed for A to " + shape_text(a_target));
    }
    auto b_expanded = broadcast_strides(b_shape, b_strides, b_target);
    if (!b_expanded) {
        return std::unexpected("Broadcast failed for B to " + shape_text(b_target));
    }
    return ProductLayout{std::move(*batch),     M, K, N, std::move(*a_expanded),
                         std::move(*b_expanded)};
}

template <class T>
KernelResult<StridedArray<float>> internal_linalg_matmul(ArrayRef<T> a, ArrayRef<T> b) {
    auto layout = product_layout(a.shape, a.strides, b.shape, b.strides);
    if (!layout) return std::unexpected(std::move(layout.error()));
    const Shape& batch = layout->batch;
    const Strides &as = layout->a_strides, &bs = layout->b_strides;
    const std::size_t M = layout->M, K = layout->K, N = layout->N;
    Shape out_shape = batch;
    out_shape.push_back(M);
    out_shape.push_back(N);
    auto out = StridedArray<float>::uninitialized(out_shape);
    const std::size_t batches = element_count(batch);
    if (batches == 0 || M == 0 || N == 0) return out;

    // One product per batch index, in row-major order of the batch axes (the output's order);
    // broadcast operands are reused through stride 0.
    const std::size_t rank = batch.size();
    Buffer<float> scratch(simd::gemm_scratch_floats(M, N, K));
    const auto gemm = simd::gemm_kernel<T>();
    Strides out_steps = row_major_strides(batch), a_steps(as.begin(), as.begin() + rank),
            b_steps(bs.begin(), bs.begin() + rank);
    for (auto& step : out_steps) step *= std::ptrdiff_t(M * N * sizeof(float));
    for (auto& step : a_steps) step *= std::ptrdiff_t(sizeof(T));
    for (auto& step : b_steps) step *= std::ptrdiff_t(sizeof(T));
    auto bytes = [](const void* p) { return static_cast<std::byte*>(const_cast<void*>(p)); };
    for_each_run<3>(batch, {bytes(out.data()), bytes(a.data), bytes(b.data)},
                    {std::span<const std::ptrdiff_t>(out_steps),
                     std::span<const std::ptrdiff_t>(a_steps),
                     std::span<const std::ptrdiff_t>(b_steps)},
                    [&](Pointers<3> p, const StepBytes<3>& step, std::size_t n) {
                        for (std::size_t i = 0; i < n; ++i) {
                            const auto at = [&](std::size_t k) { return p[k] + std::ptrdiff_t(i) * step[k]; };
                            gemm({M, N, K, reinterpret_cast<const T*>(at(1)), as[rank], as[rank + 1],
                                  reinterpret_cast<const T*>(at(2)), bs[rank], bs[rank + 1],
                                  reinterpret_cast<float*>(at(0)), std::ptrdiff_t(N)},
                                 scratch.data());
                        }
                    });
    return out;
}

template <class T>
KernelResult<StridedArray<T>> do_matmul(ArrayRef<T> a, ArrayRef<T> b) {
    auto product = internal_linalg_matmul(a, b);
    if constexpr (std::is_same_v<T, float>) {
        return product;
    } else {
        if (!product) return std::unexpected(std::move(product.error()));
        auto out = StridedArray<T>::uninitialized(product->shape);
        simd::narrow_kernel<T>()(out.data(), product->data(), out.numel());
        return out;
    }
}

template KernelResult<StridedArray<float>> do_matmul(ArrayRef<float>, ArrayRef<float>);
template KernelResult<StridedArray<float16>> do_matmul(ArrayRef<float16>, ArrayRef<float16>);
template KernelResult<StridedArray<bfloat16>> do_matmul(ArrayRef<bfloat16>, ArrayRef<bfloat16>);

}  // namespace engine::cpu::numeric::ops::matmul
