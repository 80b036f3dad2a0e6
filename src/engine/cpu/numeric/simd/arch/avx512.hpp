#pragma once
// The primitives of the AVX-512 path (F, BW, VL, DQ, with FMA and F16C): 16 float32 lanes.
// Included by avx512.cpp after it enables that instruction set.

#include <immintrin.h>

#include "engine/cpu/numeric/simd/arch/vector_lanes.hpp"
#include "engine/cpu/numeric/simd/arch/x86_stream.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

struct Avx512 : VectorLanes<64> {
    using VectorLanes<64>::widen;
    using VectorLanes<64>::narrow;
    static constexpr bool streams = true;  // large outputs bypass the caches

    static vf widen(const bfloat16* p) {
        return widen_bf16_bits(
            vu(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)))));
    }
    // float16: the F16C conversions, which follow the scalar rule exactly (subnormals, rounding
    // to nearest even, quiet NaNs).
    static vf widen(const float16* p) {
        return vf(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
    }
    static void narrow(float16* p, vf v) {
        _mm256_storeu_si256(
            reinterpret_cast<__m256i*>(p),
            _mm512_cvtps_ph(__m512(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
    }

    // bfloat16 pairs: where neither vector holds a NaN (one comparison of the two tells), every
    // lane is the rounding alone.
    static void narrow_pair(bfloat16* p, vf even, vf odd) {
        vu bits;
        if (_mm512_cmp_ps_mask(__m512(even), __m512(odd), _CMP_UNORD_Q) != 0) [[unlikely]] {
            bits = pair_bits_with_nans(even, odd);
        } else {
            bits = (rounded_to_bf16(even) >> 16) | (rounded_to_bf16(odd) & 0xFFFF0000u);
        }
        store_bits(p, bits);
    }
    // The whole rule, kept out of the kernels' loops.
    [[gnu::noinline, gnu::cold]] static vu pair_bits_with_nans(vf even, vf odd) {
        return pair_bits(even, odd);
    }

    static vf splat(float x) { return vf(_mm512_set1_ps(x)); }

    // Masked-off lanes are not read, so they cannot fault.
    static vf load_first(const float* p, std::size_t n) {
        return vf(_mm512_maskz_loadu_ps(__mmask16((std::uint32_t(1) << n) - 1), p));
    }

    // acc + a * b, rounded once.
    static vf multiply_add(vf a, vf b, vf acc) {
        return vf(_mm512_fmadd_ps(__m512(a), __m512(b), __m512(acc)));
    }

    template <std::size_t bytes>
    static void stream(void* p, const void* lanes) {
        if constexpr (bytes == 64) {
            _mm512_stream_si512(static_cast<__m512i*>(p), _mm512_load_si512(lanes));
        } else {
            stream_x86<bytes>(p, lanes);
        }
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
