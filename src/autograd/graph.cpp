#include "autograd/graph.hpp"

#include <memory>

#include "runtime/error.hpp"

namespace autograd::graph {
namespace {

// One tape per thread, created on first use and destroyed (with every node and the storages
// the nodes saved) when the thread ends. borrow: 0 free, -1 held exclusively, n > 0 shared.
// The cell itself needs no construction or destruction, so finding it is one thread-local
// lookup with no guard; the tape's end is registered once, with its owner.
struct TapeCell {
    Tape* tape = nullptr;
    int borrow = 0;
};
constinit thread_local TapeCell TAPE;

struct TapeOwner {
    std::unique_ptr<Tape> tape;
    ~TapeOwner() {
        TAPE.tape = nullptr;
        tape.reset();
    }
};

[[gnu::noinline]] void make_tape(TapeCell& cell) {
    static thread_local TapeOwner owner;
    owner.tape = std::make_unique<Tape>();
    cell.tape = owner.tape.get();
}

// The calling thread's cell. In a shared library each read of a thread_local's address is a
// call, which the compiler would repeat after the first use's call to make_tape.
TapeCell& tape_cell() {
    TapeCell* cell = &TAPE;
    asm("" : "+r"(cell));
    if (cell->tape == nullptr) [[unlikely]]
        make_tape(*cell);
    return *cell;
}

}  // namespace

// The new node's slot is at its own index and empty, whatever the slots held before: a fresh
// node never inherits a gradient.
std::size_t Tape::push(NodePtr node) {
    const std::size_t id = nodes.size();
    nodes.push_back(std::move(node));
    if (id < grads.size()) {
        grads[id] = {};
        return id;
    }
    try {
        grads.emplace_back();  // the slots are never fewer than the nodes
    } catch (...) {
        nodes.pop_back();  // both lists grow in one step or neither does
        throw;
    }
    return id;
}

std::size_t Tape::register_leaf() {
    return push_node([] { return ops::LeafNode(); });
}

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
    arena_.reset();
}

TapeMut::TapeMut() {
    TapeCell& cell = tape_cell();
    if (cell.borrow != 0) throw runtime::InternalFailure("the autograd tape is already in use");
    cell.borrow = -1;
    tape_ = cell.tape;
    borrow_ = &cell.borrow;
}

TapeRef::TapeRef() {
    TapeCell& cell = tape_cell();
    if (cell.borrow < 0) throw runtime::InternalFailure("the autograd tape is already in use");
    ++cell.borrow;
    tape_ = cell.tape;
    borrow_ = &cell.borrow;
}

}  // namespace autograd::graph
