#include "engine/cpu/simd/isa.hpp"

namespace engine::cpu::simd {
namespace {

Isa detect() {
#if defined(MORLA_FORCE_ISA)
    return Isa::MORLA_FORCE_ISA;
#else
    if (cpu_runs(Isa::Avx512)) return Isa::Avx512;
    if (cpu_runs(Isa::Avx2)) return Isa::Avx2;
    return Isa::Portable;
#endif
}

}  // namespace

bool cpu_runs(Isa isa) {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("f16c") &&
                      __builtin_cpu_supports("fma");
    switch (isa) {
        case Isa::Avx512:
            return avx2 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                   __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq");
        case Isa::Avx2: return avx2;
        case Isa::Portable: return true;
    }
    return false;
#else
    return isa == Isa::Portable;
#endif
}

Isa active_isa() {
    static const Isa isa = detect();  // a guarded one-time initialisation
    return isa;
}

}  // namespace engine::cpu::simd
