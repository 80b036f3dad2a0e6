#pragma once
// The per-thread tape: the recorded backward operators and one gradient slot per node. A node's
// id is its index; every node's inputs have smaller ids. The tape is never locked: each thread
// has its own, behind a borrow flag that catches overlapping use on one thread.

#include <cstddef>
#include <memory>
#include <optional>
#include <type_traits>
#include <vector>

#include "autograd/gradient_slot.hpp"
#include "autograd/node_arena.hpp"
#include "autograd/ops.hpp"
#include "tensor/core/tensor.hpp"

namespace autograd::graph {

using ops::BackwardOp;
using ops::NodePtr;
using tensor::storage::SharedStorage;

class Tape {
    NodeArena arena_;  // outlives the nodes, which are destroyed first

  public:
    std::vector<NodePtr> nodes;
    // The gradient slots. A gradient is immutable like every storage, so a lookup hands out
    // another reference to it instead of a copy.
    std::vector<GradientSlot> grads;

    // Records the node make() returns, built in its place in the arena; returns its id.
    template <class Make>
    std::size_t push_node(Make make) {
        using Node = decltype(make());
        static_assert(std::is_base_of_v<BackwardOp, Node> && alignof(Node) <= NodeArena::alignment);
        return push(NodePtr(::new (arena_.allocate(sizeof(Node))) Node(make())));
    }
    std::size_t register_leaf();
    // The tensor's id, or a new leaf's id for an untracked tensor (which stays untracked).
    std::size_t id_or_leaf(const tensor::core::Tensor& tensor);
    // Replaces slot index, lengthening the slots when needed; never accumulates.
    void set_grad(std::size_t index, GradientSlot gradient);
    // Slot index, or an empty slot beyond the tape.
    GradientSlot lookup_grad(std::size_t index) const;
    void clear();

  private:
    std::size_t push(NodePtr node);
};

// Exclusive hold of the calling thread's tape for the duration of one call.
// The thread's tape is found once per hold: the release goes through the pointer kept.
class TapeMut {
  public:
    TapeMut();
    ~TapeMut() { *borrow_ = 0; }
    TapeMut(const TapeMut&) = delete;
    TapeMut& operator=(const TapeMut&) = delete;
    Tape* operator->() const { return tape_; }
    Tape& operator*() const { return *tape_; }

  private:
    Tape* tape_;
    int* borrow_;
};

// Shared hold of the calling thread's tape.
class TapeRef {
  public:
    TapeRef();
    ~TapeRef() { --*borrow_; }
    TapeRef(const TapeRef&) = delete;
    TapeRef& operator=(const TapeRef&) = delete;
    const Tape* operator->() const { return tape_; }

  private:
    const Tape* tape_;
    int* borrow_;
};

}  // namespace autograd::graph
