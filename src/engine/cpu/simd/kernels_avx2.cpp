// The element-wise kernels and the matrix product for AVX2 with F16C.
#include "engine/cpu/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx2,fma,f16c")
#define MORLA_SIMD_NAMESPACE avx2
#define MORLA_SIMD_BYTES 32
#define MORLA_GEMM_NV 2
#define MORLA_GEMM_MR 6
#include "engine/cpu/simd/kernels_impl.hpp"
#include "engine/cpu/simd/gemm_impl.hpp"
#pragma GCC pop_options
