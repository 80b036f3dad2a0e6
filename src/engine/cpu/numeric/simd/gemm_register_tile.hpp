#pragma once
// The body of a vector microkernel, written once against an instruction set's primitives (Arch):
// MR rows by NV vectors of accumulators held in registers. A path's microkernel (named for its
// path and tile, in its translation unit) is VectorMicrokernel with the tile that fits its
// registers.

#include <algorithm>
#include <cstddef>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/simd/gemm.hpp"

namespace engine::cpu::numeric::simd {
namespace {

// With `packed`, the source holds packed micro-panels and its strides are the constants below.
// Edge tiles are computed whole and only their valid part is written.
template <class Arch, std::size_t MR, std::size_t NV, bool packed>
void register_tile(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                   std::size_t rows, std::size_t cols) {
    using vf = typename Arch::vf;
    constexpr std::size_t W = Arch::lanes;
    constexpr std::size_t NR = NV * W;
    if constexpr (packed) s = {s.a, 1, MR, s.b, NR};  // constants, for the compiler
    vf acc[MR][NV] = {};  // held in registers: the loops over the tile are unrolled
    // Rows of A are reached from one pointer per group of up to four rows, so that a tall tile
    // reading A where it lies needs few registers for its addresses.
    constexpr std::size_t G = MR % 4 == 0 ? 4 : MR % 3 == 0 ? 3 : MR;
    const float* pa[MR / G];
#pragma GCC unroll 8
    for (std::size_t g = 0; g < MR / G; ++g) pa[g] = s.a + std::ptrdiff_t(g * G) * s.a_row;
    // The tile's rows of C are fetched while the sums are formed, so that the stores at the end
    // do not wait for them.
    for (std::size_t i = 0; i < rows; ++i) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v)
            __builtin_prefetch(c + std::ptrdiff_t(i) * ldc + v * W, 1, 3);
    }
    const float* pb = s.b;
    for (std::size_t p = 0; p < k; ++p, pb += s.b_step) {
        vf b[NV];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) b[v] = Arch::load(pb + v * W);
#pragma GCC unroll 32
        for (std::size_t i = 0; i < MR; ++i) {
            const vf a = Arch::splat(pa[i / G][std::ptrdiff_t(i % G) * s.a_row]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) acc[i][v] = Arch::multiply_add(a, b[v], acc[i][v]);
        }
#pragma GCC unroll 8
        for (std::size_t g = 0; g < MR / G; ++g) pa[g] += s.a_step;
    }
    if (rows == MR && cols == NR) {
#pragma GCC unroll 32
        for (std::size_t i = 0; i < MR; ++i) {
            float* row = c + std::ptrdiff_t(i) * ldc;
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) {
                Arch::store(row + v * W,
                            add_onto ? Arch::load(row + v * W) + acc[i][v] : acc[i][v]);
            }
        }
        return;
    }
    alignas(64) float tile[MR][NR];
#pragma GCC unroll 32
    for (std::size_t i = 0; i < MR; ++i) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) Arch::store(tile[i] + v * W, acc[i][v]);
    }
    // Whole vectors where they fit, then the lanes left one by one: a loop of constant length,
    // which stays a few stores (a copy loop of variable length becomes a slow string copy).
    for (std::size_t i = 0; i < rows; ++i) {
        float* row = c + std::ptrdiff_t(i) * ldc;
        for (std::size_t first = 0; first < cols; first += W) {
            const float* lanes = tile[i] + first;
            float* out = row + first;
            if (cols - first >= W) {
                Arch::store(out,
                            add_onto ? Arch::load(out) + Arch::load(lanes) : Arch::load(lanes));
                continue;
            }
            const std::size_t rest = cols - first;
#pragma GCC unroll 64
            for (std::size_t j = 0; j < W; ++j) {
                if (j < rest) out[j] = add_onto ? out[j] + lanes[j] : lanes[j];
            }
        }
    }
}

// A microkernel on MR rows by NV vectors of Arch; a path names its own (gemm_<path>_<MR>x<NR>).
// An edge tile narrower than NR runs on as few vectors as cover its columns, reading a B panel
// that wide (panel_width), so a product with few columns does not pay for a whole tile's width.
template <class Arch, std::size_t rows, std::size_t vectors>
struct VectorMicrokernel {
    static constexpr std::size_t MR = rows, NR = vectors * Arch::lanes, lanes = Arch::lanes;

    // The tile of the products read where the operands lie (the direct path: small ones, and
    // those one tile wide): where this tile has the accumulators for it, four rows as wide as the
    // widest tile, whose rows of B and C are whole rows of a product that narrow. This taller,
    // narrower tile is for packed blocks: its B micro-panel stays in the first-level cache while
    // the micro-panels of A go by.
    static constexpr std::size_t widest_vectors = gemm_widest_tile / lanes;
    static constexpr bool wider_direct =
        MR % 4 == 0 && vectors < widest_vectors && 4 * widest_vectors <= MR * vectors;
    using direct_tile = std::conditional_t<wider_direct, VectorMicrokernel<Arch, 4, widest_vectors>,
                                           VectorMicrokernel>;

    static constexpr std::size_t panel_width(std::size_t cols) {
        return cols >= NR ? NR : (cols + lanes - 1) / lanes * lanes;
    }

    template <bool packed>
    static void tile(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                     std::size_t valid_rows, std::size_t valid_cols) {
        narrowest<packed>(std::make_index_sequence<vectors>{}, k, s, c, ldc, add_onto, valid_rows,
                          valid_cols);
    }

    // The rows an edge tile runs on at a time: four, where they divide MR.
    static constexpr std::size_t short_rows = MR % 4 == 0 ? 4 : MR;

    // Rows of one vector, as many as the tile has accumulators (at least two row tiles, at most
    // 12), read where the operands lie: a column strip that narrow has too few independent sums
    // in flight in one tile, and rows of A a page apart share a set of the first-level cache,
    // which holds 12.
    static constexpr std::size_t tall_rows =
        std::max(2 * MR, std::min<std::size_t>(MR* vectors, 12));
    static void tall(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                     std::size_t valid_cols) {
        register_tile<Arch, tall_rows, 1, false>(k, s, c, ldc, add_onto, tall_rows, valid_cols);
    }

private:
    template <bool packed, std::size_t... V>
    static void narrowest(std::index_sequence<V...>, std::size_t k, TileSource s, float* c,
                          std::ptrdiff_t ldc, bool add_onto, std::size_t valid_rows,
                          std::size_t valid_cols) {
        const std::size_t needed = panel_width(valid_cols) / lanes;
        (void)((needed == V + 1 &&
                (rows_of<packed, V + 1>(k, s, c, ldc, add_onto, valid_rows, valid_cols), true)) ||
               ...);
    }

    // An edge tile of fewer rows than MR runs on groups of short_rows, so that rows past the
    // operand's end cost no more than the group they fall in.
    template <bool packed, std::size_t NV>
    static void rows_of(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                        std::size_t valid_rows, std::size_t valid_cols) {
        if (short_rows == MR || valid_rows == MR)
            return register_tile<Arch, MR, NV, packed>(k, s, c, ldc, add_onto, valid_rows,
                                                       valid_cols);
        if constexpr (packed) s = {s.a, 1, MR, s.b, std::ptrdiff_t(NV * lanes)};
        for (std::size_t r = 0; r < valid_rows; r += short_rows) {
            register_tile<Arch, short_rows, NV, false>(
                k, {s.a + std::ptrdiff_t(r) * s.a_row, s.a_row, s.a_step, s.b, s.b_step},
                c + std::ptrdiff_t(r) * ldc, ldc, add_onto, std::min(short_rows, valid_rows - r),
                valid_cols);
        }
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd
