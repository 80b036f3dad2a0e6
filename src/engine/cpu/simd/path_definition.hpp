#pragma once
// Everything a path's translation unit defines, from its primitives (Arch) and the tile of its
// matrix-product microkernel (MR rows by NR columns, whole vectors of Arch): its element-wise
// kernels, its matrix product and its microkernel, named gemm_<path>_<MR>x<NR>.
// MORLA_DEFINE_PATH(name, Arch, MR, NR), at global scope after the path's primitives.

#include "engine/cpu/simd/elementwise_loops.hpp"
#include "engine/cpu/simd/gemm_blocking.hpp"
#include "engine/cpu/simd/gemm_register_tile.hpp"

#define MORLA_DEFINE_PATH(name, Arch, MR, NR)                                        \
    namespace engine::cpu::simd::name {                                             \
    namespace {                                                                     \
    static_assert(NR % Arch::lanes == 0, "a tile is whole vectors wide");           \
    using gemm_##name##_##MR##x##NR = VectorMicrokernel<Arch, MR, NR / Arch::lanes>; \
    }                                                                               \
    MORLA_DEFINE_KERNELS(Arch)                                                      \
    MORLA_DEFINE_GEMM(gemm_##name##_##MR##x##NR, Arch)                              \
    }
