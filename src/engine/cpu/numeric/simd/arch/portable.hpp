#pragma once
// The primitives of the portable path: 4 float32 lanes of the baseline instruction set (SSE2 on
// x86-64), no fused multiply-add, no float16 conversions in hardware.

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "engine/cpu/numeric/simd/arch/vector_lanes.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

struct Portable : VectorLanes<16> {
    using VectorLanes<16>::widen;
    using VectorLanes<16>::narrow;
    static constexpr bool streams = false;  // outputs of any size go through the caches

    // float16: lane by lane, by the scalar rule.
    static vf widen(const float16* p) {
        vf v;
        for (std::size_t i = 0; i < lanes; ++i) v[i] = numeric::widen(p[i]);
        return v;
    }
    static void narrow(float16* p, vf v) {
        for (std::size_t i = 0; i < lanes; ++i) p[i] = numeric::narrow_f16(v[i]);
    }

    static vf splat(float x) {  // every lane x (an addition to +0 would lose the sign of -0)
#if defined(__x86_64__)
        return vf(_mm_set1_ps(x));
#else
        vf v;
        for (std::size_t i = 0; i < lanes; ++i) v[i] = x;
        return v;
#endif
    }

    // acc + a * b, the product and the sum each rounded (the build never contracts them).
    static vf multiply_add(vf a, vf b, vf acc) { return acc + a * b; }

    template <std::size_t bytes>
    static void stream(void*, const void*) {
        static_assert(bytes == 0, "the portable path never streams");
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
