#pragma once
// Everything a path's translation unit defines, from its primitives (Arch) and the tile of its
// matrix-product microkernel (MR rows by NR columns, whole vectors of Arch): its element-wise
// kernels, its matrix product and its microkernel, named gemm_<path>_<MR>x<NR>.
// MORLA_DEFINE_PATH(name, Arch, MR, NR), at global scope after the path's primitives, defines
// namespace simd::name with binary, right, left, narrow (MORLA_DEFINE_KERNELS), gemm and
// microkernel (MORLA_DEFINE_GEMM), and the tile type gemm_<name>_<MR>x<NR>: for avx512 that is
// avx512::binary, avx512::gemm, gemm_avx512_12x32 and the rest.

#include "engine/cpu/numeric/simd/elementwise_loops.hpp"
#include "engine/cpu/numeric/simd/gemm_blocking.hpp"
#include "engine/cpu/numeric/simd/gemm_register_tile.hpp"

#define MORLA_DEFINE_PATH(name, Arch, MR, NR)                                        \
    namespace engine::cpu::numeric::simd::name {                                     \
    namespace {                                                                      \
    static_assert(NR % Arch::lanes == 0, "a tile is whole vectors wide");            \
    using gemm_##name##_##MR##x##NR = VectorMicrokernel<Arch, MR, NR / Arch::lanes>; \
    }                                                                                \
    MORLA_DEFINE_KERNELS(Arch)                                                       \
    MORLA_DEFINE_GEMM(gemm_##name##_##MR##x##NR, Arch)                               \
    }
