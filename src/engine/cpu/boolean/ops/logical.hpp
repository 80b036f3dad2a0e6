#pragma once
// The logical kernels on bool arrays, on the shared element-wise engine.

#include "engine/cpu/elementwise.hpp"

namespace engine::cpu::boolean::ops {

using runtime::KernelResult;

inline KernelResult<StridedArray<bool>> logical_and(const StridedArray<bool>& a, const StridedArray<bool>& b) {
    return elementwise<bool>(a, b, [](bool x, bool y) { return x && y; });
}
inline KernelResult<StridedArray<bool>> logical_or(const StridedArray<bool>& a, const StridedArray<bool>& b) {
    return elementwise<bool>(a, b, [](bool x, bool y) { return x || y; });
}
inline KernelResult<StridedArray<bool>> logical_xor(const StridedArray<bool>& a, const StridedArray<bool>& b) {
    return elementwise<bool>(a, b, [](bool x, bool y) { return x != y; });
}
}  // namespace engine::cpu::boolean::ops
