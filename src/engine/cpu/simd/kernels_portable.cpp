// The element-wise kernels and the matrix product for the baseline instruction set.
#include "engine/cpu/simd/simd_prelude.hpp"
#define MORLA_SIMD_NAMESPACE portable
#define MORLA_SIMD_BYTES 16
#define MORLA_GEMM_NV 2
#define MORLA_GEMM_MR 4
#include "engine/cpu/simd/kernels_impl.hpp"
#include "engine/cpu/simd/gemm_impl.hpp"
