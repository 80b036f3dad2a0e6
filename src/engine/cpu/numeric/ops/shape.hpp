#pragma once
// Shape kernels, for every element type. Each returns a new array that owns a copy of the
// elements; reshape never moves elements, so it needs a row-major operand.

#include <expected>

#include "engine/cpu/layout.hpp"
#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"
#include "runtime/text.hpp"

namespace engine::cpu::numeric::ops {

enum class ShapeError { IncompatibleShape, IncompatibleLayout };

inline const char* describe(ShapeError error) {
    return error == ShapeError::IncompatibleShape
               ? "ShapeError/IncompatibleShape: incompatible shapes"
               : "ShapeError/IncompatibleLayout: incompatible memory layout";
}

template <class T>
std::expected<StridedArray<T>, ShapeError> reshape(const StridedArray<T>& x,
                                                   std::span<const std::size_t> new_shape) {
    auto count = checked_element_count(new_shape);
    if (!count || *count != x.numel()) return std::unexpected(ShapeError::IncompatibleShape);
    if (!is_row_major(x.shape, x.strides)) return std::unexpected(ShapeError::IncompatibleLayout);
    return std::expected<StridedArray<T>, ShapeError>(std::in_place, x.buffer.clone(), x.offset,
                                                      new_shape, *count);
}

// An axis out of range is a broken invariant, not an error value.
template <class T>
StridedArray<T> transpose(const StridedArray<T>& x, std::size_t dim0, std::size_t dim1) {
    for (std::size_t axis : {dim0, dim1}) {
        if (axis >= x.rank()) {
            throw runtime::InternalFailure(runtime::concat(
                "index out of bounds: the len is ", x.rank(), " but the index is ", axis));
        }
    }
    StridedArray<T> result = x.clone();
    std::swap(result.shape[dim0], result.shape[dim1]);
    std::swap(result.strides[dim0], result.strides[dim1]);
    return result;
}

template <class T>
constexpr T one_value() {
    if constexpr (std::is_same_v<T, float16>) return float16{0x3C00};
    else if constexpr (std::is_same_v<T, bfloat16>) return bfloat16{0x3F80};
    else return T(1);
}

template <class T>
StridedArray<T> filled_like(const StridedArray<T>& x, T value) {
    auto out = StridedArray<T>::uninitialized(x.shape);
    std::fill_n(out.data(), out.numel(), value);
    return out;
}

template <class T>
StridedArray<T> zeros_like(const StridedArray<T>& x) { return filled_like(x, T{}); }

template <class T>
StridedArray<T> ones_like(const StridedArray<T>& x) { return filled_like(x, one_value<T>()); }

}  // namespace engine::cpu::numeric::ops
