#pragma once
// The per-pass gradient store: one optional gradient per node id, for one backward pass.

#include <memory>
#include <span>
#include <vector>

#include "autograd/gradient_slot.hpp"
#include "autograd/ops.hpp"
#include "runtime/error.hpp"
#include "tensor/storage/storage.hpp"

namespace autograd::context {

using tensor::storage::SharedStorage;

class AutogradContext {
  public:
    // One slot per node of the tape the pass walks.
    explicit AutogradContext(std::span<const ops::NodePtr> nodes)
        : grads(nodes.size()), input_limit(nodes.size()), nodes_(nodes) {}

    std::vector<GradientSlot> grads;
    // Contributions go only to ids below this: the pass sets it to the id of the node it runs,
    // whose genuine inputs all have smaller ids. A larger id is one a tensor kept from before a
    // clear_graph() or brought from another thread, and names no input of that node.
    std::size_t input_limit;

    // Adds a contribution into slot id, broadcasting; on error the slot keeps its gradient. A
    // contribution put off stays so while it is alone in its slot.
    runtime::Result<void> accumulate(std::size_t id, GradientSlot contribution);
    // Replaces slot id, lengthening the slots when needed.
    void set_grad(std::size_t id, GradientSlot gradient);
    // Whether a contribution to id is to be computed at once: false only for the leaf of an
    // operand that requires no gradient, whose contributions are put off until read. An id the
    // pass would refuse counts as wanted, so that it is refused.
    bool wanted(std::size_t id) const {
        return id >= input_limit || !nodes_[id]->gradient_unread;
    }

  private:
    std::span<const ops::NodePtr> nodes_;
};

}  // namespace autograd::context
