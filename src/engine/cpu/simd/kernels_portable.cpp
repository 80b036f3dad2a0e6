// The element-wise kernels for the baseline instruction set.
#include "engine/cpu/simd/simd_prelude.hpp"
#define MORLA_SIMD_NAMESPACE portable
#define MORLA_SIMD_BYTES 16
#include "engine/cpu/simd/kernels_impl.hpp"
