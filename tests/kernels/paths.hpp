#pragma once
// The compiled instruction-set paths, as test parameters (a path this CPU cannot run is skipped).

#include <vector>

#include "engine/cpu/numeric/simd/isa.hpp"

namespace kernel_tests {

using engine::cpu::numeric::simd::Isa;
using engine::cpu::numeric::simd::path_name;

// Every compiled path, the portable one first.
inline std::vector<Isa> every_path() {
    return {std::begin(engine::cpu::numeric::simd::compiled_paths),
            std::end(engine::cpu::numeric::simd::compiled_paths)};
}

// Every compiled path but the portable one (the ones compared with it).
inline std::vector<Isa> vector_paths() {
    auto paths = every_path();
    std::erase(paths, Isa::Portable);
    return paths;
}

}  // namespace kernel_tests
