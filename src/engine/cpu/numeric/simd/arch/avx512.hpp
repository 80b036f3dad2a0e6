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
