// The portable path, on the baseline instruction set: the element-wise kernels, and the matrix
// product on 4 x 8 tiles.
#include "engine/cpu/numeric/simd/arch/portable.hpp"

#include "engine/cpu/numeric/simd/path_definition.hpp"
#include "engine/cpu/numeric/simd/simd_prelude.hpp"

MORLA_DEFINE_PATH(portable, arch::Portable, 4, 8)
