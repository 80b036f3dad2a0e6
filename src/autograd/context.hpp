#pragma once
// The per-pass gradient store: one optional gradient per node id, for one backward pass.

#include <optional>
#include <vector>

#include "runtime/error.hpp"
#include "tensor/storage/storage.hpp"

namespace autograd::context {

using tensor::storage::Storage;

class AutogradContext {
  public:
    explicit AutogradContext(std::size_t slots) : grads(slots), input_limit(slots) {}

    std::vector<std::optional<Storage>> grads;
    // Contributions go only to ids below this: the pass sets it to the id of the node it runs,
    // whose genuine inputs all have smaller ids. A larger id is one a tensor kept from before a
    // clear_graph() or brought from another thread, and names no input of that node.
    std::size_t input_limit;

    // Adds a contribution into slot id, broadcasting; on error the slot keeps its gradient.
    runtime::Result<void> accumulate(std::size_t id, Storage contribution);
    // Replaces slot id, lengthening the slots when needed.
    void set_grad(std::size_t id, Storage gradient);
};

}  // namespace autograd::context
