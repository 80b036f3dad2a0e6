// The AVX-512 path (F, BW, VL, DQ, with FMA and F16C): the element-wise kernels, and the matrix
// product on 12 x 32 tiles (24 accumulators of the 32 vector registers).
#include "engine/cpu/numeric/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,fma,f16c")
#include "engine/cpu/numeric/simd/arch/avx512.hpp"
#include "engine/cpu/numeric/simd/path_definition.hpp"

MORLA_DEFINE_PATH(avx512, arch::Avx512, 12, 32)
#pragma GCC pop_options
