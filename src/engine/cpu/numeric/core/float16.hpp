#pragma once
// The two 16-bit float element types and their exact conversions to and from float32.
// Widening is exact; narrowing rounds to nearest with ties to even. A NaN keeps its sign and
// the top of its payload and always comes out quiet.

#include <bit>
#include <cstdint>

namespace engine::cpu::numeric {

struct float16 {
    std::uint16_t bits;
};

struct bfloat16 {
    std::uint16_t bits;
};

inline float widen(float16 h) {
    const std::uint32_t sign = std::uint32_t(h.bits & 0x8000u) << 16;
    const std::uint32_t exponent = (h.bits >> 10) & 0x1Fu;
    std::uint32_t fraction = h.bits & 0x03FFu;
    if (exponent == 0x1F) {  // infinity, or NaN made quiet with its payload on top
        const std::uint32_t quiet = fraction != 0 ? 0x00400000u : 0u;
        return std::bit_cast<float>(sign | 0x7F800000u | quiet | (fraction << 13));
    }
    if (exponent != 0) {
        return std::bit_cast<float>(sign | ((exponent + 112) << 23) | (fraction << 13));
    }
    if (fraction == 0) return std::bit_cast<float>(sign);
    // A subnormal: normalise it.
    std::uint32_t shift = 0;
    while ((fraction & 0x0400u) == 0) {
        fraction <<= 1;
        ++shift;
    }
    return std::bit_cast<float>(sign | ((113 - shift) << 23) | ((fraction & 0x03FFu) << 13));
}

inline float16 narrow_f16(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    const std::uint16_t sign = std::uint16_t((bits >> 16) & 0x8000u);
    const std::uint32_t magnitude = bits & 0x7FFFFFFFu;
    if (magnitude > 0x7F800000u) {  // NaN: the top ten payload bits, quiet
        return {std::uint16_t(sign | 0x7E00u | ((magnitude >> 13) & 0x03FFu))};
    }
    if (magnitude >= 0x477FF000u) return {std::uint16_t(sign | 0x7C00u)};  // >= 65520: infinity
    if (magnitude >= 0x38800000u) {  // normal float16 range
        const std::uint32_t rounded =
            magnitude + 0x0FFFu + ((magnitude >> 13) & 1u) - (std::uint32_t(112) << 23);
        return {std::uint16_t(sign | (rounded >> 13))};
    }
    if (magnitude < 0x33000000u) return {sign};  // below half the smallest subnormal
    // Subnormal result: shift the full significand into place, rounding to nearest even.
    const std::uint32_t exponent = magnitude >> 23;
    const std::uint32_t significand = (magnitude & 0x007FFFFFu) | 0x00800000u;
    const std::uint32_t shift = 126 - exponent;  // 14 .. 24
    const std::uint32_t half = 1u << (shift - 1);
    const std::uint32_t remainder = significand & ((1u << shift) - 1);
    std::uint32_t result = significand >> shift;
    if (remainder > half || (remainder == half && (result & 1u))) ++result;
    return {std::uint16_t(sign | result)};
}

inline float widen(bfloat16 b) {
    std::uint32_t bits = std::uint32_t(b.bits) << 16;
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) bits |= 0x00400000u;  // NaN: quiet
    return std::bit_cast<float>(bits);
}

inline bfloat16 narrow_bf16(float value) {
    const std::uint32_t bits = std::bit_cast<std::uint32_t>(value);
    if ((bits & 0x7FFFFFFFu) > 0x7F800000u) return {std::uint16_t((bits >> 16) | 0x0040u)};
    const std::uint32_t rounded = bits + 0x7FFFu + ((bits >> 16) & 1u);
    return {std::uint16_t(rounded >> 16)};
}

}  // namespace engine::cpu::numeric
