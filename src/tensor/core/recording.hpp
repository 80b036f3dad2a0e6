#pragma once
// Recording on the calling thread's tape, shared by the tensor operations and relu.

#include <memory>
#include <optional>

#include "autograd/graph.hpp"
#include "tensor/core/tensor.hpp"

namespace tensor::core {

using runtime::Result;
using storage::CpuStorage;

// A result tensor around a freshly computed storage.
inline Result<Tensor> make_result(Result<CpuStorage>&& computed, std::optional<std::size_t> id) {
    if (!computed) return std::unexpected(std::move(computed.error()));
    return Tensor{id, storage::share(std::move(*computed)), id.has_value()};
}

// One tensor operand: make_node(input_id) returns the node, which is built in its place on the
// tape. Records only when the operand requires gradients; then computes.
template <class MakeNode, class Compute>
Result<Tensor> recorded_unary(const Tensor& a, MakeNode make_node, Compute compute) {
    std::optional<std::size_t> id;
    if (a.requires_grad) {
        autograd::graph::TapeMut tape;
        const std::size_t input = tape->id_or_leaf(a);
        id = tape->push_node([&] { return make_node(input); });
    }
    return make_result(compute(), id);
}

// Two tensor operands: the left operand's leaf, if one is needed, gets the smaller id.
template <class MakeNode, class Compute>
Result<Tensor> recorded_binary(const Tensor& a, const Tensor& b, MakeNode make_node, Compute compute) {
    std::optional<std::size_t> id;
    if (a.requires_grad || b.requires_grad) {
        autograd::graph::TapeMut tape;
        const std::size_t lhs = tape->id_or_leaf(a);
        const std::size_t rhs = tape->id_or_leaf(b);
        id = tape->push_node([&] { return make_node(lhs, rhs); });
    }
    return make_result(compute(), id);
}

}  // namespace tensor::core
