#pragma once
// What every vector path shares: GCC vector types of one width, bit copies between them and
// memory, and the steps that vector arithmetic does alike on any instruction set. Each path's
// header in this folder derives its primitives from this; it is
// included after the translation unit enables its instruction set, and everything in it is
// internal to that unit, so the linker can never pick a copy that needs a wider CPU.

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

#include "engine/cpu/numeric/core/float16.hpp"

namespace engine::cpu::numeric::simd::arch {
namespace {

using numeric::bfloat16;
using numeric::float16;

template <std::size_t Bytes>
struct VectorLanes {
    static constexpr std::size_t lanes = Bytes / 4;  // float32 lanes
    typedef float vf __attribute__((vector_size(Bytes)));
    typedef std::uint32_t vu __attribute__((vector_size(Bytes)));
    typedef std::int32_t vi __attribute__((vector_size(Bytes)));       // a truth mask per lane
    typedef std::uint16_t vh __attribute__((vector_size(Bytes / 2)));  // 16-bit elements
    typedef std::uint8_t vb __attribute__((vector_size(Bytes / 4)));   // bool elements

    template <class V, class P>
    static V load_bits(const P* p) {
        V v;
        std::memcpy(&v, p, sizeof v);
        return v;
    }
    template <class P, class V>
    static void store_bits(P* p, V v) {
        std::memcpy(p, &v, sizeof v);
    }

    // Lane by lane conversion (a helper: GCC does not take the builtin on a member type here).
    template <class To, class From>
    static To convert(From v) {
        return __builtin_convertvector(v, To);
    }

    static vf load(const float* p) { return load_bits<vf>(p); }
    // The first n <= lanes values at p, zeros past them; nothing past them is read. A path with
    // masked loads does it in one.
    static vf load_first(const float* p, std::size_t n) {
        float values[lanes] = {};
        for (std::size_t i = 0; i < n; ++i) values[i] = p[i];
        return load(values);
    }
    static void store(float* p, vf v) { store_bits(p, v); }
    static vf widen(const float* p) { return load(p); }
    static void narrow(float* p, vf v) { store(p, v); }

    // bfloat16: the upper half of a float32. Unlike the scalar rule, a signalling NaN is not made
    // quiet here: every kernel either compares the value (where any NaN behaves alike) or
    // computes with it, and the processor's arithmetic makes the NaN quiet with the same payload.
    // Narrowing rounds to nearest even; a NaN keeps its top bits and comes out quiet.
    static vf widen_bf16_bits(vu bits) { return vf(bits << 16); }
    static vf widen(const bfloat16* p) { return widen_bf16_bits(convert<vu>(load_bits<vh>(p))); }
    static void narrow(bfloat16* p, vf v) {
        store_bits(p, convert<vh>(bf16_in_upper_half(v) >> 16));
    }

    // The bits of v with, in their upper half, v's bfloat16 by the scalar rule: rounded to nearest
    // even, or for a NaN its upper half made quiet, unrounded.
    static vu bf16_in_upper_half(vf v) {
        const vu bits = vu(v);
        const vi nan = (bits & 0x7FFFFFFFu) > 0x7F800000u;
        return nan ? bits | 0x00400000u : rounded_to_bf16(v);
    }
    // The same where v is not a NaN: the rounding alone.
    static vu rounded_to_bf16(vf v) {
        const vu bits = vu(v);
        return bits + 0x7FFFu + ((bits >> 16) & 1u);
    }

    // 2 * lanes bfloat16 values as two vectors, of the even-indexed values and of the odd-indexed
    // ones: a 32-bit lane holds one of each, the even one in its lower half, so a pair is
    // widened with a shift and a mask, where widen() takes a widening shuffle and a shift for
    // half as many values, and narrowed with one blend of the two results' upper halves. The
    // element-wise kernels work on such pairs (elementwise_loops.hpp).
    struct Pair {
        vf even, odd;
    };
    static_assert(std::endian::native == std::endian::little,
                  "the even value is a lane's lower half");
    static Pair widen_pair(const bfloat16* p) {
        const vu both = load_bits<vu>(p);
        return {vf(both << 16), vf(both & 0xFFFF0000u)};
    }
    static void narrow_pair(bfloat16* p, vf even, vf odd) { store_bits(p, pair_bits(even, odd)); }
    // The pair's 2 * lanes bfloat16, in order, as the bits of one vector.
    static vu pair_bits(vf even, vf odd) {
        return (bf16_in_upper_half(even) >> 16) | (bf16_in_upper_half(odd) & 0xFFFF0000u);
    }

    // Whether the hardware's float16 conversions follow the scalar rule under the current
    // floating-point modes; where they may not, the kernels convert by the scalar rule instead.
    static bool hardware_conversions_exact() { return true; }

    // Four vectors interleaved lane by lane, out[4 t + i] = lane t of row i: four rows of a
    // matrix packed by column.
    static void store_interleaved4(float* out, vf r0, vf r1, vf r2, vf r3) {
        constexpr auto all = std::make_index_sequence<lanes>{};
        const vf low01 = zip<0, 1>(r0, r1, all), low23 = zip<0, 1>(r2, r3, all);
        const vf high01 = zip<lanes / 2, 1>(r0, r1, all), high23 = zip<lanes / 2, 1>(r2, r3, all);
        store(out, zip<0, 2>(low01, low23, all));
        store(out + lanes, zip<lanes / 4, 2>(low01, low23, all));
        store(out + 2 * lanes, zip<0, 2>(high01, high23, all));
        store(out + 3 * lanes, zip<lanes / 4, 2>(high01, high23, all));
    }

    // Groups of `width` lanes taken in turn from a and b, from group `first` of each on.
    template <std::size_t first, std::size_t width, std::size_t... L>
    static vf zip(vf a, vf b, std::index_sequence<L...>) {
        return __builtin_shufflevector(
            a, b, ((L / width) % 2 ? lanes : 0) + width * (first + L / (2 * width)) + L % width...);
    }

    // A truth mask (all ones or zero per lane) stored as bool bytes.
    static void narrow(bool* p, vi mask) { store_bits(p, convert<vb>(mask & 1)); }
};

// Whether Arch's vectors of T follow the scalar rule now: float16 goes through the hardware's
// conversions, which some floating-point modes change.
template <class Arch, class T>
inline bool vectors_follow_rule() {
    if constexpr (std::is_same_v<T, float16>) return Arch::hardware_conversions_exact();
    return true;
}

}  // namespace
}  // namespace engine::cpu::numeric::simd::arch
