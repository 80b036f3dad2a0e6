/* This core's limits, for the benchmark (bench/limits.py builds this with the system compiler and
 * loads it with ctypes):
 *   fma_run(n)   n rounds of multiply-adds on float32 registers alone, on the widest vectors the
 *                CPU has (AVX-512, else AVX2 with FMA, else scalar; Advanced SIMD on aarch64),
 *                chosen at run time: the build takes no -march. Returns the flops done.
 *   fma_path()   the name of the vectors fma_run uses.
 *   copy_run(dst, src, bytes)
 *                copies src to dst with streaming stores, which do not read the destination's
 *                lines first; both 64-byte aligned, bytes a multiple of 64.
 */
#include <stddef.h>
#include <string.h>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define X86 1
#elif defined(__aarch64__)
#include <arm_neon.h>
#define NEON 1
#endif

static volatile float sink; /* the loops' results go here, so the compiler keeps the loops */

/* x = x * a + b on 12 independent registers, n rounds: enough chains to cover the latency of two
 * pipelines (4 cycles each on current cores), few enough to stay in AVX2's 16 registers. a and
 * b keep every x near 1: no overflow, no subnormals. */
#define FMA_BODY(VEC, SET1, FMA, TO_FLOAT)                                                        \
    VEC a = SET1(0.999999f), b = SET1(1e-6f);                                                     \
    VEC x0 = SET1(1.00f), x1 = SET1(1.01f), x2 = SET1(1.02f), x3 = SET1(1.03f), x4 = SET1(1.04f), \
        x5 = SET1(1.05f), x6 = SET1(1.06f), x7 = SET1(1.07f), x8 = SET1(1.08f), x9 = SET1(1.09f),  \
        x10 = SET1(1.10f), x11 = SET1(1.11f);                                                     \
    for (long i = 0; i < n; i++) {                                                                \
        x0 = FMA(x0, a, b); x1 = FMA(x1, a, b); x2 = FMA(x2, a, b); x3 = FMA(x3, a, b);           \
        x4 = FMA(x4, a, b); x5 = FMA(x5, a, b); x6 = FMA(x6, a, b); x7 = FMA(x7, a, b);           \
        x8 = FMA(x8, a, b); x9 = FMA(x9, a, b); x10 = FMA(x10, a, b); x11 = FMA(x11, a, b);       \
    }                                                                                             \
    sink = TO_FLOAT(x0) + TO_FLOAT(x1) + TO_FLOAT(x2) + TO_FLOAT(x3) + TO_FLOAT(x4) +             \
           TO_FLOAT(x5) + TO_FLOAT(x6) + TO_FLOAT(x7) + TO_FLOAT(x8) + TO_FLOAT(x9) +             \
           TO_FLOAT(x10) + TO_FLOAT(x11);                                                         \
    return 12.0 * 2.0 * (sizeof(VEC) / sizeof(float)) * (double)n;

#define SCALAR_SET1(v) (v)
#define SCALAR_FMA(x, a, b) ((x) * (a) + (b))
#define SCALAR_TO_FLOAT(x) (x)
static double fma_scalar(long n) { FMA_BODY(float, SCALAR_SET1, SCALAR_FMA, SCALAR_TO_FLOAT) }

#ifdef X86
__attribute__((target("avx512f"))) static double fma_avx512(long n) {
    FMA_BODY(__m512, _mm512_set1_ps, _mm512_fmadd_ps, _mm512_cvtss_f32)
}
__attribute__((target("avx2,fma"))) static double fma_avx2(long n) {
    FMA_BODY(__m256, _mm256_set1_ps, _mm256_fmadd_ps, _mm256_cvtss_f32)
}
#endif

#ifdef NEON
#define NEON_FMA(x, a, b) vfmaq_f32(b, x, a)
#define NEON_TO_FLOAT(x) vgetq_lane_f32(x, 0)
static double fma_neon(long n) { FMA_BODY(float32x4_t, vdupq_n_f32, NEON_FMA, NEON_TO_FLOAT) }
#endif

const char *fma_path(void) {
#ifdef X86
    __builtin_cpu_init();
    if (__builtin_cpu_supports("avx512f")) return "avx512";
    if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma")) return "avx2";
#elif defined(NEON)
    return "neon";
#endif
    return "scalar";
}

double fma_run(long n) {
    const char *path = fma_path();
#ifdef X86
    if (strcmp(path, "avx512") == 0) return fma_avx512(n);
    if (strcmp(path, "avx2") == 0) return fma_avx2(n);
#elif defined(NEON)
    return fma_neon(n);
#endif
    (void)path;
    return fma_scalar(n);
}

void copy_run(void *dst, const void *src, size_t bytes) {
#ifdef X86
    /* SSE2, which every x86-64 CPU has: one core's copy is bound by the memory, not the width */
    const __m128i *from = src;
    __m128i *to = dst;
    for (size_t i = 0; i < bytes / 16; i += 4) {
        __m128i v0 = _mm_load_si128(from + i), v1 = _mm_load_si128(from + i + 1);
        __m128i v2 = _mm_load_si128(from + i + 2), v3 = _mm_load_si128(from + i + 3);
        _mm_stream_si128(to + i, v0);
        _mm_stream_si128(to + i + 1, v1);
        _mm_stream_si128(to + i + 2, v2);
        _mm_stream_si128(to + i + 3, v3);
    }
    _mm_sfence();
#else
    memcpy(dst, src, bytes);
#endif
}
