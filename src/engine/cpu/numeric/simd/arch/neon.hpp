#pragma once
// The primitives of the NEON path (Advanced SIMD, part of every aarch64 CPU): 4 float32 lanes,
// fused multiply-add, and float16 through the hardware conversions (FCVT). bfloat16 keeps the
// integer rounding every path shares: the hardware's BFCVT is optional and rounds by rules of
// its own.

#include <arm_neon.h>

#include <cstdint>

#include "engine/cpu/numeric/simd/arch/vector_lanes.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

struct Neon : VectorLanes<16> {
    using VectorLanes<16>::widen;
    using VectorLanes<16>::narrow;
    static constexpr bool streams = false;  // outputs of any size go through the caches

    // float16: FCVT widens exactly, makes a signalling NaN quiet keeping its payload, narrows to
    // nearest even with subnormal results and keeps a NaN's sign and top payload bits, as the
    // scalar rule does, under the floating-point modes every thread starts with. FPCR.FZ16 never
    // applies to conversions, and FPCR.FZ only flushes a float32 subnormal, which narrows to a
    // zero of its sign either way. FPCR.DN (every NaN the default one), FPCR.AHP (the
    // alternative half-precision format, without infinities or NaNs) and FPCR.RMode (another
    // rounding than to nearest) do change the results: while any is set, the kernels convert by
    // the scalar rule.
    static vf widen(const float16* p) {
        return vf(vcvt_f32_f16(
            vreinterpret_f16_u16(vld1_u16(reinterpret_cast<const std::uint16_t*>(p)))));
    }
    static void narrow(float16* p, vf v) {
        vst1_u16(reinterpret_cast<std::uint16_t*>(p),
                 vreinterpret_u16_f16(vcvt_f16_f32(float32x4_t(v))));
    }
    static bool hardware_conversions_exact() {
        constexpr std::uint64_t ahp = std::uint64_t(1) << 26, dn = std::uint64_t(1) << 25,
                                rounding = std::uint64_t(3) << 22;
        return (__builtin_aarch64_get_fpcr64() & (ahp | dn | rounding)) == 0;
    }

    static vf splat(float x) { return vf(vdupq_n_f32(x)); }

    // acc + a * b, rounded once.
    static vf multiply_add(vf a, vf b, vf acc) {
        return vf(vfmaq_f32(float32x4_t(acc), float32x4_t(a), float32x4_t(b)));
    }

    template <std::size_t bytes>
    static void stream(void*, const void*) {
        static_assert(bytes == 0, "the NEON path never streams");
    }
};

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
