// The AVX2 path (with FMA and F16C): the element-wise kernels, and the matrix product on 6 x 16
// tiles (12 accumulators of the 16 vector registers).
#include "engine/cpu/numeric/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c")
#include "engine/cpu/numeric/simd/arch/avx2.hpp"
#include "engine/cpu/numeric/simd/path_definition.hpp"

MORLA_DEFINE_PATH(avx2, arch::Avx2, 6, 16)
#pragma GCC pop_options
