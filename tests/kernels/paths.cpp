#include "paths.hpp"

namespace kernel_tests {

std::string path_name(Isa isa) {
    switch (isa) {
        case Isa::Portable: return "portable";
        case Isa::Avx2: return "avx2";
        case Isa::Avx512: return "avx512";
    }
    return "unknown";
}

std::vector<Isa> runnable_vector_paths() {
    std::vector<Isa> paths;
    for (Isa isa : {Isa::Avx2, Isa::Avx512}) {
        if (engine::cpu::simd::cpu_runs(isa)) paths.push_back(isa);
    }
    return paths;
}

std::vector<Isa> runnable_paths() {
    std::vector<Isa> paths{Isa::Portable};
    for (Isa isa : runnable_vector_paths()) paths.push_back(isa);
    return paths;
}

}  // namespace kernel_tests
