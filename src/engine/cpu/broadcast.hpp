#pragma once
// The engine's one broadcasting rule, beside the element-wise driver that walks its views.
// broadcast_shapes combines two shapes; broadcast_tensors describes two arrays of any element type
// over their common shape as read-only views, with stride 0 on repeated axes. No element is ever
// copied. The numeric and the bool kernels name it as their own (numeric/ops/broadcast.hpp).

#include <span>
#include <string_view>
#include <utility>

#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"
#include "runtime/text.hpp"

namespace engine::cpu {

using runtime::KernelResult;

// A non-owning, read-only view over an operand; it must not outlive the operand.
template <class T>
struct BroadcastView {
    const T* data;
    Shape shape;
    Strides strides;
};

inline std::string shape_text(std::span<const std::size_t> shape) {
    return runtime::shape_text(shape);
}

inline KernelResult<Shape> broadcast_shapes(std::span<const std::size_t> a,
                                            std::span<const std::size_t> b) {
    const std::size_t rank = std::max(a.size(), b.size());
    Shape common(rank);
    for (std::size_t j = 0; j < rank; ++j) {
        const std::size_t x = j < a.size() ? a[a.size() - 1 - j] : 1;
        const std::size_t y = j < b.size() ? b[b.size() - 1 - j] : 1;
        if (x == y || y == 1) {
            common[rank - 1 - j] = x;
        } else if (x == 1) {
            common[rank - 1 - j] = y;
        } else {
            return std::unexpected(runtime::concat("Shape mismatch: cannot broadcast ",
                                                   shape_text(a), " and ", shape_text(b)));
        }
    }
    return common;
}

// The strides of an array seen at a target shape, or nothing when it cannot be expanded (or the
// target's element count exceeds the largest signed machine word).
inline std::optional<Strides> broadcast_strides(std::span<const std::size_t> shape,
                                                std::span<const std::ptrdiff_t> strides,
                                                std::span<const std::size_t> target) {
    if (!checked_element_count(target) || target.size() < shape.size()) return std::nullopt;
    const std::size_t lead = target.size() - shape.size();
    Strides out(target.size(), 0);
    for (std::size_t axis = 0; axis < shape.size(); ++axis) {
        if (target[lead + axis] == shape[axis]) {
            out[lead + axis] = strides[axis];
        } else if (shape[axis] != 1) {
            return std::nullopt;
        }
    }
    return out;
}

// The strides of an operand stretched to `target`, or the message naming it as `who`.
inline KernelResult<Strides> strides_at(std::string_view who, std::span<const std::size_t> shape,
                                        std::span<const std::ptrdiff_t> strides,
                                        std::span<const std::size_t> target) {
    auto expanded = broadcast_strides(shape, strides, target);
    if (!expanded) {
        return std::unexpected(runtime::concat("Broadcast failed for ", who, ": ",
                                               shape_text(shape), " -> ", shape_text(target)));
    }
    return std::move(*expanded);
}

template <class T>
KernelResult<std::pair<BroadcastView<T>, BroadcastView<T>>> broadcast_tensors(
    const StridedArray<T>& a, const StridedArray<T>& b) {
    auto common = broadcast_shapes(a.shape, b.shape);
    if (!common) return std::unexpected(std::move(common.error()));
    auto sa = strides_at("A", a.shape, a.strides, *common);
    if (!sa) return std::unexpected(std::move(sa.error()));
    auto sb = strides_at("B", b.shape, b.strides, *common);
    if (!sb) return std::unexpected(std::move(sb.error()));
    return std::pair{BroadcastView<T>{a.data(), *common, std::move(*sa)},
                     BroadcastView<T>{b.data(), *common, std::move(*sb)}};
}

}  // namespace engine::cpu
