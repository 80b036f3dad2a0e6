// The matrix product's framework (blocking and packing) and its register-tiled microkernel,
// written once and compiled per instruction set like the element-wise kernels (see
// kernels_impl.hpp). The including file defines MORLA_GEMM_MR and MORLA_GEMM_NV: a tile is MR
// rows by NV vectors of MORLA_SIMD_BYTES.

namespace engine::cpu::simd::MORLA_SIMD_NAMESPACE {
namespace {

constexpr std::size_t MR = MORLA_GEMM_MR;
constexpr std::size_t NV = MORLA_GEMM_NV;  // vectors per tile row
constexpr std::size_t NR = NV * W;
constexpr std::size_t KC = gemm_kc, MC = gemm_mc, NC = gemm_nc;
static_assert(MC % MR == 0 && NC % NR == 0);
static_assert(MR <= gemm_tallest_tile && NR <= gemm_widest_tile);

// Rows [0, m) x shared [0, k) of A into MR-row micro-panels: for each p, MR values in a row
// (zeros past m).
template <class T>
void pack_a(std::size_t m, std::size_t k, const T* a, std::ptrdiff_t a_row, std::ptrdiff_t a_col,
            float* out) {
    for (std::size_t r = 0; r < m; r += MR) {
        const std::size_t rows = std::min(MR, m - r);
        const T* block = a + std::ptrdiff_t(r) * a_row;
        std::size_t p = 0;
        if (a_col == 1 && rows == MR) {
            // Rows stored contiguously: widen W values of each row at once, then interleave.
            for (; p + W <= k; p += W, out += W * MR) {
#pragma GCC unroll 16
                for (std::size_t i = 0; i < MR; ++i) {
                    alignas(64) float lanes[W];
                    store_bits(lanes, widen(block + std::ptrdiff_t(i) * a_row + std::ptrdiff_t(p)));
                    for (std::size_t t = 0; t < W; ++t) out[t * MR + i] = lanes[t];
                }
            }
        }
        for (; p < k; ++p, out += MR) {
            const T* column = block + std::ptrdiff_t(p) * a_col;
            std::size_t i = 0;
            for (; i < rows; ++i) out[i] = numeric::TensorOps<T>::widen(column[std::ptrdiff_t(i) * a_row]);
            for (; i < MR; ++i) out[i] = 0.0f;
        }
    }
}

// Shared [0, k) x columns [0, n) of B into NR-column micro-panels (zeros past n).
template <class T>
void pack_b(std::size_t k, std::size_t n, const T* b, std::ptrdiff_t b_row, std::ptrdiff_t b_col,
            float* out) {
    for (std::size_t s = 0; s < n; s += NR) {
        const std::size_t cols = std::min(NR, n - s);
        const T* block = b + std::ptrdiff_t(s) * b_col;
        for (std::size_t p = 0; p < k; ++p, out += NR) {
            const T* row = block + std::ptrdiff_t(p) * b_row;
            if (b_col == 1 && cols == NR) {
#pragma GCC unroll 8
                for (std::size_t v = 0; v < NV; ++v) store_bits(out + v * W, widen(row + v * W));
                continue;
            }
            std::size_t j = 0;
            for (; j < cols; ++j) out[j] = numeric::TensorOps<T>::widen(row[std::ptrdiff_t(j) * b_col]);
            for (; j < NR; ++j) out[j] = 0.0f;
        }
    }
}

// acc + a * b: fused (one rounding) where the instruction set has it, else rounded twice.
inline vf multiply_add(vf a, vf b, vf acc) {
#if MORLA_SIMD_BYTES == 64
    return vf(_mm512_fmadd_ps(__m512(a), __m512(b), __m512(acc)));
#elif MORLA_SIMD_BYTES == 32
    return vf(_mm256_fmadd_ps(__m256(a), __m256(b), __m256(acc)));
#else
    return acc + a * b;
#endif
}

// Where a tile's operands are read: packed micro-panels (A: MR values per p; B: NR values per
// p), or straight from the operands (A by its row and column strides, B by its row stride).
struct TileSource {
    const float* a;
    std::ptrdiff_t a_row, a_step;  // between rows of the tile, between values of p
    const float* b;
    std::ptrdiff_t b_step;         // between values of p
};

// One MR x NR tile over one shared block: every sum from +0 in increasing p. The first block
// stores, later ones add onto C. Edge tiles are computed whole and only their valid part is
// written.
template <bool packed>
void microkernel(std::size_t k, TileSource s, float* c, std::ptrdiff_t ldc, bool add_onto,
                 std::size_t rows, std::size_t cols) {
    if constexpr (packed) s = {s.a, 1, MR, s.b, NR};  // constants, for the compiler
    vf acc[MR][NV] = {};  // held in registers: the loops over the tile are unrolled
    const float* pa = s.a;
    const float* pb = s.b;
    for (std::size_t p = 0; p < k; ++p, pa += s.a_step, pb += s.b_step) {
        vf b[NV];
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) b[v] = load_bits<vf>(pb + v * W);
#pragma GCC unroll 16
        for (std::size_t i = 0; i < MR; ++i) {
            const vf a = splat(pa[std::ptrdiff_t(i) * s.a_row]);
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) acc[i][v] = multiply_add(a, b[v], acc[i][v]);
        }
    }
    if (rows == MR && cols == NR) {
#pragma GCC unroll 16
        for (std::size_t i = 0; i < MR; ++i) {
            float* row = c + std::ptrdiff_t(i) * ldc;
#pragma GCC unroll 8
            for (std::size_t v = 0; v < NV; ++v) {
                store_bits(row + v * W, add_onto ? load_bits<vf>(row + v * W) + acc[i][v] : acc[i][v]);
            }
        }
        return;
    }
    alignas(64) float tile[MR][NR];
#pragma GCC unroll 16
    for (std::size_t i = 0; i < MR; ++i) {
#pragma GCC unroll 8
        for (std::size_t v = 0; v < NV; ++v) store_bits(tile[i] + v * W, acc[i][v]);
    }
    for (std::size_t i = 0; i < rows; ++i) {
        float* row = c + std::ptrdiff_t(i) * ldc;
        for (std::size_t j = 0; j < cols; ++j) row[j] = add_onto ? row[j] + tile[i][j] : tile[i][j];
    }
}

// Small float32 products (one shared block, B rows contiguous) skip packing: full tiles read A
// and B where they lie, and only edge tiles are packed, so that no read passes an operand's end.
// The sums are the same as the packed path's.
bool direct(const GemmOperands<float>& g) {
    return g.K <= KC && g.b_col == 1 && g.M * g.K + g.K * g.N <= (std::size_t(1) << 16);
}

void gemm_direct(const GemmOperands<float>& g, float* scratch) {
    const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
    float* edge_b = scratch;
    float* edge_a = scratch + K * NR;
    for (std::size_t jr = 0; jr < N; jr += NR) {
        const std::size_t cols = std::min(NR, N - jr);
        TileSource source{nullptr, a_row, a_col, b + jr, b_row};
        if (cols < NR) {
            pack_b(K, cols, b + jr, b_row, b_col, edge_b);
            source.b = edge_b;
            source.b_step = NR;
        }
        for (std::size_t ir = 0; ir < M; ir += MR) {
            const std::size_t rows = std::min(MR, M - ir);
            TileSource tile = source;
            tile.a = a + std::ptrdiff_t(ir) * a_row;
            if (rows < MR) {
                pack_a(rows, K, tile.a, a_row, a_col, edge_a);
                tile.a = edge_a;
                tile.a_row = 1;
                tile.a_step = MR;
            }
            microkernel<false>(K, tile, c + std::ptrdiff_t(ir) * ldc + std::ptrdiff_t(jr), ldc, false,
                        rows, cols);
        }
    }
}

}  // namespace

template <class T>
void gemm(const GemmOperands<T>& g, float* scratch) {
    const auto [M, N, K, a, a_row, a_col, b, b_row, b_col, c, ldc] = g;
    if (M == 0 || N == 0) return;
    if (K == 0) {
        for (std::size_t i = 0; i < M; ++i) std::fill_n(c + std::ptrdiff_t(i) * ldc, N, 0.0f);
        return;
    }
    if constexpr (std::is_same_v<T, float>) {
        if (direct(g)) return gemm_direct(g, scratch);
    }
    float* packed_b = scratch;
    float* packed_a = scratch + std::min(K, KC) * ((std::min(N, NC) + NR - 1) / NR * NR);
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
                        microkernel<true>(kc, {packed_a + ir * kc, 1, MR, packed_b + jr * kc, NR},
                                    c + std::ptrdiff_t(ic + ir) * ldc + std::ptrdiff_t(jc + jr), ldc,
                                    pc != 0, std::min(MR, mc - ir), std::min(NR, nc - jr));
                    }
                }
            }
        }
    }
}

template void gemm<float>(const GemmOperands<float>&, float*);
template void gemm<float16>(const GemmOperands<float16>&, float*);
template void gemm<bfloat16>(const GemmOperands<bfloat16>&, float*);

}  // namespace engine::cpu::simd::MORLA_SIMD_NAMESPACE
