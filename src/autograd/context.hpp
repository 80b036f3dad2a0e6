#pragma once
// The per-pass gradient store: one optional gradient per node id, for one backward pass.

#include <memory>
#include <span>
#include <vector>

#include "autograd/ops.hpp"
#include "runtime/error.hpp"
#include "tensor/storage/storage.hpp"

namespace autograd::context {

using tensor::storage::SharedStorage;

class AutogradContext {
  public:
    // One slot per node of the tape the pass walks.
    explicit AutogradContext(std::span<const std::unique_ptr<ops::BackwardOp>> nodes)
        : grads(nodes.size()), input_limit(nodes.size()), nodes_(nodes) {}

    std::vector<SharedStorage> grads;  // null is an empty slot
    // Contributions go only to ids below this: the pass sets it to the id of the node it runs,
    // whose genuine inputs all have smaller ids. A larger id is one a tensor kept from before a
    // clear_graph() or brought from another thread, and names no input of that node.
    std::size_t input_limit;

    // Adds a contribution into slot id, broadcasting; on error the slot keeps its gradient.
    runtime::Result<void> accumulate(std::size_t id, SharedStorage contribution);
    // Replaces slot id, lengthening the slots when needed.
    void set_grad(std::size_t id, SharedStorage gradient);
    // Whether a contribution to id is read by anyone: false only for the leaf of an operand that
    // requires no gradient. An id the pass would refuse counts as wanted, so that it is refused.
    bool wanted(std::size_t id) const {
        return id >= input_limit || !nodes_[id]->gradient_unread;
    }

  private:
    std::span<const std::unique_ptr<ops::BackwardOp>> nodes_;
};

}  // namespace autograd::context
