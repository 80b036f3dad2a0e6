// Each path's matrix product and its microkernel follow the documented order bit for bit: along
// the shared index, blocks of 256, each summed from +0 in increasing order, later block sums
// added onto the first in order; each step fused (one rounding) on the vector paths, rounded
// twice on the portable path. Edge tiles, the direct path and the packed path included.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/cpu/numeric/core/tensor_ops.hpp"
#include "engine/cpu/numeric/simd/gemm.hpp"
#include "paths.hpp"

namespace kernel_tests {
namespace {

namespace simd = engine::cpu::numeric::simd;

bool fused(Isa isa) { return isa != Isa::Portable; }

// acc + a * b by the path's rule: std::fma rounds once, exactly; the build never contracts the
// unfused form.
float step(bool fuse, float acc, float a, float b) { return fuse ? std::fma(a, b, acc) : acc + a * b; }

// C[i][j] by the documented order, from A[i][p] = a[i * a_row + p * a_col] and B[p][j] = b[p * ldb + j].
float reference(bool fuse, std::size_t K, const float* a_row, std::ptrdiff_t a_col, const float* b_col,
                std::ptrdiff_t b_row) {
    float total = 0.0f;
    for (std::size_t start = 0; start < K; start += simd::gemm_kc) {
        float sum = 0.0f;
        for (std::size_t p = start; p < std::min(K, start + simd::gemm_kc); ++p) {
            sum = step(fuse, sum, a_row[std::ptrdiff_t(p) * a_col], b_col[std::ptrdiff_t(p) * b_row]);
        }
        total = start == 0 ? sum : total + sum;
    }
    return total;
}

// Values of mixed magnitudes and signs, with zeros of both signs, so that the two rules disagree.
std::vector<float> operand(std::size_t n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
    std::vector<float> out(n);
    for (auto& x : out) {
        const std::uint32_t r = rng();
        x = r % 17 == 0 ? (r & 32 ? -0.0f : 0.0f) : std::ldexp(unit(rng), int(r % 13) - 6);
    }
    return out;
}

bool same_bits(float x, float y) { return std::memcmp(&x, &y, sizeof x) == 0; }

class GemmPaths : public testing::TestWithParam<Isa> {
protected:
    void SetUp() override {
        if (!simd::cpu_runs(GetParam())) GTEST_SKIP() << "this CPU cannot run " << path_name(GetParam());
    }
};

// Which operand is stored by columns: neither (the direct path where small), B (always packed)
// or A (read a vector of rows at a time where B is narrow).
enum class Stored { by_rows, b_by_columns, a_by_columns };

// Values of T (16-bit operands narrowed by the scalar rule); values become the floats they widen
// to.
template <class T>
std::vector<T> narrowed(std::vector<float>& values) {
    using Ops = engine::cpu::numeric::TensorOps<T>;
    std::vector<T> out(values.size());
    for (std::size_t i = 0; i < values.size(); ++i) {
        out[i] = Ops::narrow(values[i]);
        values[i] = Ops::widen(out[i]);
    }
    return out;
}

// A copy of values that ends where an inaccessible page begins: a read past the last value
// faults, however few bytes it would take (vector and masked loads included).
template <class T>
class GuardedCopy {
public:
    explicit GuardedCopy(const std::vector<T>& values) {
        const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
        bytes_ = (values.size() * sizeof(T) + page - 1) / page * page + page;
        void* base =
            mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (base == MAP_FAILED) throw std::bad_alloc();
        base_ = static_cast<char*>(base);
        if (mprotect(base_ + bytes_ - page, page, PROT_NONE) != 0) throw std::bad_alloc();
        data_ = reinterpret_cast<T*>(base_ + bytes_ - page) - values.size();
        std::memcpy(data_, values.data(), values.size() * sizeof(T));
    }
    GuardedCopy(const GuardedCopy&) = delete;
    GuardedCopy& operator=(const GuardedCopy&) = delete;
    ~GuardedCopy() { munmap(base_, bytes_); }
    const T* data() const { return data_; }

private:
    char* base_ = nullptr;
    std::size_t bytes_ = 0;
    T* data_ = nullptr;
};

// C = A . B on the path against the reference, with A and B each ending at an inaccessible page.
// Returns how many elements the other path's rule would get wrong.
template <class T = float>
std::size_t check_product(Isa isa, std::size_t M, std::size_t N, std::size_t K, Stored stored) {
    const bool b_transposed = stored == Stored::b_by_columns,
               a_transposed = stored == Stored::a_by_columns;
    auto a = operand(M * K, std::uint32_t(M * 7 + N * 13 + K));
    auto b = operand(K * N, std::uint32_t(M + N * 5 + K * 11));
    const GuardedCopy a_t(narrowed<T>(a)), b_t(narrowed<T>(b));
    const std::ptrdiff_t b_row = b_transposed ? 1 : std::ptrdiff_t(N);
    const std::ptrdiff_t b_col = b_transposed ? std::ptrdiff_t(K) : 1;
    const std::ptrdiff_t ldc = std::ptrdiff_t(N) + 3;  // C rows apart from each other
    std::vector<float> c(M * std::size_t(ldc), 7.0f);
    // The scratch the caller allocates, and a guard after it that no path may write.
    const std::size_t scratch_floats = simd::gemm_scratch_floats(M, N, K), guard = 4096;
    std::vector<float> scratch(scratch_floats + guard, -123.0f);
    const std::ptrdiff_t a_row = a_transposed ? 1 : std::ptrdiff_t(K),
                         a_col = a_transposed ? std::ptrdiff_t(M) : 1;
    simd::gemm_of<T>(isa)(
        {M, N, K, a_t.data(), a_row, a_col, b_t.data(), b_row, b_col, c.data(), ldc},
        scratch.data());
    for (std::size_t i = scratch_floats; i < scratch.size(); ++i) {
        if (scratch[i] != -123.0f) {
            ADD_FAILURE() << path_name(isa) << " M=" << M << " N=" << N << " K=" << K << " wrote "
                          << i - scratch_floats + 1 << " or more floats past its scratch";
            return 0;
        }
    }
    std::size_t other_rule_misses = 0;
    for (std::size_t i = 0; i < M; ++i) {
        for (std::size_t j = 0; j < N; ++j) {
            const float* a_start = a.data() + std::ptrdiff_t(i) * a_row;
            const float* b_col_start = b.data() + std::ptrdiff_t(j) * b_col;
            const float want = reference(fused(isa), K, a_start, a_col, b_col_start, b_row);
            const float got = c[i * std::size_t(ldc) + j];
            if (!same_bits(want, got)) {
                ADD_FAILURE() << path_name(isa) << " M=" << M << " N=" << N << " K=" << K
                              << (b_transposed ? " B transposed" : "")
                              << (a_transposed ? " A transposed" : "") << " at (" << i << ", " << j
                              << "): " << got << " instead of " << want;
                return 0;
            }
            other_rule_misses +=
                !same_bits(got, reference(!fused(isa), K, a_start, a_col, b_col_start, b_row));
        }
        for (std::size_t j = N; j < std::size_t(ldc); ++j) {
            if (c[i * std::size_t(ldc) + j] != 7.0f) {
                ADD_FAILURE() << path_name(isa) << " wrote past row " << i << " of C";
                return 0;
            }
        }
    }
    return other_rule_misses;
}

TEST_P(GemmPaths, ProductsFollowTheDocumentedOrder) {
    const Isa isa = GetParam();
    const auto& kernel = simd::microkernel_of(isa);
    const std::size_t mr = kernel.mr, nr = kernel.nr;
    std::size_t other_rule_misses = 0;
    // (tall strips; whole vectors of rows and a rest)
    for (std::size_t M :
         {std::size_t(1), mr - 1, mr, mr + 1, 2 * mr + 3, 4 * mr + 3, 3 * kernel.lanes + 5}) {
        for (std::size_t N :
             {std::size_t(1), std::size_t(10), kernel.lanes + 1, nr - 1, nr, nr + 1, 2 * nr + 5}) {
            for (std::size_t K : {1, 7, 256, 257, 600}) {
                for (Stored stored :
                     {Stored::by_rows, Stored::b_by_columns, Stored::a_by_columns}) {
                    other_rule_misses += check_product(isa, M, N, K, stored);
                    if (HasFatalFailure()) return;
                }
            }
        }
    }
    // As many rows as are packed whole, against a B two tiles wide; then past that and past one
    // block of columns of the packing.
    for (Stored stored : {Stored::by_rows, Stored::b_by_columns}) {
        other_rule_misses +=
            check_product(isa, 2 * simd::gemm_mc, 2 * nr, simd::gemm_kc + 1, stored);
    }
    other_rule_misses += check_product(isa, 2 * simd::gemm_mc + mr + 1, simd::gemm_nc + nr + 3,
                                       simd::gemm_kc + 5, Stored::by_rows);
    EXPECT_GT(other_rule_misses, 0u) << "the operands do not tell the two rules apart";
}

// 16-bit operands are widened while packed: whole tiles of rows a vector or more at a time (and
// the rest of k one by one), edge rows and A stored by columns one value at a time.
TEST_P(GemmPaths, SixteenBitOperandsAreWidenedWhilePacked) {
    const Isa isa = GetParam();
    const auto& kernel = simd::microkernel_of(isa);
    const std::size_t mr = kernel.mr, nr = kernel.nr, w = kernel.lanes;
    auto each = [&]<class T>() {
        for (std::size_t M : {mr, mr + 1, 2 * mr + 3})
            for (std::size_t K : {w - 1, w, 2 * w + 3, simd::gemm_kc + 1})
                for (Stored stored : {Stored::by_rows, Stored::b_by_columns, Stored::a_by_columns})
                    check_product<T>(isa, M, 2 * nr + 1, K, stored);
    };
    each.template operator()<engine::cpu::numeric::float16>();
    each.template operator()<engine::cpu::numeric::bfloat16>();
}

// The microkernel alone on packed panels: whole and edge tiles, stored or added onto C, and
// nothing written outside the valid part.
TEST_P(GemmPaths, MicrokernelFollowsTheDocumentedOrder) {
    const Isa isa = GetParam();
    const auto& kernel = simd::microkernel_of(isa);
    const std::size_t mr = kernel.mr, nr = kernel.nr;
    EXPECT_NE(std::string(kernel.name).find(path_name(isa)), std::string::npos) << kernel.name;
    for (std::size_t k : {1, 2, 33, 256}) {
        const auto a = operand(k * mr, std::uint32_t(k));         // for each p, mr values
        const auto b = operand(k * nr, std::uint32_t(k + 1000));  // for each p, nr values
        for (std::size_t rows : {mr, mr - 1, std::size_t(1)}) {
            for (std::size_t cols : {nr, nr - 1, kernel.lanes + 1, kernel.lanes, std::size_t(1)}) {
                // An edge tile's panel holds whole vectors only: for each p, `width` values.
                const std::size_t width = (cols + kernel.lanes - 1) / kernel.lanes * kernel.lanes;
                for (bool add_onto : {false, true}) {
                    const std::ptrdiff_t ldc = std::ptrdiff_t(nr) + 5;
                    const auto start = operand(mr * std::size_t(ldc), 99);
                    auto c = start;
                    kernel.packed(k, {a.data(), 1, std::ptrdiff_t(mr), b.data(), std::ptrdiff_t(width)}, c.data(),
                                  ldc, add_onto, rows, cols);
                    for (std::size_t i = 0; i < mr; ++i) {
                        for (std::size_t j = 0; j < std::size_t(ldc); ++j) {
                            const std::size_t at = i * std::size_t(ldc) + j;
                            float want = start[at];
                            if (i < rows && j < cols) {
                                const float sum = reference(fused(isa), k, a.data() + i, std::ptrdiff_t(mr),
                                                            b.data() + j, std::ptrdiff_t(width));
                                want = add_onto ? start[at] + sum : sum;
                            }
                            ASSERT_TRUE(same_bits(want, c[at]))
                                << kernel.name << " k=" << k << " rows=" << rows << " cols=" << cols
                                << (add_onto ? " adding" : "") << " at (" << i << ", " << j << ")";
                        }
                    }
                }
            }
        }
    }
}

#if defined(__aarch64__)
// The float16 operands of a product are widened while packed, by the hardware where the
// floating-point modes let it follow the scalar rule. Under the alternative half-precision format
// (FPCR.AHP) and default NaNs (FPCR.DN) every path gives the bits it gives under the default
// modes, for rows packed by vectors and columns packed one by one.
TEST_P(GemmPaths, Float16ProductsUnderEveryFloatingPointMode) {
    const std::uint64_t saved = __builtin_aarch64_get_fpcr64();
    std::mt19937 rng(5);
    for (const auto [M, N, K] : {std::array<std::size_t, 3>{7, 33, 5}, {13, 40, 257}, {100, 70, 20}}) {
        std::vector<engine::cpu::numeric::float16> a(M * K), b(K * N);
        for (auto& x : a) {  // values near 1 and infinities, no NaN (DN would change its payload)
            const std::uint16_t r = std::uint16_t(rng());
            x.bits = r % 7 == 0 ? 0x7C00 : std::uint16_t(0x3800 + r % 0x800);
        }
        for (auto& x : b) x.bits = std::uint16_t(0x3800 + rng() % 0x800);
        for (bool transposed : {false, true}) {
            const std::ptrdiff_t m = std::ptrdiff_t(M), n = std::ptrdiff_t(N), k = std::ptrdiff_t(K);
            simd::GemmOperands<engine::cpu::numeric::float16> g{
                M, N, K, a.data(), transposed ? 1 : k, transposed ? m : 1,
                b.data(), transposed ? 1 : n, transposed ? k : 1, nullptr, n};
            std::vector<float> want(M * N), got(M * N), scratch(simd::gemm_scratch_floats(M, N, K));
            g.c = want.data();
            simd::gemm_of<engine::cpu::numeric::float16>(GetParam())(g, scratch.data());
            for (std::uint64_t mode : {std::uint64_t(1) << 26, std::uint64_t(1) << 25}) {
                g.c = got.data();
                __builtin_aarch64_set_fpcr64(saved | mode);
                simd::gemm_of<engine::cpu::numeric::float16>(GetParam())(g, scratch.data());
                __builtin_aarch64_set_fpcr64(saved);
                ASSERT_EQ(std::memcmp(want.data(), got.data(), want.size() * sizeof(float)), 0)
                    << path_name(GetParam()) << " M=" << M << " N=" << N << " K=" << K
                    << (transposed ? " transposed" : "") << " FPCR mode " << std::hex << mode;
            }
        }
    }
}
#endif

INSTANTIATE_TEST_SUITE_P(EveryPath, GemmPaths, testing::ValuesIn(every_path()),
                         [](const testing::TestParamInfo<Isa>& info) { return path_name(info.param); });

}  // namespace
}  // namespace kernel_tests
