#pragma once
// The per-thread tape: the recorded backward operators and one gradient slot per node. A node's
// id is its index; every node's inputs have smaller ids. The tape is never locked: each thread
// has its own, behind a borrow flag that catches overlapping use on one thread.

#include <cstddef>
#include <memory>
#include <optional>
#include <vector>

#include "autograd/gradient_slot.hpp"
#include "autograd/ops.hpp"
#include "tensor/core/tensor.hpp"

namespace autograd::graph {

using ops::BackwardOp;
using tensor::storage::SharedStorage;

class Tape {
  public:
    std::vector<std::unique_ptr<BackwardOp>> nodes;
    // The gradient slots. A gradient is immutable like every storage, so a lookup hands out
    // another reference to it instead of a copy.
    std::vector<GradientSlot> grads;

    std::size_t push_node(std::unique_ptr<BackwardOp> node);
    std::size_t register_leaf();
    // The tensor's id, or a new leaf's id for an untracked tensor (which stays untracked).
    std::size_t id_or_leaf(const tensor::core::Tensor& tensor);
    // Replaces slot index, lengthening the slots when needed; never accumulates.
    void set_grad(std::size_t index, GradientSlot gradient);
    // Slot index, or an empty slot beyond the tape.
    GradientSlot lookup_grad(std::size_t index) const;
    void clear();
};

// Exclusive hold of the calling thread's tape for the duration of one call.
class TapeMut {
  public:
    TapeMut();
    ~TapeMut();
    TapeMut(const TapeMut&) = delete;
    TapeMut& operator=(const TapeMut&) = delete;
    Tape* operator->() const { return tape_; }
    Tape& operator*() const { return *tape_; }

  private:
    Tape* tape_;
};

// Shared hold of the calling thread's tape.
class TapeRef {
  public:
    TapeRef();
    ~TapeRef();
    TapeRef(const TapeRef&) = delete;
    TapeRef& operator=(const TapeRef&) = delete;
    const Tape* operator->() const { return tape_; }

  private:
    const Tape* tape_;
};

}  // namespace autograd::graph
