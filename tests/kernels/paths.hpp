#pragma once
// The compiled instruction-set paths, and the ones this CPU runs.

#include <string>
#include <vector>

#include "engine/cpu/simd/isa.hpp"

namespace kernel_tests {

using engine::cpu::simd::Isa;

std::string path_name(Isa isa);

// Every path below the portable one that this CPU runs (the ones compared with it).
std::vector<Isa> runnable_vector_paths();

// Every path this CPU runs, the portable one included.
std::vector<Isa> runnable_paths();

}  // namespace kernel_tests
