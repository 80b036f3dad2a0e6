// The portable path, on the baseline instruction set: the element-wise kernels, and the matrix
// product on 4 x 8 tiles.
#include "engine/cpu/simd/simd_prelude.hpp"
#include "engine/cpu/simd/arch/portable.hpp"
#include "engine/cpu/simd/elementwise_loops.hpp"
#include "engine/cpu/simd/gemm_blocking.hpp"
#include "engine/cpu/simd/gemm_register_tile.hpp"

namespace engine::cpu::simd::portable {
namespace {
using gemm_portable_4x8 = VectorMicrokernel<arch::Portable, 4, 2>;
}  // namespace
MORLA_DEFINE_KERNELS(arch::Portable)
MORLA_DEFINE_GEMM(gemm_portable_4x8, arch::Portable)
}  // namespace engine::cpu::simd::portable
