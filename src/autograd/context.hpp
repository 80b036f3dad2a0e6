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
    explicit AutogradContext(std::size_t slots) : grads(slots) {}

    std::vector<std::optional<Storage>> grads;

    // Adds a contribution into slot id, broadcasting; on error the slot keeps its gradient.
    runtime::Result<void> accumulate(std::size_t id, Storage contribution);
    // Replaces slot id, lengthening the slots when needed.
    void set_grad(std::size_t id, Storage gradient);
};

}  // namespace autograd::context
