#pragma once
// The primitives of the AVX2 path (with FMA and F16C): 8 float32 lanes. Included by avx2.cpp
// after it enables that instruction set.

#include <immintrin.h>

#include "engine/cpu/numeric/simd/arch/vector_lanes.hpp"
#include "engine/cpu/numeric/simd/arch/x86_stream.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

struct Avx2 : VectorLanes<32> {
    using VectorLanes<32>::widen;
    using VectorLanes<32>::narrow;
    static constexpr bool streams = true;  // large outputs bypass the caches

    // Masked-off lanes are not read, so they cannot fault.
    static vf load_first(const float* p, std::size_t n) {
        const __m256i lane = _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7);
        return vf(_mm256_maskload_ps(p, _mm256_cmpgt_epi32(_mm256_set1_epi32(int(n)), lane)));
    }

    static vf widen(const bfloat16* p) {
        return widen_bf16_bits(
            vu(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)))));
    }
    // float16: the F16C conversions, which follow the scalar rule exactly (subnormals, rounding
    // to nearest even, quiet NaNs).
    static vf widen(const float16* p) {
        return vf(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
    }
    static void narrow(float16* p, vf v) {
        _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                         _mm256_cvtps_ph(__m256(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }

    // bfloat16 pairs: where neither vector holds a NaN (one comparison of the two tells), every
    // lane is the rounding alone.
    static void narrow_pair(bfloat16* p, vf even, vf odd) {
        __m256i bits;
        if (_mm256_movemask_ps(_mm256_cmp_ps(__m256(even), __m256(odd), _CMP_UNORD_Q)) != 0)
            [[unlikely]] {
            bits = __m256i(pair_bits_with_nans(even, odd));
        } else {
            bits = rounded_pair(even, odd);
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), bits);
    }
    // Both vectors rounded to nearest even at once, on 16-bit words: `kept` holds the results
    // cut to their upper halves, in order (the even values' in the even words, the odd values'
    // in the odd ones), and `cut` the lower halves, word for word. A word rounds up when its cut
    // half is more than half a unit of the last place, or exactly half with the kept word odd:
    // when cut + (kept & 1) > 0x8000, that is when the average (cut + (kept & 1) + 1) >> 1, which
    // PAVGW forms without overflow, is at least 0x4001; adding 0x3FFF carries that into bit 15.
    // Nine operations for the pair, where rounding each vector in 32-bit lanes takes ten.
    static __m256i rounded_pair(vf even, vf odd) {
        const __m256i e = __m256i(even), o = __m256i(odd);
        const __m256i kept = _mm256_blend_epi16(_mm256_srli_epi32(e, 16), o, 0xAA);
        const __m256i cut = _mm256_blend_epi16(e, _mm256_slli_epi32(o, 16), 0xAA);
        const __m256i half = _mm256_avg_epu16(cut, _mm256_and_si256(kept, _mm256_set1_epi16(1)));
        const __m256i up = _mm256_srli_epi16(_mm256_add_epi16(half, _mm256_set1_epi16(0x3FFF)), 15);
        return _mm256_add_epi16(kept, up);
    }
    // The whole rule, kept out of the kernels' loops.
    [[gnu::noinline, gnu::cold]] static vu pair_bits_with_nans(vf even, vf odd) {
        return pair_bits(even, odd);
    }

    static vf splat(float x) { return vf(_mm256_set1_ps(x)); }

    // acc + a * b, rounded once.
    static vf multiply_add(vf a, vf b, vf acc) {
        return vf(_mm256_fmadd_ps(__m256(a), __m256(b), __m256(acc)));
    }

    template <std::size_t bytes>
    static void stream(void* p, const void* lanes) {
        stream_x86<bytes>(p, lanes);
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
