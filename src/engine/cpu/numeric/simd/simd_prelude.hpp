#pragma once
// Everything a path's translation unit includes before enabling its instruction set, so that the
// standard and shared headers keep the baseline.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/simd/gemm.hpp"
#include "engine/cpu/numeric/simd/kernels.hpp"
