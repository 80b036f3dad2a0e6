#pragma once
// The one strided iteration driver behind every element-wise kernel. Operand 0 is the output: its
// layout fixes the order of the walk (its fastest axis innermost). Axes of length 1 are dropped
// and adjacent axes that are contiguous for every operand are merged, so operands that share a
// contiguous order are walked as one flat run.

#include <array>
#include <cstddef>
#include <span>

#include "engine/cpu/axis_vector.hpp"

namespace engine::cpu {

// Outputs of at least this many bytes count as large: they are written past the caches (streamed)
// where the instruction set can.
constexpr std::size_t large_output_bytes = std::size_t(4) << 20;

// Orders streamed stores before anything that follows (another thread may read the result).
inline void store_fence() {
#if defined(__x86_64__)
    __builtin_ia32_sfence();  // _mm_sfence, without the intrinsics header in every file
#endif
}

template <std::size_t N>
using Pointers = std::array<std::byte*, N>;
template <std::size_t N>
using StepBytes = std::array<std::ptrdiff_t, N>;

// run(pointers, steps, n) handles n elements; operand k advances by steps[k] bytes per element.
template <std::size_t N, class Run>
void for_each_run(std::span<const std::size_t> shape, Pointers<N> data,
                  const std::array<std::span<const std::ptrdiff_t>, N>& byte_strides, Run&& run) {
    AxisVector<std::size_t> axes;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (shape[axis] == 0) return;
        if (shape[axis] > 1) axes.push_back(axis);
    }
    // Largest output stride first, ties in axis order: an insertion sort, as there are few axes
    // (std::stable_sort would allocate a scratch buffer on every call).
    auto magnitude = [](std::ptrdiff_t s) { return s < 0 ? -s : s; };
    for (std::size_t i = 1; i < axes.size(); ++i) {
        const std::size_t axis = axes[i];
        const std::ptrdiff_t key = magnitude(byte_strides[0][axis]);
        std::size_t j = i;
        for (; j > 0 && magnitude(byte_strides[0][axes[j - 1]]) < key; --j) axes[j] = axes[j - 1];
        axes[j] = axis;
    }

    struct Dim {
        std::size_t length;
        StepBytes<N> step;
    };
    AxisVector<Dim> dims;  // innermost first
    for (auto it = axes.rbegin(); it != axes.rend(); ++it) {
        Dim next{shape[*it], {}};
        for (std::size_t k = 0; k < N; ++k) next.step[k] = byte_strides[k][*it];
        if (!dims.empty()) {
            Dim& inner = dims.back();
            bool mergeable = true;
            for (std::size_t k = 0; k < N; ++k) {
                mergeable &= next.step[k] == inner.step[k] * std::ptrdiff_t(inner.length);
            }
            if (mergeable) {
                inner.length *= next.length;
                continue;
            }
        }
        dims.push_back(next);
    }
    if (dims.empty()) {
        run(data, StepBytes<N>{}, std::size_t(1));
        return;
    }

    AxisVector<std::size_t> index(dims.size(), 0);
    for (;;) {
        run(data, dims[0].step, dims[0].length);
        std::size_t d = 1;
        for (; d < dims.size(); ++d) {
            for (std::size_t k = 0; k < N; ++k) data[k] += dims[d].step[k];
            if (++index[d] < dims[d].length) break;
            for (std::size_t k = 0; k < N; ++k) {
                data[k] -= dims[d].step[k] * std::ptrdiff_t(dims[d].length);
            }
            index[d] = 0;
        }
        if (d == dims.size()) return;
    }
}

// Strides in bytes for the driver.
template <class T>
AxisVector<std::ptrdiff_t> byte_strides(std::span<const std::ptrdiff_t> element_strides) {
    AxisVector<std::ptrdiff_t> bytes(element_strides.begin(), element_strides.end());
    for (auto& stride : bytes) stride *= std::ptrdiff_t(sizeof(T));
    return bytes;
}

// An element function with vector kernels behind it: contiguous(out, a, b, n) for two runs,
// right(out, a, s, n) and left(out, s, b, n) for a run against one repeated element.
template <class F>
concept HasRunKernels = requires { &F::contiguous; &F::right; &F::left; };

// One run of a two-operand element function; contiguous and broadcast-scalar runs get their own
// tight loops (the vector kernels, where the function has them).
template <class Out, class A, class B, class F>
void binary_run(Pointers<3> p, const StepBytes<3>& step, std::size_t n, F f) {
    auto* out = reinterpret_cast<Out*>(p[0]);
    const auto* a = reinterpret_cast<const A*>(p[1]);
    const auto* b = reinterpret_cast<const B*>(p[2]);
    const std::ptrdiff_t so = step[0] / std::ptrdiff_t(sizeof(Out));
    const std::ptrdiff_t sa = step[1] / std::ptrdiff_t(sizeof(A));
    const std::ptrdiff_t sb = step[2] / std::ptrdiff_t(sizeof(B));
    if (so == 1 && sa == 1 && sb == 1) {
        if constexpr (HasRunKernels<F>) {
            f.contiguous(out, a, b, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i], b[i]);
        }
    } else if (so == 1 && sa == 0 && sb == 1) {
        const A x = *a;
        if constexpr (HasRunKernels<F>) {
            f.left(out, x, b, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f(x, b[i]);
        }
    } else if (so == 1 && sa == 1 && sb == 0) {
        const B y = *b;
        if constexpr (HasRunKernels<F>) {
            f.right(out, a, y, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i], y);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) {
            out[std::ptrdiff_t(i) * so] = f(a[std::ptrdiff_t(i) * sa], b[std::ptrdiff_t(i) * sb]);
        }
    }
}

template <class Out, class A, class F>
void unary_run(Pointers<2> p, const StepBytes<2>& step, std::size_t n, F f) {
    auto* out = reinterpret_cast<Out*>(p[0]);
    const auto* a = reinterpret_cast<const A*>(p[1]);
    const std::ptrdiff_t so = step[0] / std::ptrdiff_t(sizeof(Out));
    const std::ptrdiff_t sa = step[1] / std::ptrdiff_t(sizeof(A));
    if (so == 1 && sa == 1) {
        if constexpr (requires { f.contiguous(out, a, n); }) {
            f.contiguous(out, a, n);
        } else {
            for (std::size_t i = 0; i < n; ++i) out[i] = f(a[i]);
        }
    } else {
        for (std::size_t i = 0; i < n; ++i) out[std::ptrdiff_t(i) * so] = f(a[std::ptrdiff_t(i) * sa]);
    }
}

}  // namespace engine::cpu
