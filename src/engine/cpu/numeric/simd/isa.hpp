#pragma once
// The instruction-set paths of the element-wise and matrix kernels. Every path compiled for the
// target processor is listed once, here, from the least preferred to the most; each process runs
// the most preferred one its CPU can. A path is its primitives (arch/<name>.hpp), its translation
// unit (<processor>/<name>.cpp, which the build compiles only for that processor) and its line
// below; dispatch, the kernel tests and the name the Python helpers read all come from this list.
//
// X(name, Enumerator, runs_here): runs_here is evaluated in isa.cpp, where cpu_has("feature")
// asks the CPU for one of its features.
//
// avx512bf16 is the avx512 path narrowing to bfloat16 with the hardware's conversion
// (arch/avx512bf16.hpp). It is a path of its own rather than a choice within avx512 so that a CPU
// with AVX512_BF16 runs, and the kernel tests check, both.

#if defined(__x86_64__)
#define MORLA_FOR_EACH_PATH(X)                                                                   \
    X(portable, Portable, true)                                                                  \
    X(avx2, Avx2, cpu_has("avx2") && cpu_has("fma") && cpu_has("f16c"))                          \
    X(avx512, Avx512,                                                                            \
      cpu_runs(Isa::Avx2) && cpu_has("avx512f") && cpu_has("avx512bw") && cpu_has("avx512vl") && \
          cpu_has("avx512dq"))                                                                   \
    X(avx512bf16, Avx512Bf16, cpu_runs(Isa::Avx512) && cpu_has("avx512bf16"))
#elif defined(__aarch64__)
// Advanced SIMD is part of every aarch64 CPU.
#define MORLA_FOR_EACH_PATH(X) X(portable, Portable, true) X(neon, Neon, true)
#else
#define MORLA_FOR_EACH_PATH(X) X(portable, Portable, true)
#endif

namespace engine::cpu::numeric::simd {

// Isa::Portable, Isa::Avx2, Isa::Avx512, Isa::Avx512Bf16, Isa::Neon: one enumerator per path of
// the list.
#define MORLA_PATH_ENUMERATOR(name, Enumerator, runs_here) Enumerator,
enum class Isa { MORLA_FOR_EACH_PATH(MORLA_PATH_ENUMERATOR) };
#undef MORLA_PATH_ENUMERATOR

// Every compiled path, in the order above.
#define MORLA_PATH_VALUE(name, Enumerator, runs_here) Isa::Enumerator,
inline constexpr Isa compiled_paths[] = {MORLA_FOR_EACH_PATH(MORLA_PATH_VALUE)};
#undef MORLA_PATH_VALUE

// The path this process runs: the last compiled one that the CPU runs, chosen once.
Isa active_isa();

// Whether this CPU can run the path.
bool cpu_runs(Isa isa);

// The path's name, as in the list ("portable", ...).
const char* path_name(Isa isa);

}  // namespace engine::cpu::numeric::simd
