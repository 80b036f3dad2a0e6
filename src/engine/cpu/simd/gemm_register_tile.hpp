#pragma once
// The body of a vector microkernel, written once against an instruction set's primitives (Arch):
// MR rows by NV vectors of accumulators held in registers. A path's microkernel (named for its
// path and tile, in its translation unit) is VectorMicrokernel with the tile that fits its
// registers.

#include <cstddef>
#include <utility>

#include "engine/cpu/simd/gemm.hpp"

namespace engine::cpu::simd {
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
    const float* pa = s.a;
    const float* pb = s.b;
    for (std::size_t p = 0; p < k; ++p, pa += s.a_step, pb += s.b_step) {
        vf b[NV];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) b[v] = Arch::load(pb + v * W);
#pragma GCC unroll 16
        for (std::size_t i = 0; i < MR; ++i) {
            const vf a = Arch::splat(pa[std::ptrdiff_t(i) * s.a_row]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) acc[i][v] = Arch::multiply_add(a, b[v], acc[i][v]);
        }
    }
    if (rows == MR && cols == NR) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < MR; ++i) {
            float* row = c + std::ptrdiff_t(i) * ldc;
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) {
                Arch::store(row + v * W, add_onto ? Arch::load(row + v * W) + acc[i][v] : acc[i][v]);
            }
        }
        return;
    }
    alignas(64) float tile[MR][NR];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < MR; ++i) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) Arch::store(tile[i] + v * W, acc[i][v]);
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float* row = c + std::ptrdiff_t(i) * ldc;
        for (std::size_t j = 0; j < cols; ++j) row[j] = add_onto ? row[j] + tile[i][j] : tile[i][j];
    }
}

// A microkernel on MR rows by NV vectors of Arch; a path names its own (gemm_<path>_<MR>x<NR>).
// An edge tile narrower than NR runs on as few vectors as cover its columns, reading a B panel
// that wide (panel_width), so a product with few columns does not pay for a whole tile's width.
template <class Arch, std::size_t rows, std::size_t vectors>
struct VectorMicrokernel {
    static constexpr std::size_t MR = rows, NR = vectors * Arch::lanes, lanes = Arch::lanes;

    static constexpr std::size_t panel_width(std::size_t cols) {
        return cols >= NR ? NR : (cols + lanes - 1) / lanes * lanes;
    }

    template <bool packed>
    static void tile(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                     std::size_t valid_rows, std::size_t valid_cols) {
        narrowest<packed>(std::make_index_sequence<vectors>{}, k, s, c, ldc, add_onto, valid_rows,
                          valid_cols);
    }

  private:
    template <bool packed, std::size_t... V>
    static void narrowest(std::index_sequence<V...>, std::size_t k, TileSource s, float* c,
                          std::ptrdiff_t ldc, bool add_onto, std::size_t valid_rows,
                          std::size_t valid_cols) {
        const std::size_t needed = panel_width(valid_cols) / lanes;
        (void)((needed == V + 1 &&
                (register_tile<Arch, MR, V + 1, packed>(k, s, c, ldc, add_onto, valid_rows, valid_cols),
                 true)) ||
               ...);
    }
};

}  // namespace
}  // namespace engine::cpu::simd
