// The NEON path (Advanced SIMD with fused multiply-add and the float16 conversions, which every
// aarch64 CPU has): the element-wise kernels, and the matrix product on 6 x 16 tiles (24
// accumulators of the 32 vector registers, beside four of B and the splats of A).
#include "engine/cpu/numeric/simd/arch/neon.hpp"

#include "engine/cpu/numeric/simd/path_definition.hpp"
#include "engine/cpu/numeric/simd/simd_prelude.hpp"

MORLA_DEFINE_PATH(neon, arch::Neon, 6, 16)
