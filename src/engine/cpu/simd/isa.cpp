#include "engine/cpu/simd/isa.hpp"

namespace engine::cpu::simd {
namespace {

Isa detect() {
#if defined(MORLA_FORCE_ISA)
    return Isa::MORLA_FORCE_ISA;
#elif defined(__x86_64__)
    __builtin_cpu_init();
    const bool f16c_fma = __builtin_cpu_supports("f16c") && __builtin_cpu_supports("fma");
    if (f16c_fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
        return Isa::Avx512;
    }
    if (f16c_fma && __builtin_cpu_supports("avx2")) return Isa::Avx2;
    return Isa::Portable;
#else
    return Isa::Portable;
#endif
}

}  // namespace

Isa active_isa() {
    static const Isa isa = detect();  // a guarded one-time initialisation
    return isa;
}

}  // namespace engine::cpu::simd
