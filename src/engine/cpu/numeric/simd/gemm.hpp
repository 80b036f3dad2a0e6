#pragma once
// The single-precision matrix product, compiled once per instruction set and picked once per
// process. C[M, N] (row-major, row stride ldc) = A[M, K] . B[K, N], with A and B given by their
// first element and row and column strides in elements (any sign, 0 included); 16-bit operands
// are widened while being packed. Along the shared index the products are summed in blocks of
// 256, each block from +0 in increasing order, and the block sums are added onto C in block
// order, so the register tiling never changes a result (where a NaN of A meets one of B, which
// survives may depend on the layout). Every vector path fuses each
// multiply-add (one rounding), so all of them give the same bits on any CPU; the portable path
// rounds the product and the sum separately, so its float32 products may differ from theirs in
// the last bits, never between calls or batch splits on one machine.

#include <cstddef>

#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/numeric/simd/isa.hpp"

namespace engine::cpu::numeric::simd {

template <class T>
struct GemmOperands {
    std::size_t M, N, K;
    const T* a;
    std::ptrdiff_t a_row, a_col;
    const T* b;
    std::ptrdiff_t b_row, b_col;
    float* c;
    std::ptrdiff_t ldc;
};

// The shared-index block fixes the order of the sums, so it is the same on every path. Rows of A
// are packed MC at a time (all of them, up to twice that, against a B of two tiles or more) and
// columns of B NC at a time; every path's tile divides both.
constexpr std::size_t gemm_kc = 256, gemm_mc = 96, gemm_nc = 1024;
constexpr std::size_t gemm_widest_tile = 64, gemm_tallest_tile = 12;

// Floats of scratch that gemm needs for these sizes, on any path: a packed block of B and one of
// A, each rounded up to whole tiles (A's rows all at once, up to twice a block, on the path that
// packs them so).
inline std::size_t gemm_scratch_floats(std::size_t M, std::size_t N, std::size_t K) {
    const std::size_t kc = K < gemm_kc ? K : gemm_kc;
    const std::size_t rows = M <= 2 * gemm_mc ? M : gemm_mc;
    return kc * ((N < gemm_nc ? N : gemm_nc) + gemm_widest_tile) + kc * (rows + gemm_tallest_tile);
}

template <class T>
using GemmFn = void (*)(const GemmOperands<T>&, float* scratch);

// Where a microkernel reads its tile's operands: packed micro-panels (A: MR values per p; B: NR
// values per p), or straight from the operands (A by its row and column strides, B by its row
// stride).
struct TileSource {
    const float* a;
    std::ptrdiff_t a_row, a_step;  // between rows of the tile, between values of p
    const float* b;
    std::ptrdiff_t b_step;  // between values of p
};

// A path's microkernel: one MR x NR tile of C over k values of p, every sum from +0 in
// increasing p; it stores the sums, or with add_onto adds them onto C. Only rows x cols of the
// tile are written (edge tiles). An edge tile reads a B panel only as wide as whole vectors of
// `lanes` floats cover its columns. The blocking around it is the same on every path.
struct Microkernel {
    const char* name;  // gemm_<path>_<MR>x<NR>
    std::size_t mr, nr, lanes;
    void (*packed)(std::size_t k, TileSource packed_panels, float* c, std::ptrdiff_t ldc,
                   bool add_onto, std::size_t rows, std::size_t cols);
};

// Declares, for every path of the list, simd::<path>::gemm and simd::<path>::microkernel
// (avx512::gemm, avx512::microkernel, ...); MORLA_DEFINE_GEMM (gemm_blocking.hpp) defines them in
// each path's translation unit.
#define MORLA_DECLARE_GEMM(name, Enumerator, runs_here)         \
    namespace name {                                            \
    template <class T>                                          \
    void gemm(const GemmOperands<T>& operands, float* scratch); \
    extern const Microkernel microkernel;                       \
    }
MORLA_FOR_EACH_PATH(MORLA_DECLARE_GEMM)
#undef MORLA_DECLARE_GEMM

// Each path's product and microkernel, by its Isa enumerator: <path>::gemm, <path>::microkernel.
template <class T>
GemmFn<T> gemm_of(Isa isa) {
    switch (isa) {
#define MORLA_PATH_GEMM(name, Enumerator, runs_here) \
    case Isa::Enumerator:                            \
        return &name::gemm<T>;
        MORLA_FOR_EACH_PATH(MORLA_PATH_GEMM)
#undef MORLA_PATH_GEMM
    }
    return &portable::gemm<T>;
}

inline const Microkernel& microkernel_of(Isa isa) {
    switch (isa) {
#define MORLA_PATH_MICROKERNEL(name, Enumerator, runs_here) \
    case Isa::Enumerator:                                   \
        return name::microkernel;
        MORLA_FOR_EACH_PATH(MORLA_PATH_MICROKERNEL)
#undef MORLA_PATH_MICROKERNEL
    }
    return portable::microkernel;
}

// The product of the path this process runs, looked up once.
template <class T>
GemmFn<T> gemm_kernel() {
    static const GemmFn<T> fn = gemm_of<T>(active_isa());
    return fn;
}

}  // namespace engine::cpu::numeric::simd
