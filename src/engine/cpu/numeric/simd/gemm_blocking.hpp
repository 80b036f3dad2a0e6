#pragma once
// The matrix product's framework, written once: blocking along M, N and K, packing (16-bit
// operands widened while packed), the direct path for small products, and edge tiles. A path
// supplies its primitives (Arch, for widening) and its microkernel (Tile: MR, NR and
// tile<packed>()); MORLA_DEFINE_GEMM(Tile, Arch), inside the namespace of a path, defines that
// path's gemm and names its microkernel.

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>

#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/simd/gemm.hpp"

namespace engine::cpu::numeric::simd {
namespace {

template <class Arch, class Tile>
struct GemmBlocking {
    static constexpr std::size_t W = Arch::lanes;
    static constexpr std::size_t MR = Tile::MR, NR = Tile::NR;
    static constexpr std::size_t KC = gemm_kc, MC = gemm_mc, NC = gemm_nc;
    static_assert(NR % W == 0 && MC % MR == 0 && NC % NR == 0);
    static_assert(MR <= gemm_tallest_tile && NR <= gemm_widest_tile);

    // Rows [0, m) x shared [0, k) of A into MR-row micro-panels: for each p, MR values in a row
    // (zeros past m).
    template <class T>
    static void pack_a(std::size_t m, std::size_t k, const T* a, std::ptrdiff_t a_row,
                       std::ptrdiff_t a_col, float* out) {
        const bool vectors = a_col == 1 && arch::vectors_follow_rule<Arch, T>();
        for (std::size_t r = 0; r < m; r += MR) {
            const std::size_t rows = std::min(MR, m - r);
            const T* block = a + std::ptrdiff_t(r) * a_row;
            std::size_t p = 0;
            // Rows stored contiguously: W values of each of four rows at once, interleaved in
            // registers (zeros for rows past a tile of fewer than four), then each four values of
            // a p moved into place together.
            for (; vectors && rows == MR && p + W <= k; p += W, out += W * MR) {
#pragma GCC unroll 8
                for (std::size_t g = 0; g < MR; g += 4) {
                    const std::size_t n = std::min<std::size_t>(4, MR - g);
                    const T* at = block + std::ptrdiff_t(g) * a_row + std::ptrdiff_t(p);
                    const auto row = [&](std::size_t i) {
                        return i < n ? Arch::widen(at + std::ptrdiff_t(i) * a_row)
                                     : Arch::splat(0.0f);
                    };
                    alignas(64) float four[4 * W];
                    Arch::store_interleaved4(MR == 4 ? out : four, row(0), row(1), row(2), row(3));
                    if constexpr (MR != 4) {
#pragma GCC unroll 16
                        for (std::size_t t = 0; t < W; ++t)
                            std::memcpy(out + t * MR + g, four + 4 * t, n * sizeof(float));
                    }
                }
            }
            for (; p < k; ++p, out += MR) {
                const T* column = block + std::ptrdiff_t(p) * a_col;
                std::size_t i = 0;
                for (; i < rows; ++i)
                    out[i] = numeric::TensorOps<T>::widen(column[std::ptrdiff_t(i) * a_row]);
                for (; i < MR; ++i) out[i] = 0.0f;
            }
        }
    }

    // Shared [0, k) x columns [0, n) of B into NR-column micro-panels; the last one only as wide as
    // its edge tile reads (zeros past n).
    template <class T>
    static void pack_b(std::size_t k, std::size_t n, const T* b, std::ptrdiff_t b_row,
                       std::ptrdiff_t b_col, float* out) {
        const bool vectors = b_col == 1 && arch::vectors_follow_rule<Arch, T>();
        for (std::size_t s = 0; s < n; s += NR) {
            const std::size_t cols = std::min(NR, n - s);
            const std::size_t width = Tile::panel_width(cols);
            const T* block = b + std::ptrdiff_t(s) * b_col;
            for (std::size_t p = 0; p < k; ++p, out += width) {
                const T* row = block + std::ptrdiff_t(p) * b_row;
                if (vectors && cols == NR) {
#pragma GCC unroll 8
                    for (std::size_t v = 0; v < NR / W; ++v)
                        Arch::store(out + v * W, Arch::widen(row + v * W));
                    continue;
                }
                if constexpr (std::is_same_v<T, float>) {
                    if (b_col == 1) {
                        // Whole vectors, then the rest with zeros to the panel's width in one
                        // masked load (a copy of variable length becomes a string copy and a
                        // fill, which take longer to start than a short row takes to copy).
                        std::size_t j = 0;
                        for (; j + W <= cols; j += W) Arch::store(out + j, Arch::load(row + j));
                        if (j < width) Arch::store(out + j, Arch::load_first(row + j, cols - j));
                        continue;
                    }
                }
                std::size_t j = 0;
                for (; j < cols; ++j)
                    out[j] = numeric::TensorOps<T>::widen(row[std::ptrdiff_t(j) * b_col]);
                for (; j < width; ++j) out[j] = 0.0f;
            }
        }
    }

    // Float32 products with B's rows contiguous skip packing where it cannot pay: small ones, and
    // those one tile wide, which read each value of A once anyway. Full tiles read A and B where
    // they lie, and only edge tiles are packed, so that no read passes an operand's end. The
    // shared index runs in the same blocks as the packed path's, so the sums are the same.
    static bool direct(const GemmOperands<float>& g) {
        if (g.b_col != 1) return false;
        return g.N <= NR || (g.K <= KC && g.M * g.K + g.K * g.N <= (std::size_t(1) << 16));
    }

    static void gemm_direct(const GemmOperands<float>& g, float* scratch) {
        const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
        float* edge_b = scratch;
        float* edge_a = scratch + std::min(K, KC) * NR;
        for (std::size_t pc = 0; pc < K; pc += KC) {
            const std::size_t kc = std::min(KC, K - pc);
            const float* a_block = a + std::ptrdiff_t(pc) * a_col;
            const float* b_block = b + std::ptrdiff_t(pc) * b_row;
            for (std::size_t jr = 0; jr < N; jr += NR) {
                const std::size_t cols = std::min(NR, N - jr);
                TileSource source{nullptr, a_row, a_col, b_block + jr, b_row};
                if (cols < NR) {
                    pack_b(kc, cols, b_block + jr, b_row, b_col, edge_b);
                    source.b = edge_b;
                    source.b_step = std::ptrdiff_t(Tile::panel_width(cols));
                }
                const bool one_vector = Tile::panel_width(cols) == W;
                for (std::size_t ir = 0; ir < M;) {
                    TileSource tile = source;
                    tile.a = a_block + std::ptrdiff_t(ir) * a_row;
                    float* out = c + std::ptrdiff_t(ir) * ldc + std::ptrdiff_t(jr);
                    if (one_vector && M - ir >= Tile::tall_rows) {
                        Tile::tall(kc, tile, out, ldc, pc != 0, cols);
                        ir += Tile::tall_rows;
                        continue;
                    }
                    const std::size_t rows = std::min(MR, M - ir);
                    if (rows < MR) {
                        pack_a(rows, kc, tile.a, a_row, a_col, edge_a);
                        tile.a = edge_a;
                        tile.a_row = 1;
                        tile.a_step = MR;
                    }
                    Tile::template tile<false>(kc, tile, out, ldc, pc != 0, rows, cols);
                    ir += MR;
                }
            }
        }
    }

    // A stored by columns (unit row stride) against a B of at most one strip of columns, as in
    // the weight gradient of a classifier's last layer: the rows of A that a tall strip would
    // read lie a column apart, a page or more, so each read misses the first-level cache. Here
    // the tile runs the other way: a vector of W rows of A read as they lie, against the columns
    // of B packed by p, so each row of C is a lane. Each sum is the same chain of fused steps as
    // in any other tile (a product does not depend on the order of its factors, except for which
    // NaN survives where a NaN of A meets one of B), and lands in C through a small transposing
    // buffer. Rows past the last whole vector go the direct way.
    static bool by_columns(const GemmOperands<float>& g) {
        return g.b_col == 1 && g.a_row == 1 && g.a_col != 1 && g.N <= Tile::tall_rows && g.M >= W;
    }

    static void gemm_by_columns(const GemmOperands<float>& g, float* scratch) {
        const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
        constexpr std::size_t R = Tile::tall_rows;
        const std::size_t whole = M / W * W;
        float* columns_of_b = scratch;  // for each p, the N values of B's row p, zeros to R
        alignas(64) float sums[R][W];
        for (std::size_t pc = 0; pc < K; pc += KC) {
            const std::size_t kc = std::min(KC, K - pc);
            for (std::size_t p = 0; p < kc; ++p) {
                const float* row = b + std::ptrdiff_t(pc + p) * b_row;
                // The row with zeros to R through masked loads, then R values: copies of constant
                // length, a few moves each.
                alignas(64) float lanes[(R + W - 1) / W * W];
#pragma GCC unroll 4
                for (std::size_t j = 0; j < R; j += W)
                    Arch::store(lanes + j, Arch::load_first(row + std::min(j, N),
                                                            N > j ? std::min(W, N - j) : 0));
                std::memcpy(columns_of_b + p * R, lanes, sizeof(float) * R);
            }
            const float* a_block = a + std::ptrdiff_t(pc) * a_col;
            for (std::size_t i = 0; i < whole; i += W) {
                Tile::tall(kc,
                           {columns_of_b, 1, std::ptrdiff_t(R), a_block + std::ptrdiff_t(i), a_col},
                           &sums[0][0], std::ptrdiff_t(W), false, W);
                for (std::size_t l = 0; l < W; ++l) {
                    float* out = c + std::ptrdiff_t(i + l) * ldc;
                    for (std::size_t j = 0; j < N; ++j)
                        out[j] = pc != 0 ? out[j] + sums[j][l] : sums[j][l];
                }
            }
        }
        if (whole < M) {
            gemm_direct({M - whole, N, K, a + std::ptrdiff_t(whole), a_row, a_col, b, b_row, b_col,
                         c + std::ptrdiff_t(whole) * ldc, ldc},
                        scratch);
        }
    }

    // Few rows against many columns: all of A's rows are packed once per block of the shared
    // index, and B one panel at a time, right before the tiles that read it, so that the panel is
    // still in the nearest cache and no block of B is written out whole.
    template <class T>
    static void gemm_by_panels(const GemmOperands<T>& g, float* scratch) {
        const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
        float* panel = scratch;
        float* packed_a = scratch + std::min(K, KC) * NR;
        for (std::size_t pc = 0; pc < K; pc += KC) {
            const std::size_t kc = std::min(KC, K - pc);
            pack_a(M, kc, a + std::ptrdiff_t(pc) * a_col, a_row, a_col, packed_a);
            for (std::size_t jr = 0; jr < N; jr += NR) {
                const std::size_t cols = std::min(NR, N - jr);
                pack_b(kc, cols, b + std::ptrdiff_t(pc) * b_row + std::ptrdiff_t(jr) * b_col, b_row,
                       b_col, panel);
                for (std::size_t ir = 0; ir < M; ir += MR) {
                    Tile::template tile<true>(kc, {packed_a + ir * kc, 1, MR, panel, NR},
                                              c + std::ptrdiff_t(ir) * ldc + std::ptrdiff_t(jr),
                                              ldc, pc != 0, std::min(MR, M - ir), cols);
                }
            }
        }
    }

    template <class T>
    static void gemm(const GemmOperands<T>& g, float* scratch) {
        const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
        if (M == 0 || N == 0) return;
        if (K == 0) {
            for (std::size_t i = 0; i < M; ++i) std::fill_n(c + std::ptrdiff_t(i) * ldc, N, 0.0f);
            return;
        }
        if constexpr (std::is_same_v<T, float>) {
            using Direct = GemmBlocking<Arch, typename Tile::direct_tile>;
            if (Direct::by_columns(g)) return Direct::gemm_by_columns(g, scratch);
            if (Direct::direct(g)) return Direct::gemm_direct(g, scratch);
        }
        if (M <= 2 * MC && N >= 2 * NR) return gemm_by_panels(g, scratch);
        float* packed_b = scratch;
        float* packed_a = scratch + std::min(K, KC) * ((std::min(N, NC) + NR - 1) / NR * NR);
        for (std::size_t jc = 0; jc < N; jc += NC) {
            const std::size_t nc = std::min(NC, N - jc);
            for (std::size_t pc = 0; pc < K; pc += KC) {
                const std::size_t kc = std::min(KC, K - pc);
                pack_b(kc, nc, b + std::ptrdiff_t(pc) * b_row + std::ptrdiff_t(jc) * b_col, b_row,
                       b_col, packed_b);
                for (std::size_t ic = 0; ic < M; ic += MC) {
                    const std::size_t mc = std::min(MC, M - ic);
                    pack_a(mc, kc, a + std::ptrdiff_t(ic) * a_row + std::ptrdiff_t(pc) * a_col,
                           a_row, a_col, packed_a);
                    for (std::size_t jr = 0; jr < nc; jr += NR) {
                        for (std::size_t ir = 0; ir < mc; ir += MR) {
                            Tile::template tile<true>(
                                kc, {packed_a + ir * kc, 1, MR, packed_b + jr * kc, NR},
                                c + std::ptrdiff_t(ic + ir) * ldc + std::ptrdiff_t(jc + jr), ldc,
                                pc != 0, std::min(MR, mc - ir), std::min(NR, nc - jr));
                        }
                    }
                }
            }
        }
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd

// Defines, in the namespace of the path being defined, gemm<T> (float, float16, bfloat16) and
// microkernel (the Microkernel of Tile): avx512::gemm, avx512::microkernel, ...
#define MORLA_DEFINE_GEMM(Tile, Arch)                                     \
    template <class T>                                                    \
    void gemm(const GemmOperands<T>& g, float* scratch) {                 \
        GemmBlocking<Arch, Tile>::gemm(g, scratch);                       \
    }                                                                     \
    template void gemm<float>(const GemmOperands<float>&, float*);        \
    template void gemm<float16>(const GemmOperands<float16>&, float*);    \
    template void gemm<bfloat16>(const GemmOperands<bfloat16>&, float*);  \
    const Microkernel microkernel{#Tile, Tile::MR, Tile::NR, Tile::lanes, \
                                  &Tile::template tile<true>};
