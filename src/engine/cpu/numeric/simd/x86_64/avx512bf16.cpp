// The AVX-512 path with AVX512_BF16: the AVX-512 path's kernels and matrix product, with the
// hardware's narrowing to bfloat16.
#include "engine/cpu/numeric/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx512bf16,fma,f16c")
#include "engine/cpu/numeric/simd/arch/avx512bf16.hpp"
#include "engine/cpu/numeric/simd/path_definition.hpp"

MORLA_DEFINE_PATH(avx512bf16, arch::Avx512Bf16, 12, 32)
#pragma GCC pop_options
