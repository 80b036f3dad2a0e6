// The kernel loops, written once and compiled in one translation unit per instruction set. The
// including file includes simd_prelude.hpp, then enables its instruction set for what follows
// (#pragma GCC target) and defines MORLA_SIMD_NAMESPACE and MORLA_SIMD_BYTES (the vector width:
// 64 for AVX-512, 32 for AVX2 with F16C, 16 for the portable baseline). Only the functions
// defined here get the instruction set; the shared inline helpers keep the baseline, so the
// linker can never pick a copy that needs a wider CPU.

namespace engine::cpu::simd::MORLA_SIMD_NAMESPACE {
namespace {

constexpr std::size_t W = MORLA_SIMD_BYTES / 4;  // float32 lanes
typedef float vf __attribute__((vector_size(MORLA_SIMD_BYTES)));
typedef std::uint32_t vu __attribute__((vector_size(MORLA_SIMD_BYTES)));
typedef std::int32_t vi __attribute__((vector_size(MORLA_SIMD_BYTES)));
typedef std::uint16_t vh __attribute__((vector_size(MORLA_SIMD_BYTES / 2)));
typedef std::uint8_t vb __attribute__((vector_size(MORLA_SIMD_BYTES / 4)));

template <class V, class P>
inline V load_bits(const P* p) {
    V v;
    std::memcpy(&v, p, sizeof v);
    return v;
}

template <class P, class V>
inline void store_bits(P* p, V v) {
    std::memcpy(p, &v, sizeof v);
}

inline vf widen(const float* p) { return load_bits<vf>(p); }
inline void narrow(float* p, vf v) { store_bits(p, v); }

// bfloat16: the upper half of a float32. Unlike the scalar rule, a signalling NaN is not made
// quiet here: every kernel either compares the value (where any NaN behaves alike) or computes
// with it, and the processor's arithmetic makes the NaN quiet with the same payload. Narrowing
// rounds to nearest even; a NaN keeps its top bits and comes out quiet.
inline vf widen(const bfloat16* p) {
#if MORLA_SIMD_BYTES == 64
    const vu bits = vu(_mm512_cvtepu16_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
#elif MORLA_SIMD_BYTES == 32
    const vu bits = vu(_mm256_cvtepu16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
    const vu bits = __builtin_convertvector(load_bits<vh>(p), vu);
#endif
    return vf(bits << 16);
}
inline void narrow(bfloat16* p, vf v) {
    const vu bits = vu(v);
    const vi nan = (bits & 0x7FFFFFFFu) > 0x7F800000u;
    const vu rounded = (bits + 0x7FFFu + ((bits >> 16) & 1u)) >> 16;
    const vu quiet = (bits >> 16) | 0x0040u;
    store_bits(p, __builtin_convertvector(nan ? quiet : rounded, vh));
}

// float16: the F16C conversions (with both AVX2 and AVX-512), which follow the scalar rule exactly (subnormals, rounding to
// nearest even, quiet NaNs); without F16C, lane by lane.
inline vf widen(const float16* p) {
#if MORLA_SIMD_BYTES == 64
    return vf(_mm512_cvtph_ps(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p))));
#elif MORLA_SIMD_BYTES == 32
    return vf(_mm256_cvtph_ps(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p))));
#else
    vf v;
    for (std::size_t i = 0; i < W; ++i) v[i] = numeric::widen(p[i]);
    return v;
#endif
}
inline void narrow(float16* p, vf v) {
#if MORLA_SIMD_BYTES == 64
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(p),
                        _mm512_cvtps_ph(__m512(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
#elif MORLA_SIMD_BYTES == 32
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p),
                     _mm256_cvtps_ph(__m256(v), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC));
#else
    for (std::size_t i = 0; i < W; ++i) p[i] = numeric::narrow_f16(v[i]);
#endif
}

// A truth mask (all ones or zero per lane) stored as bool bytes.
inline void narrow(bool* p, vi mask) { store_bits(p, __builtin_convertvector(mask & 1, vb)); }

// Stores that bypass the caches, for outputs far larger than them: the line is written without
// first being read. p must be aligned to the size stored.
template <std::size_t bytes>
inline void stream(void* p, const void* lanes) {
#if MORLA_SIMD_BYTES == 64
    if constexpr (bytes == 64) {
        _mm512_stream_si512(static_cast<__m512i*>(p), _mm512_load_si512(lanes));
        return;
    }
#endif
#if MORLA_SIMD_BYTES >= 32
    if constexpr (bytes == 32) {
        _mm256_stream_si256(static_cast<__m256i*>(p), _mm256_load_si256(static_cast<const __m256i*>(lanes)));
        return;
    } else if constexpr (bytes == 16) {
        _mm_stream_si128(static_cast<__m128i*>(p), _mm_load_si128(static_cast<const __m128i*>(lanes)));
        return;
    }
#endif
    std::memcpy(p, lanes, bytes);
}

// Writes the lanes of a result through narrow(), by way of an aligned temporary when streaming.
template <bool streaming, class Out, class V>
inline void put(Out* out, V value) {
    if constexpr (streaming) {
        alignas(64) Out lanes[W];
        narrow(lanes, value);
        stream<sizeof lanes>(out, lanes);
    } else {
        narrow(out, value);
    }
}

// Large outputs that start on a cache line are streamed.
template <class Out>
inline bool should_stream(const Out* out, std::size_t n, bool large) {
    return MORLA_SIMD_BYTES >= 32 && (large || n * sizeof(Out) >= large_output_bytes) &&
           reinterpret_cast<std::uintptr_t>(out) % 64 == 0;
}

// Runs vector(i) for each full vector, streaming or not, then the scalar tail.
template <class Out, class Vector, class Tail>
inline void for_each_vector(Out* out, std::size_t n, bool large, Vector vector, Tail tail) {
    std::size_t i = 0;
    if (should_stream(out, n, large)) {
        for (; i + W <= n; i += W) put<true>(out + i, vector(i));
        if (!large) store_fence();  // with `large`, the caller fences once for the whole output
    } else {
        for (; i + W <= n; i += W) put<false>(out + i, vector(i));
    }
    for (; i < n; ++i) out[i] = tail(i);
}

inline vf splat(float x) {  // every lane x (an addition to +0 would lose the sign of -0)
#if MORLA_SIMD_BYTES == 64
    return vf(_mm512_set1_ps(x));
#elif MORLA_SIMD_BYTES == 32
    return vf(_mm256_set1_ps(x));
#elif defined(__x86_64__)
    return vf(_mm_set1_ps(x));
#else
    vf v;
    for (std::size_t i = 0; i < W; ++i) v[i] = x;
    return v;
#endif
}

}  // namespace

template <class Op, class T>
void binary(OutOf<Op, T>* out, const T* a, const T* b, std::size_t n, bool large) {
    for_each_vector(
        out, n, large, [&](std::size_t i) { return Op{}(widen(a + i), widen(b + i)); },
        [&](std::size_t i) { return scalar_rule<Op>(a[i], b[i]); });
}

template <class Op, class T>
void right(OutOf<Op, T>* out, const T* a, T s, std::size_t n, bool large) {
    const vf scalar = splat(numeric::TensorOps<T>::widen(s));
    for_each_vector(
        out, n, large, [&](std::size_t i) { return Op{}(widen(a + i), scalar); },
        [&](std::size_t i) { return scalar_rule<Op>(a[i], s); });
}

template <class Op, class T>
void left(OutOf<Op, T>* out, T s, const T* b, std::size_t n, bool large) {
    const vf scalar = splat(numeric::TensorOps<T>::widen(s));
    for_each_vector(
        out, n, large, [&](std::size_t i) { return Op{}(scalar, widen(b + i)); },
        [&](std::size_t i) { return scalar_rule<Op>(s, b[i]); });
}

#define MORLA_INSTANTIATE(Op, T)                                                   \
    template void binary<Op, T>(OutOf<Op, T>*, const T*, const T*, std::size_t, bool); \
    template void right<Op, T>(OutOf<Op, T>*, const T*, T, std::size_t, bool);        \
    template void left<Op, T>(OutOf<Op, T>*, T, const T*, std::size_t, bool);
MORLA_FOR_EACH_KERNEL(MORLA_INSTANTIATE)
#undef MORLA_INSTANTIATE

}  // namespace engine::cpu::simd::MORLA_SIMD_NAMESPACE
