#pragma once
// The instruction set the element-wise and matrix kernels run on, chosen once per process from
// the CPU's features. Builds for testing can pin it with MORLA_FORCE_ISA.

namespace engine::cpu::simd {

enum class Isa { Portable, Avx2, Avx512 };

Isa active_isa();

// Whether this CPU can run the path (whatever MORLA_FORCE_ISA pins).
bool cpu_runs(Isa isa);

// The one of three variants that the active instruction set runs.
template <class Fn>
Fn pick(Fn portable_fn, Fn avx2_fn, Fn avx512_fn) {
    switch (active_isa()) {
        case Isa::Avx512: return avx512_fn;
        case Isa::Avx2: return avx2_fn;
        case Isa::Portable: break;
    }
    return portable_fn;
}

}  // namespace engine::cpu::simd
