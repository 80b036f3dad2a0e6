#pragma once
// Everything an instruction-set translation unit includes before enabling its instruction set.
#include <cstdint>
#include <cstring>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <algorithm>
#include <type_traits>

#include "engine/cpu/simd/gemm.hpp"
#include "engine/cpu/simd/kernels.hpp"
