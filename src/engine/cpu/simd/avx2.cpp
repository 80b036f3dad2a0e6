// The AVX2 path (with FMA and F16C): the element-wise kernels, and the matrix product on 6 x 16
// tiles (12 accumulators of the 16 vector registers).
#include "engine/cpu/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c")
#include "engine/cpu/simd/arch/avx2.hpp"
#include "engine/cpu/simd/elementwise_loops.hpp"
#include "engine/cpu/simd/gemm_blocking.hpp"
#include "engine/cpu/simd/gemm_register_tile.hpp"

namespace engine::cpu::simd::avx2 {
namespace {
using gemm_avx2_6x16 = VectorMicrokernel<arch::Avx2, 6, 2>;
}  // namespace
MORLA_DEFINE_KERNELS(arch::Avx2)
MORLA_DEFINE_GEMM(gemm_avx2_6x16, arch::Avx2)
}  // namespace engine::cpu::simd::avx2
#pragma GCC pop_options
