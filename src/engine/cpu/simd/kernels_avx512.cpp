// The element-wise kernels and the matrix product for AVX-512 (F, BW, VL, DQ) with F16C.
#include "engine/cpu/simd/simd_prelude.hpp"
#pragma GCC push_options
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma,f16c")
#define MORLA_SIMD_NAMESPACE avx512
#define MORLA_SIMD_BYTES 64
#define MORLA_GEMM_NV 4
#define MORLA_GEMM_MR 4
#include "engine/cpu/simd/kernels_impl.hpp"
#include "engine/cpu/simd/gemm_impl.hpp"
#pragma GCC pop_options
