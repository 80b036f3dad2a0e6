#include "autograd/engine.hpp"

#include "autograd/context.hpp"
#include "autograd/graph.hpp"

namespace autograd::engine {

using tensor::storage::SharedStorage;

runtime::Result<void> backward(const tensor::core::Tensor& tensor) {
    using runtime::Error;
    if (!tensor.requires_grad) {
        return std::unexpected(Error::value("backward() called on tensor that does not require grad"));
    }
    if (!tensor.node_id) {
        return std::unexpected(Error::value("backward() called on a constant tensor with no node_id"));
    }
    const std::size_t start = *tensor.node_id;
    SharedStorage seed = tensor::storage::share(tensor.cpu().ones_like());

    graph::TapeMut tape;
    if (start >= tape->nodes.size()) {
        return std::unexpected(Error::runtime(
            "backward() called on a tensor whose node is not on this thread's autograd tape (the "
            "graph was cleared with clear_graph(), or the tensor was recorded on another thread)"));
    }
    context::AutogradContext context(tape->nodes);
    context.set_grad(start, std::move(seed));
    for (std::size_t i = start + 1; i-- > 0;) {
        if (!context.grads[i]) continue;
        const auto& node = *tape->nodes[i];
        // Only the leaf of an operand that requires no gradient gets one put off, and a leaf
        // passes nothing on.
        if (context.grads[i].deferred()) continue;
        SharedStorage g = context.grads[i].take();
        context.input_limit = i;
        auto status = node.backward(context, g);
        if (!status) return status;  // the tape's slots are untouched
        context.set_grad(i, std::move(g));
    }
    for (std::size_t id = 0; id < context.grads.size(); ++id) {
        if (context.grads[id]) tape->set_grad(id, std::move(context.grads[id]));
    }
    return {};
}

void clear_graph() { graph::TapeMut()->clear(); }

}  // namespace autograd::engine
