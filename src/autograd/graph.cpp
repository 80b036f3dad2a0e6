#include "autograd/graph.hpp"

#include "runtime/error.hpp"

namespace autograd::graph {
namespace {

// One tape per thread, created on first use and destroyed (with every node and the storages
// the nodes saved) when the thread ends. borrow: 0 free, -1 held exclusively, n > 0 shared.
struct TapeCell {
    Tape tape;
    int borrow = 0;
};

thread_local TapeCell TAPE;

}  // namespace

// The new node's slot is at its own index and empty, whatever the slots held before: a fresh
// node never inherits a gradient.
std::size_t Tape::push_node(std::unique_ptr<BackwardOp> node) {
    nodes.push_back(std::move(node));
    try {
        grads.resize(nodes.size());
    } catch (...) {
        nodes.pop_back();  // both lists grow in one step or neither does
        throw;
    }
    grads.back() = {};
    return nodes.size() - 1;
}

std::size_t Tape::register_leaf() { return push_node(std::make_unique<ops::LeafNode>()); }

std::size_t Tape::id_or_leaf(const tensor::core::Tensor& tensor) {
    if (tensor.node_id) return *tensor.node_id;
    const std::size_t id = register_leaf();
    nodes[id]->gradient_unread = true;
    return id;
}

void Tape::set_grad(std::size_t index, GradientSlot gradient) {
    if (index >= grads.size()) grads.resize(index + 1);
    grads[index] = std::move(gradient);
}

GradientSlot Tape::lookup_grad(std::size_t index) const {
    return index < grads.size() ? grads[index] : GradientSlot{};
}

void Tape::clear() {
    nodes.clear();
    grads.clear();
}

TapeMut::TapeMut() : tape_(&TAPE.tape) {
    if (TAPE.borrow != 0) throw runtime::InternalFailure("the autograd tape is already in use");
    TAPE.borrow = -1;
}
TapeMut::~TapeMut() { TAPE.borrow = 0; }

TapeRef::TapeRef() : tape_(&TAPE.tape) {
    if (TAPE.borrow < 0) throw runtime::InternalFailure("the autograd tape is already in use");
    ++TAPE.borrow;
}
TapeRef::~TapeRef() { --TAPE.borrow; }

}  // namespace autograd::graph
