#include "engine/cpu/numeric/ops/matmul.hpp"

#include <algorithm>
#include <cstring>

#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/ops/broadcast.hpp"

namespace engine::cpu::numeric::ops::matmul {
namespace {

// Blocking of the product: the shared index in blocks of KC, rows of A in blocks of MC, columns
// of B in blocks of NC; the microkernel computes MR x NR tiles.
constexpr std::size_t KC = 256, MC = 64, NC = 1024, MR = 8, NR = 4;

constexpr std::size_t round_up(std::size_t n, std::size_t to) { return (n + to - 1) / to * to; }

// Packs rows [0, m) x shared [0, k) of A into MR-row micro-panels: panel r holds, for each p,
// the MR values A[r*MR + i][p] in a row (zeros past m).
template <class T>
void pack_a(std::size_t m, std::size_t k, const T* a, std::ptrdiff_t a_row, std::ptrdiff_t a_col,
            float* out) {
    for (std::size_t r = 0; r < m; r += MR) {
        const std::size_t rows = std::min(MR, m - r);
        for (std::size_t p = 0; p < k; ++p) {
            for (std::size_t i = 0; i < MR; ++i) {
                *out++ = i < rows ? TensorOps<T>::widen(a[std::ptrdiff_t(r + i) * a_row +
                                                           std::ptrdiff_t(p) * a_col])
                                  : 0.0f;
            }
        }
    }
}

// Packs shared [0, k) x columns [0, n) of B into NR-column micro-panels (zeros past n).
template <class T>
void pack_b(std::size_t k, std::size_t n, const T* b, std::ptrdiff_t b_row, std::ptrdiff_t b_col,
            float* out) {
    for (std::size_t s = 0; s < n; s += NR) {
        const std::size_t cols = std::min(NR, n - s);
        for (std::size_t p = 0; p < k; ++p) {
            for (std::size_t j = 0; j < NR; ++j) {
                *out++ = j < cols ? TensorOps<T>::widen(b[std::ptrdiff_t(p) * b_row +
                                                           std::ptrdiff_t(s + j) * b_col])
                                  : 0.0f;
            }
        }
    }
}

// The MR x NR tile of one block: sums from 0.0 in increasing p, every product and addition
// rounded separately. The first block stores, later ones add onto C. Edge tiles (rows < MR or
// cols < NR) are computed whole and only their valid part is written.
void microkernel(std::size_t k, const float* pa, const float* pb, float* c, std::ptrdiff_t ldc,
                 bool add_onto, std::size_t rows, std::size_t cols) {
    float tile[MR][NR] = {};
    for (std::size_t p = 0; p < k; ++p, pa += MR, pb += NR) {
        for (std::size_t i = 0; i < MR; ++i) {
            for (std::size_t j = 0; j < NR; ++j) tile[i][j] += pa[i] * pb[j];
        }
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float* row = c + std::ptrdiff_t(i) * ldc;
        for (std::size_t j = 0; j < cols; ++j) row[j] = add_onto ? row[j] + tile[i][j] : tile[i][j];
    }
}

std::size_t scratch_size(std::size_t M, std::size_t N, std::size_t K) {
    const std::size_t kc = std::min(K, KC);
    return kc * round_up(std::min(N, NC), NR) + kc * round_up(std::min(M, MC), MR);
}

// C (row-major, row stride ldc) = A[M, K] . B[K, N]; A and B are given by their first element and
// their row and column strides in elements (any sign, 0 included).
template <class T>
void sgemm(float* scratch, std::size_t M, std::size_t N, std::size_t K, const T* a,
                std::ptrdiff_t a_row, std::ptrdiff_t a_col, const T* b, std::ptrdiff_t b_row,
                std::ptrdiff_t b_col, float* c, std::ptrdiff_t ldc) {
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (std::size_t i = 0; i < M; ++i) std::fill_n(c + std::ptrdiff_t(i) * ldc, N, 0.0f);
        return;
    }
    float* packed_b = scratch;
    float* packed_a = scratch + std::min(K, KC) * round_up(std::min(N, NC), NR);
    for (std::size_t jc = 0; jc < N; jc += NC) {
        const std::size_t nc = std::min(NC, N - jc);
        for (std::size_t pc = 0; pc < K; pc += KC) {
            const std::size_t kc = std::min(KC, K - pc);
            pack_b(kc, nc, b + std::ptrdiff_t(pc) * b_row + std::ptrdiff_t(jc) * b_col, b_row, b_col,
                   packed_b);
            for (std::size_t ic = 0; ic < M; ic += MC) {
                const std::size_t mc = std::min(MC, M - ic);
                pack_a(mc, kc, a + std::ptrdiff_t(ic) * a_row + std::ptrdiff_t(pc) * a_col, a_row,
                       a_col, packed_a);
                for (std::size_t jr = 0; jr < nc; jr += NR) {
                    for (std::size_t ir = 0; ir < mc; ir += MR) {
                        microkernel(kc, packed_a + ir * kc, packed_b + jr * kc,
                                    c + std::ptrdiff_t(ic + ir) * ldc + std::ptrdiff_t(jc + jr), ldc,
                                    pc != 0, std::min(MR, mc - ir), std::min(NR, nc - jr));
                    }
                }
            }
        }
    }
}

}  // namespace

template <class T>
KernelResult<StridedArray<float>> internal_linalg_matmul(ArrayRef<T> a, ArrayRef<T> b) {
    const std::size_t n = a.rank(), m = b.rank();
    if (n < 2 || m < 2) {
        return std::unexpected(runtime::concat("Matmul requires at least 2D tensors. A: ", n,
                                               "D, B: ", m, "D"));
    }
    const std::size_t M = a.shape[n - 2], K = a.shape[n - 1], N = b.shape[m - 1];
    if (K != b.shape[m - 2]) {
        return std::unexpected(runtime::concat("Matrix inner dimensions mismatch for matmul: ", K,
                                               " vs ", b.shape[m - 2]));
    }
    auto batch = broadcast_shapes(a.shape.first(n - 2), b.shape.first(m - 2));
    if (!batch) return std::unexpected(std::move(batch.error()));

    auto with = [&](std::size_t rows, std::size_t cols) {
        Shape shape = *batch;
        shape.push_back(rows);
        shape.push_back(cols);
        return shape;
    };
    const Shape a_target = with(M, K), b_target = with(K, N), out_shape = with(M, N);
    auto a_strides = broadcast_strides(a.shape, a.strides, a_target);
    if (!a_strides) {
        return std::unexpected("Broadcast failed for A to " + shape_text(a_target));
    }
    auto b_strides = broadcast_strides(b.shape, b.strides, b_target);
    if (!b_strides) {
        return std::unexpected("Broadcast failed for B to " + shape_text(b_target));
    }
    auto out = StridedArray<float>::uninitialized(out_shape);
    const std::size_t batches = element_count(*batch);
    if (batches == 0 || M == 0 || N == 0) return out;

    // The batch axes in row-major order; broadcast operands are reused through stride 0.
    const std::size_t rank = batch->size();
    Buffer<float> scratch(scratch_size(M, N, K));
    std::vector<std::size_t> index(rank, 0);
    const T* a_at = a.data;
    const T* b_at = b.data;
    const auto& as = *a_strides;
    const auto& bs = *b_strides;
    for (std::size_t flat = 0; flat < batches; ++flat) {
        sgemm(scratch.data(), M, N, K, a_at, as[rank], as[rank + 1], b_at, bs[rank], bs[rank + 1],
                   out.data() + flat * M * N, std::ptrdiff_t(N));
        for (std::size_t axis = rank; axis-- > 0;) {
            a_at += as[axis];
            b_at += bs[axis];
            if (++index[axis] < (*batch)[axis]) break;
            a_at -= as[axis] * std::ptrdiff_t(index[axis]);
            b_at -= bs[axis] * std::ptrdiff_t(index[axis]);
            index[axis] = 0;
        }
    }
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
        const float* in = product->data();
        T* o = out.data();
        for (std::size_t i = 0, count = out.numel(); i < count; ++i) o[i] = TensorOps<T>::narrow(in[i]);
        return out;
    }
}

template KernelResult<StridedArray<float>> do_matmul(ArrayRef<float>, ArrayRef<float>);
template KernelResult<StridedArray<float16>> do_matmul(ArrayRef<float16>, ArrayRef<float16>);
template KernelResult<StridedArray<bfloat16>> do_matmul(ArrayRef<bfloat16>, ArrayRef<bfloat16>);

}  // namespace engine::cpu::numeric::ops::matmul
