#pragma once
// The primitives of the AVX-512 path with AVX512_BF16: the AVX-512 path's, but for the narrowing
// to bfloat16, which takes the hardware's conversion (VCVTNEPS2BF16). Included by avx512bf16.cpp
// after it enables that instruction set.
//
// The conversion rounds to nearest even, keeps an infinity and a zero, and makes a NaN its upper
// half with the quiet bit 0x0040 set, unrounded, as the scalar rule does; but it reads a
// subnormal as a zero of its sign (whatever MXCSR says). Where a vector holds a subnormal (rare,
// so a branch; told by integer tests, as VFPCLASSPS counts subnormals as zeros under MXCSR.DAZ),
// those lanes get 1 added to their exponent field first: x becomes x + 2^-126 of x's sign,
// exactly, a normal value whose bits differ from x's only in bit 23. The conversion rounds it as
// the rule rounds x: bit 16, which decides a tie, and the lower half are x's, and 0x00800000 is a
// whole multiple of 2^16, so the result is x's bfloat16 plus 0x0080, and subtracting 0x0080 from
// those lanes gives x's. The conversion never consults or changes MXCSR, and the rest is integer
// arithmetic, so no floating-point mode changes a result.

#include <immintrin.h>

#include "engine/cpu/numeric/simd/arch/avx512.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

struct Avx512Bf16 : Avx512 {
    using Avx512::narrow;

    static void narrow(bfloat16* p, vf v) {
        const __mmask16 subnormal = subnormals(v);
        __m256i words = __m256i(_mm512_cvtneps_pbh(__m512(v)));
        if (subnormal != 0) [[unlikely]] {
            words = __m256i(_mm512_cvtneps_pbh(lifted(v, subnormal)));
            words = _mm256_mask_sub_epi16(words, subnormal, words, _mm256_set1_epi16(0x0080));
        }
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), words);
    }

    // Both vectors in one conversion, even's values in the lower 16 words and odd's in the upper
    // ones; then one permutation interleaves them.
    static void narrow_pair(bfloat16* p, vf even, vf odd) {
        const __mmask16 subnormal_even = subnormals(even), subnormal_odd = subnormals(odd);
        __m512i words = __m512i(_mm512_cvtne2ps_pbh(__m512(odd), __m512(even)));
        if (!_kortestz_mask16_u8(subnormal_even, subnormal_odd)) [[unlikely]] {
            words = __m512i(
                _mm512_cvtne2ps_pbh(lifted(odd, subnormal_odd), lifted(even, subnormal_even)));
            words = _mm512_mask_sub_epi16(words, _mm512_kunpackw(subnormal_odd, subnormal_even),
                                          words, _mm512_set1_epi16(0x0080));
        }
        const __m512i interleave =
            _mm512_set_epi16(31, 15, 30, 14, 29, 13, 28, 12, 27, 11, 26, 10, 25, 9, 24, 8, 23, 7,
                             22, 6, 21, 5, 20, 4, 19, 3, 18, 2, 17, 1, 16, 0);
        _mm512_storeu_si512(p, _mm512_permutexvar_epi16(interleave, words));
    }

    // The subnormal lanes: exponent field 0, magnitude not 0.
    static __mmask16 subnormals(vf v) {
        const __mmask16 exponent_zero =
            _mm512_testn_epi32_mask(__m512i(v), _mm512_set1_epi32(0x7F800000));
        return _mm512_mask_test_epi32_mask(exponent_zero, __m512i(v),
                                           _mm512_set1_epi32(0x7FFFFFFF));
    }
    // Those lanes plus 2^-126 of their sign (1 in the exponent field), the others as they are.
    static __m512 lifted(vf v, __mmask16 lanes) {
        return __m512(
            _mm512_mask_add_epi32(__m512i(v), lanes, __m512i(v), _mm512_set1_epi32(0x00800000)));
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
