#pragma once
// Classifying how an array's elements lie in memory.

#include <algorithm>
#include <cstddef>
#include <numeric>
#include <span>

#include "engine/cpu/axis_vector.hpp"

namespace engine::cpu {

// Row-major contiguous: some axis is empty, or every axis longer than 1 has the stride of a
// freshly built row-major array.
inline bool is_row_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    std::ptrdiff_t expected = 1;
    bool contiguous = true;
    for (std::size_t axis = shape.size(); axis-- > 0;) {
        if (shape[axis] == 0) return true;
        if (shape[axis] != 1 && strides[axis] != expected) contiguous = false;
        expected *= std::ptrdiff_t(shape[axis]);
    }
    return contiguous;
}

// The mirror image: the first axis is the fastest.
inline bool is_col_major(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    std::ptrdiff_t expected = 1;
    bool contiguous = true;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (shape[axis] == 0) return true;
        if (shape[axis] != 1 && strides[axis] != expected) contiguous = false;
        expected *= std::ptrdiff_t(shape[axis]);
    }
    return contiguous;
}

// The elements fill one gap-free block of memory in some order of the axes (axes of length 1
// may carry any stride). An empty array counts as such a block.
inline bool is_dense_block(std::span<const std::size_t> shape, std::span<const std::ptrdiff_t> strides) {
    AxisVector<std::size_t> axes;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (shape[axis] == 0) return true;
        if (shape[axis] != 1) axes.push_back(axis);
    }
    std::sort(axes.begin(), axes.end(),
              [&](std::size_t x, std::size_t y) { return strides[x] < strides[y]; });
    std::ptrdiff_t expected = 1;
    for (std::size_t axis : axes) {
        if (strides[axis] != expected) return false;
        expected *= std::ptrdiff_t(shape[axis]);
    }
    return true;
}

// Where an element-wise result of two broadcast views goes: true for column-major. Each view is
// scored by its layout (row-major +2, leaning row-major +1, leaning column-major -1,
// column-major -2, one-dimensional or none 0).
inline bool output_is_column_major(std::span<const std::size_t> shape,
                                   std::span<const std::ptrdiff_t> a_strides,
                                   std::span<const std::ptrdiff_t> b_strides) {
    struct Class {
        bool row, col;
        int score;
    };
    const std::size_t rank = shape.size();
    auto classify = [&](std::span<const std::ptrdiff_t> strides) -> Class {
        const bool row = is_row_major(shape, strides);
        std::size_t long_axes = 0;
        for (std::size_t length : shape) long_axes += length > 1;
        if (row && (rank <= 1 || long_axes <= 1)) return {true, true, 0};
        if (row) return {true, false, 2};
        if (rank >= 2 && is_col_major(shape, strides)) return {false, true, -2};
        if (rank >= 2 && shape[0] > 1 && strides[0] == 1) return {false, false, -1};
        if (rank >= 2 && shape[rank - 1] > 1 && strides[rank - 1] == 1) return {false, false, 1};
        return {false, false, 0};
    };
    const Class a = classify(a_strides), b = classify(b_strides);
    if (a.row && b.row) return false;
    return (a.col && b.col) || a.score + b.score < 0;
}

// Column-major strides for a shape; all 0 when an axis has length 0.
inline AxisVector<std::ptrdiff_t> col_major_strides(std::span<const std::size_t> shape) {
    AxisVector<std::ptrdiff_t> strides(shape.size(), 0);
    std::size_t count = 1;
    for (std::size_t length : shape) count *= length;
    if (count == 0) return strides;
    std::ptrdiff_t step = 1;
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        strides[axis] = step;
        step *= std::ptrdiff_t(shape[axis]);
    }
    return strides;
}

}  // namespace engine::cpu
