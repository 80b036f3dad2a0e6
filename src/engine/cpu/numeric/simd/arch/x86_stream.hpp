#pragma once
// Stores that bypass the caches, for outputs far larger than them: the line is written without
// first being read. p and lanes must be aligned to the size stored. For the x86 paths with
// 256-bit vectors or wider; included after the translation unit enables its instruction set.

#include <immintrin.h>

#include <cstddef>
#include <cstring>

namespace engine::cpu::numeric::simd::arch {
namespace {

template <std::size_t bytes>
inline void stream_x86(void* p, const void* lanes) {
    if constexpr (bytes == 32) {
        _mm256_stream_si256(static_cast<__m256i*>(p),
                            _mm256_load_si256(static_cast<const __m256i*>(lanes)));
    } else if constexpr (bytes == 16) {
        _mm_stream_si128(static_cast<__m128i*>(p),
                         _mm_load_si128(static_cast<const __m128i*>(lanes)));
    } else {
        std::memcpy(p, lanes, bytes);
    }
}

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
