// The AVX-512 path (F, BW, VL, DQ, with FMA and F16C): the element-wise kernels, and the matrix
// product on 4 x 64 tiles (16 accumulators of the 32 vector registers).
#include "engine/cpu/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,f16c")
#include "engine/cpu/simd/arch/avx512.hpp"
#include "engine/cpu/simd/elementwise_loops.hpp"
#include "engine/cpu/simd/gemm_blocking.hpp"
#include "engine/cpu/simd/gemm_register_tile.hpp"

namespace engine::cpu::simd::avx512 {
namespace {
using gemm_avx512_4x64 = VectorMicrokernel<arch::Avx512, 4, 4>;
}  // namespace
MORLA_DEFINE_KERNELS(arch::Avx512)
MORLA_DEFINE_GEMM(gemm_avx512_4x64, arch::Avx512)
}  // namespace engine::cpu::simd::avx512
#pragma GCC pop_options
