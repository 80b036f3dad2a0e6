// The portable path, on the baseline instruction set: the element-wise kernels, and the matrix
// product on 4 x 8 tiles.
#include "engine/cpu/simd/simd_prelude.hpp"
#include "engine/cpu/simd/arch/portable.hpp"
#include "engine/cpu/simd/path_definition.hpp"

MORLA_DEFINE_PATH(portable, arch::Portable, 4, 8)
