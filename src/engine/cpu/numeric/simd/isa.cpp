#include "engine/cpu/numeric/simd/isa.hpp"

namespace engine::cpu::numeric::simd {
namespace {

#if defined(__x86_64__)
#define cpu_has(feature) __builtin_cpu_supports(feature)
#endif

Isa detect() {
    Isa chosen = Isa::Portable;
    for (Isa isa : compiled_paths) {
        if (cpu_runs(isa)) chosen = isa;
    }
    return chosen;
}

}  // namespace

bool cpu_runs(Isa isa) {
#if defined(__x86_64__)
    __builtin_cpu_init();
#endif
    switch (isa) {
#define MORLA_PATH_RULE(name, Enumerator, runs_here) \
    case Isa::Enumerator:                            \
        return runs_here;
        MORLA_FOR_EACH_PATH(MORLA_PATH_RULE)
#undef MORLA_PATH_RULE
    }
    return false;
}

const char* path_name(Isa isa) {
    switch (isa) {
#define MORLA_PATH_NAME(name, Enumerator, runs_here) \
    case Isa::Enumerator:                            \
        return #name;
        MORLA_FOR_EACH_PATH(MORLA_PATH_NAME)
#undef MORLA_PATH_NAME
    }
    return "unknown";
}

Isa active_isa() {
    static const Isa isa = detect();  // a guarded one-time initialisation
    return isa;
}

}  // namespace engine::cpu::numeric::simd

// The name of the path this process runs, and of every path compiled (in the list's order,
// separated by blanks), for the Python helpers that need to know them (tests, benchmarks);
// exported from the module's shared object, outside its Python surface.
extern "C" __attribute__((visibility("default"))) const char* morla_active_path() {
    return engine::cpu::numeric::simd::path_name(engine::cpu::numeric::simd::active_isa());
}

extern "C" __attribute__((visibility("default"))) const char* morla_compiled_paths() {
#define MORLA_PATH_LISTED(name, Enumerator, runs_here) " " #name
    static constexpr const char listed[] = MORLA_FOR_EACH_PATH(MORLA_PATH_LISTED);
#undef MORLA_PATH_LISTED
    return listed + 1;  // past the first blank
}
