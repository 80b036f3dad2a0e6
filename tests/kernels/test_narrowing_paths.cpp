// Every path narrows each of the 2^32 float32 bit patterns to float16 and to bfloat16 as the
// references below, written from the two formats, do: a run of values at a time, and for bfloat16
// also as its kernels narrow their results, two vectors at a time. MORLA_NARROWING_STRIDE=N checks
// every Nth pattern instead, and still every pattern of the exponents where the rules change (for
// slow runs, such as under an emulator).

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "engine/cpu/numeric/simd/kernels.hpp"
#include "paths.hpp"

namespace kernel_tests {
namespace {

namespace simd = engine::cpu::numeric::simd;
namespace numeric = engine::cpu::numeric;

// The references take a float32 pattern as its upper 9 bits (sign and exponent), then its 23
// fraction bits: one reference serves a whole buffer of patterns of one exponent, so that the
// compiler can vectorise it.

// float16: a sign, 5 exponent bits (bias 15) and 10 fraction bits. Its finite magnitudes are whole
// multiples of a quantum: 2^-24 below 2^-14, 2^(e-10) within [2^e, 2^(e+1)). A float32 magnitude
// rounds to the nearer of the two multiples around it, on a tie to the even one; 65536 and
// beyond is infinity. A NaN keeps its sign and the top 10 bits of its fraction, quiet (0x0200).
struct Float16Of {
    std::uint32_t sign, exponent, shift, first_code;

    constexpr explicit Float16Of(std::uint32_t upper)
        : sign(upper >> 8 << 15),
          exponent(upper & 0xFFu),
          // The magnitude is significand * 2^(max(exponent, 1) - 150) exactly, the quantum of its
          // float16 binade 2^(max(exponent, 113) - 137): significand / 2^shift quanta.
          shift(std::min(std::max(exponent, 113u) - std::max(exponent, 1u) + 13, 25u)),
          // The binade of 2^-14 starts at code 0x0400 (1024 quanta of 2^-24, as the subnormals
          // count), each later one 0x0400 further on; 2048 quanta are the next binade's first code.
          first_code((std::max(exponent, 113u) - 113) << 10) {}

    constexpr std::uint16_t operator()(std::uint32_t fraction) const {
        if (exponent == 0xFF) return std::uint16_t(sign | 0x7C00u | (fraction == 0 ? 0 : 0x0200u | fraction >> 13));
        const std::uint32_t significand = exponent == 0 ? fraction : fraction | 0x800000u;
        std::uint32_t quanta = significand >> shift;
        const std::uint32_t rest = significand & ((1u << shift) - 1), half = 1u << (shift - 1);
        if (rest > half || (rest == half && quanta % 2 == 1)) ++quanta;
        return std::uint16_t(sign | std::min(first_code + quanta, 0x7C00u));
    }
};

// bfloat16: the upper 16 bits of a float32. A magnitude rounds to the nearer of the upper bits
// and the next pattern up (the next magnitude, infinity past the largest), on a tie to the even
// one. A NaN keeps its upper bits, quiet (0x0040).
struct Bfloat16Of {
    std::uint32_t upper;

    constexpr explicit Bfloat16Of(std::uint32_t upper) : upper(upper) {}

    constexpr std::uint16_t operator()(std::uint32_t fraction) const {
        const std::uint32_t top = upper << 7 | fraction >> 16, lower = fraction & 0xFFFFu;
        if ((upper & 0xFFu) == 0xFF && fraction != 0) return std::uint16_t(top | 0x0040u);
        if (lower > 0x8000u || (lower == 0x8000u && top % 2 == 1)) return std::uint16_t(top + 1);
        return std::uint16_t(top);
    }
};

template <class Reference>
constexpr std::uint16_t reference(std::uint32_t bits) {
    return Reference(bits >> 23)(bits & 0x7FFFFFu);
}
constexpr auto float16_of = reference<Float16Of>;
constexpr auto bfloat16_of = reference<Bfloat16Of>;

static_assert(float16_of(0x3F800000) == 0x3C00);  // 1
static_assert(float16_of(0x3F801000) == 0x3C00);  // 1 + 2^-11: a tie, to the even 1
static_assert(float16_of(0x3F803000) == 0x3C02);  // 1 + 3 * 2^-11: a tie, to the even 1 + 2^-9
static_assert(float16_of(0xC77FE000) == 0xFBFF);  // -65504, the largest finite
static_assert(float16_of(0x477FEFFF) == 0x7BFF);  // just below 65520
static_assert(float16_of(0x477FF000) == 0x7C00);  // 65520: a tie, to infinity
static_assert(float16_of(0x38800000) == 0x0400);  // 2^-14, the smallest normal
static_assert(float16_of(0x387FC000) == 0x03FF);  // the largest subnormal
static_assert(float16_of(0x387FE000) == 0x0400);  // a tie between it and 2^-14, to 2^-14
static_assert(float16_of(0x33800000) == 0x0001);  // 2^-24, the smallest subnormal
static_assert(float16_of(0x33000000) == 0x0000);  // 2^-25: a tie, to the even zero
static_assert(float16_of(0x33000001) == 0x0001);  // just above 2^-25
static_assert(float16_of(0x33C00000) == 0x0002);  // 1.5 * 2^-24: a tie, to the even 2^-23
static_assert(float16_of(0x80000001) == 0x8000);  // the smallest float32 subnormal, negative
static_assert(float16_of(0xFF800000) == 0xFC00);  // -infinity
static_assert(float16_of(0x7F800001) == 0x7E00);  // a signalling NaN, made quiet
static_assert(float16_of(0xFFC12345) == 0xFE09);
static_assert(bfloat16_of(0x3F808000) == 0x3F80);  // a tie, to even
static_assert(bfloat16_of(0x3F818000) == 0x3F82);  // a tie, to even
static_assert(bfloat16_of(0x7F7FFFFF) == 0x7F80);  // the largest float32 rounds to infinity
static_assert(bfloat16_of(0x7F800001) == 0x7FC0);  // a signalling NaN, made quiet, not rounded
static_assert(bfloat16_of(0xFFFFFFFF) == 0xFFFF);

// The float32 exponents (biased) around which the rules change: zeros and subnormals, half the
// smallest float16 subnormal, the smallest float16 normal, one, the largest float16, the largest
// float32, and infinities and NaNs. A strided check still takes every pattern of these.
bool rules_change_at(std::uint32_t exponent) {
    for (std::uint32_t e : {0, 1, 101, 102, 103, 112, 113, 126, 127, 142, 143, 254, 255}) {
        if (exponent == e) return true;
    }
    return false;
}

std::uint64_t stride() {
    const char* text = std::getenv("MORLA_NARROWING_STRIDE");
    const std::uint64_t n = text ? std::strtoull(text, nullptr, 10) : 1;
    return n == 0 ? 1 : n;
}

std::string hex(std::uint32_t bits, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*X", digits, unsigned(bits));
    return text;
}

constexpr std::uint64_t buffer = std::uint64_t(1) << 13;

// Calls check(bits, n, upper) with each buffer of patterns in turn: n patterns that share their
// upper 19 bits, so their sign and exponent (`upper`, those 9 bits), all the buffer's or a
// strided choice of them; stops at the first buffer that check() finds wrong (returns false for).
template <class Check>
void for_each_buffer(Check check) {
    constexpr std::uint64_t patterns = std::uint64_t(1) << 32;
    const std::uint64_t step = stride();
    std::vector<std::uint32_t> bits(buffer);
    std::uint64_t next = 0;  // the next pattern of a strided check
    for (std::uint64_t start = 0; start < patterns; start += buffer) {
        const auto upper = std::uint32_t(start >> 23);
        const auto first = std::uint32_t(start);
        const std::uint32_t by = rules_change_at(upper & 0xFFu) ? 1 : std::uint32_t(step);
        if (by != 1) next = std::max(next, start);
        const std::uint32_t skip = by == 1 ? 0 : std::uint32_t(next - start);
        const std::size_t n = skip >= buffer ? 0 : (buffer - skip + by - 1) / by;
        if (by == 1) {
            for (std::size_t i = 0; i < n; ++i) bits[i] = first + std::uint32_t(i);
        } else {
            for (std::size_t i = 0; i < n; ++i) bits[i] = first + skip + std::uint32_t(i) * by;
        }
        next = start + skip + std::uint64_t(n) * by;
        if (!check(bits.data(), n, upper)) return;
    }
}

// Whether got[i] == want[i] for i < n; reports the first difference (of pattern bits[i]) if not.
template <class T>
bool same_bits(Isa isa, const std::uint32_t* bits, const T* got, const std::uint16_t* want,
               std::size_t n, const char* as) {
    if (std::memcmp(got, want, n * sizeof want[0]) == 0) return true;
    for (std::size_t i = 0; i < n; ++i) {
        if (got[i].bits != want[i]) {
            ADD_FAILURE() << path_name(isa) << " narrows " << hex(bits[i], 8) << as << " to "
                          << hex(got[i].bits, 4) << ", not " << hex(want[i], 4);
            break;
        }
    }
    return false;
}

// Narrows the patterns a buffer at a time and compares with the reference; stops at the first
// difference.
template <class T, class Reference>
void check_every_pattern(Isa isa) {
    const auto narrow = simd::narrow_kernel<T>(isa);
    std::vector<float> in(buffer);
    std::vector<T> got(buffer);
    std::vector<std::uint16_t> want(buffer);
    for_each_buffer([&](const std::uint32_t* bits, std::size_t n, std::uint32_t upper) {
        const Reference rounding(upper);
        for (std::size_t i = 0; i < n; ++i) want[i] = rounding(bits[i] & 0x7FFFFFu);
        std::memcpy(in.data(), bits, n * sizeof bits[0]);
        narrow(got.data(), in.data(), n);
        return same_bits(isa, bits, got.data(), want.data(), n, "");
    });
}

// The odd value beside each pattern in a pair: the pattern with its sign and the top bit of its
// exponent flipped where its lower 16 bits are a multiple of 3, else the pattern itself. So a
// third of the odd values, and none of the even ones, are of another kind (a normal value beside
// a subnormal or a zero, a finite one beside a NaN or an infinity), spread along each vector, and
// as the choice depends on bits it keeps, every pattern is still an odd value once.
constexpr bool flipped_beside(std::uint32_t bits) { return (bits & 0xFFFFu) % 3 == 0; }
constexpr std::uint32_t odd_beside(std::uint32_t bits) {
    return flipped_beside(bits) ? bits ^ 0xC0000000u : bits;
}

// Narrows the bfloat16 kernels' pairs of vectors (simd::narrow_pairs_kernel): every pattern as an
// even value beside its odd one (odd_beside), compared with the reference.
void check_every_pair(Isa isa) {
    const auto narrow = simd::narrow_pairs_kernel(isa);
    std::vector<std::uint32_t> both(2 * buffer);
    std::vector<float> even(buffer), odd(buffer);
    std::vector<numeric::bfloat16> got(2 * buffer);
    std::vector<std::uint16_t> want(2 * buffer);
    for_each_buffer([&](const std::uint32_t* bits, std::size_t n, std::uint32_t upper) {
        const Bfloat16Of rounding(upper), flipped(upper ^ 0x180u);  // sign and top exponent bit
        for (std::size_t i = 0; i < n; ++i) {
            const std::uint32_t fraction = bits[i] & 0x7FFFFFu;
            both[2 * i] = bits[i];
            both[2 * i + 1] = odd_beside(bits[i]);
            want[2 * i] = rounding(fraction);
            want[2 * i + 1] = flipped_beside(bits[i]) ? flipped(fraction) : rounding(fraction);
        }
        for (std::size_t i = 0; i < n; ++i) {
            even[i] = std::bit_cast<float>(both[2 * i]);
            odd[i] = std::bit_cast<float>(both[2 * i + 1]);
        }
        narrow(got.data(), even.data(), odd.data(), n);
        return same_bits(isa, both.data(), got.data(), want.data(), 2 * n, " in a pair");
    });
}

struct NarrowingCase {
    std::string type;
    std::function<void(Isa)> check;
    friend void PrintTo(const NarrowingCase& c, std::ostream* out) { *out << c.type; }
};

std::vector<NarrowingCase> narrowing_cases() {
    return {{"float16", &check_every_pattern<numeric::float16, Float16Of>},
            {"bfloat16", &check_every_pattern<numeric::bfloat16, Bfloat16Of>},
            {"bfloat16_pairs", &check_every_pair}};
}

class NarrowingPaths : public testing::TestWithParam<std::tuple<NarrowingCase, Isa>> {};

TEST_P(NarrowingPaths, EveryFloat32AsTheFormatRounds) {
    const auto& [narrowing, isa] = GetParam();
    if (!simd::cpu_runs(isa)) GTEST_SKIP() << "this CPU cannot run " << path_name(isa);
    narrowing.check(isa);
}

std::string case_name(const testing::TestParamInfo<std::tuple<NarrowingCase, Isa>>& info) {
    return std::get<0>(info.param).type + "_" + path_name(std::get<1>(info.param));
}

INSTANTIATE_TEST_SUITE_P(EveryPath, NarrowingPaths,
                         testing::Combine(testing::ValuesIn(narrowing_cases()), testing::ValuesIn(every_path())),
                         case_name);

}  // namespace
}  // namespace kernel_tests
