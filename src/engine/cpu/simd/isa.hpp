#pragma once
// The instruction set the element-wise and matrix kernels run on, chosen once per process from
// the CPU's features. Builds for testing can pin it with MORLA_FORCE_ISA.

namespace engine::cpu::simd {

enum class Isa { Portable, Avx2, Avx512 };

Isa active_isa();
const char* isa_name(Isa isa);

}  // namespace engine::cpu::simd
