// Each vector path's element-wise kernels give the portable path's bits on the same inputs: NaNs
// (quiet and signalling, with payloads), infinities, signed zeros, subnormals, values whose
// results round on a tie, lengths around the vector widths, unaligned starts, and outputs large
// enough to be streamed.

#include <gtest/gtest.h>

#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "engine/cpu/loop.hpp"
#include "engine/cpu/numeric/simd/kernels.hpp"
#include "paths.hpp"

namespace kernel_tests {
namespace {

namespace simd = engine::cpu::numeric::simd;
namespace numeric = engine::cpu::numeric;

template <class T>
using Bits = std::conditional_t<sizeof(T) == 4, std::uint32_t, std::uint16_t>;

template <class T>
T from_bits(Bits<T> bits) {
    T value;
    std::memcpy(&value, &bits, sizeof value);
    return value;
}

// Bit patterns that every element type must carry through alike.
template <class T>
std::vector<Bits<T>> special_bits() {
    if constexpr (std::is_same_v<T, float>) {
        return {0x00000000, 0x80000000, 0x3F800000, 0xBF800000, 0x7F800000, 0xFF800000, 0x7FC00000,
                0x7FC12345, 0xFFC00001, 0x7F800001, 0x7FA00000, 0xFF812345, 0x00000001, 0x007FFFFF,
                0x80000001, 0x00800000, 0x7F7FFFFF, 0xFF7FFFFF, 0x3F800001, 0x33800000};
    } else if constexpr (std::is_same_v<T, numeric::float16>) {
        return {0x0000, 0x8000, 0x3C00, 0xBC00, 0x7C00, 0xFC00, 0x7E00, 0x7E15, 0xFE01, 0x7C01,
                0x7D55, 0xFC2A, 0x0001, 0x03FF, 0x8001, 0x0400, 0x7BFF, 0xFBFF, 0x3C01, 0x1400};
    } else {
        return {0x0000, 0x8000, 0x3F80, 0xBF80, 0x7F80, 0xFF80, 0x7FC0, 0x7FC5, 0xFFC1, 0x7F81,
                0x7FA5, 0xFF8A, 0x0001, 0x007F, 0x8001, 0x0080, 0x7F7F, 0xFF7F, 0x3F81, 0x3B80};
    }
}

// A mix of special values, arbitrary bit patterns, and values of nearby magnitudes (whose sums
// and products often fall halfway between two 16-bit values).
template <class T>
std::vector<T> inputs(std::size_t n, std::uint32_t seed) {
    const auto specials = special_bits<T>();
    std::mt19937 rng(seed);
    std::vector<T> out(n);
    constexpr unsigned mantissa = std::is_same_v<T, float> ? 23 : std::is_same_v<T, numeric::float16> ? 10 : 7;
    constexpr unsigned bias = std::is_same_v<T, float> ? 127 : std::is_same_v<T, numeric::float16> ? 15 : 127;
    for (auto& x : out) {
        const std::uint32_t r = rng();
        Bits<T> bits;
        switch (r % 4) {
            case 0: bits = specials[(r >> 2) % specials.size()]; break;
            case 1: bits = Bits<T>(rng()); break;
            default: {  // sign, an exponent within 2 of one, a short fraction
                const std::uint32_t exponent = bias - 2 + (r >> 2) % 5;
                const std::uint32_t fraction = (rng() % 16) << (mantissa - 4);
                bits = Bits<T>(((r >> 8) & 1u) << (8 * sizeof(T) - 1) | exponent << mantissa | fraction);
            }
        }
        x = from_bits<T>(bits);
    }
    return out;
}

// Output buffers with guard elements on both sides, starting `offset` elements past a cache line.
template <class Out>
struct Output {
    static constexpr std::size_t guard_bytes = 256;
    std::vector<unsigned char> storage;
    Out* data;
    std::size_t bytes;
    Output(std::size_t n, std::size_t offset)
        : storage(n * sizeof(Out) + 2 * guard_bytes + 128, 0xA5), bytes(n * sizeof(Out)) {
        auto at = reinterpret_cast<std::uintptr_t>(storage.data() + guard_bytes);
        at = (at + 63) / 64 * 64;
        data = reinterpret_cast<Out*>(at) + offset;
    }
};

template <class T>
bool is_nan(T x) {
    return std::isnan(numeric::TensorOps<T>::widen(x));
}

// Where both operands are NaNs, the compiler may order a commutative operation either way, so
// which payload survives is not fixed: any NaN result passes there.
template <class Out, class T>
void forgive_nan_pairs(const Output<Out>& want, Output<Out>& got, std::size_t n, const T* a, const T* b,
                       std::ptrdiff_t a_step, std::ptrdiff_t b_step) {
    if constexpr (!std::is_same_v<Out, bool>) {
        for (std::size_t i = 0; i < n; ++i) {
            if (is_nan(a[std::ptrdiff_t(i) * a_step]) && is_nan(b[std::ptrdiff_t(i) * b_step]) &&
                is_nan(want.data[i]) && is_nan(got.data[i])) {
                got.data[i] = want.data[i];
            }
        }
    }
}

template <class Out>
void expect_same_bits(const Output<Out>& want, const Output<Out>& got, const std::string& what) {
    // The output and the guard bytes either side of it.
    const auto* w = reinterpret_cast<const unsigned char*>(want.data) - Output<Out>::guard_bytes;
    const auto* g = reinterpret_cast<const unsigned char*>(got.data) - Output<Out>::guard_bytes;
    for (std::size_t i = 0; i < want.bytes + 2 * Output<Out>::guard_bytes; ++i) {
        if (w[i] != g[i]) {
            ADD_FAILURE() << what << ": byte " << std::ptrdiff_t(i - Output<Out>::guard_bytes)
                          << " of the output differs";
            return;
        }
    }
}

// One run of each function on n elements, output `offset` past a cache line, on both paths.
template <class Op, class T>
void compare_run(Isa isa, std::size_t n, std::size_t offset, bool large, std::uint32_t seed) {
    using Out = simd::OutOf<Op, T>;
    const auto want = simd::element_kernels<Op, T>(Isa::Portable);
    const auto got = simd::element_kernels<Op, T>(isa);
    const auto a = inputs<T>(n + 1, seed), b = inputs<T>(n + 1, seed + 1);
    const auto scalars = inputs<T>(3, seed + 2);
    const std::string where = " n=" + std::to_string(n) + " offset=" + std::to_string(offset) +
                              (large ? " large" : "");
    Output<Out> w(n, offset), g(n, offset);
    want.binary(w.data, a.data() + 1, b.data(), n, large);
    got.binary(g.data, a.data() + 1, b.data(), n, large);
    forgive_nan_pairs(w, g, n, a.data() + 1, b.data(), 1, 1);
    expect_same_bits(w, g, "binary" + where);
    for (const T s : scalars) {
        want.right(w.data, a.data(), s, n, large);
        got.right(g.data, a.data(), s, n, large);
        forgive_nan_pairs(w, g, n, a.data(), &s, 1, 0);
        expect_same_bits(w, g, "right" + where);
        want.left(w.data, s, b.data() + 1, n, large);
        got.left(g.data, s, b.data() + 1, n, large);
        forgive_nan_pairs(w, g, n, &s, b.data() + 1, 0, 1);
        expect_same_bits(w, g, "left" + where);
    }
}

template <class Op, class T>
void compare_paths(Isa isa) {
    std::uint32_t seed = 1;
    for (std::size_t n : {0, 1, 3, 4, 5, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 63, 64, 65, 127, 128, 129, 1000}) {
        for (std::size_t offset : {0, 1, 3}) {
            for (bool large : {false, true}) compare_run<Op, T>(isa, n, offset, large, seed += 3);
        }
    }
    // Past the size where a run is streamed by itself: from a cache line, and not.
    using Out = simd::OutOf<Op, T>;
    const std::size_t big = engine::cpu::large_output_bytes / sizeof(Out) + 37;
    for (std::size_t offset : {0, 1}) compare_run<Op, T>(isa, big, offset, false, seed += 3);
}

struct KernelCase {
    std::string name;
    std::function<void(Isa)> compare;
};

std::vector<KernelCase> kernel_cases() {
    std::vector<KernelCase> cases;
#define MORLA_KERNEL_CASE(Op, T) cases.push_back({#Op "_" #T, &compare_paths<Op, T>});
    using numeric::bfloat16;
    using numeric::float16;
    MORLA_FOR_EACH_KERNEL(MORLA_KERNEL_CASE)
#undef MORLA_KERNEL_CASE
    return cases;
}

class ElementwisePaths : public testing::TestWithParam<std::tuple<KernelCase, Isa>> {};

TEST_P(ElementwisePaths, GiveThePortableBits) {
    const auto& [kernel, isa] = GetParam();
    if (!simd::cpu_runs(isa)) GTEST_SKIP() << "this CPU cannot run " << path_name(isa);
    kernel.compare(isa);
}

std::string case_name(const testing::TestParamInfo<std::tuple<KernelCase, Isa>>& info) {
    std::string name = std::get<0>(info.param).name + "_" + path_name(std::get<1>(info.param));
    for (char& c : name) {
        if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
    }
    return name;
}

INSTANTIATE_TEST_SUITE_P(EveryKernel, ElementwisePaths,
                         testing::Combine(testing::ValuesIn(kernel_cases()), testing::ValuesIn(vector_paths())),
                         case_name);

#if defined(__aarch64__)
// Default NaNs (FPCR.DN), the alternative half-precision format (FPCR.AHP) and rounding toward
// zero (FPCR.RMode) change what the hardware's float16 conversions give; flushing (FZ, FZ16) must
// not change a result either. Under each mode every vector path still gives the portable bits.
TEST(ElementwisePathModes, Float16UnderEveryFloatingPointMode) {
    const std::uint64_t saved = __builtin_aarch64_get_fpcr64();
    constexpr std::uint64_t fz16 = 1u << 19, toward_zero = 3u << 22, fz = 1u << 24, dn = 1u << 25,
                            ahp = 1u << 26;
    for (std::uint64_t mode : {dn, ahp, toward_zero, fz | fz16, ahp | dn | fz | fz16}) {
        __builtin_aarch64_set_fpcr64(saved | mode);
        for (Isa isa : vector_paths()) {
            for (std::size_t n : {7, 64, 1000}) {
                compare_run<numeric::Add, numeric::float16>(isa, n, 1, false, std::uint32_t(n));
                compare_run<numeric::WherePositive, numeric::float16>(isa, n, 1, false, std::uint32_t(n));
                compare_run<numeric::Lt, numeric::float16>(isa, n, 1, false, std::uint32_t(n));
            }
        }
        __builtin_aarch64_set_fpcr64(saved);
        if (HasFailure()) FAIL() << "FPCR mode " << std::hex << mode;
    }
}
#endif

}  // namespace
}  // namespace kernel_tests
