#pragma once
// The backward operators: one node kind per recorded operation, each saving what its gradient
// rule needs. Saved storages are shared handles; no elements are copied at recording time.

#include <cstddef>
#include <memory>

#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"
#include "tensor/storage/storage.hpp"

namespace autograd::context {
class AutogradContext;
}

namespace autograd::ops {

using context::AutogradContext;
using tensor::storage::SharedStorage;
using Status = runtime::Result<void>;

class BackwardOp {
  public:
    virtual ~BackwardOp() = default;
    // Set on the leaf registered for an operand that requires no gradient: no tensor holds its
    // id, so nothing reads its gradient and a pass need not compute it.
    bool gradient_unread = false;
    // Adds the gradients of the node's inputs into the context, given the gradient g of its output.
    virtual Status backward(AutogradContext& context, const SharedStorage& g) const = 0;
};

// A recorded node. Its tape's arena holds the memory, so dropping it only runs the destructor.
struct DestroyNode {
    void operator()(BackwardOp* node) const noexcept { node->~BackwardOp(); }
};
using NodePtr = std::unique_ptr<BackwardOp, DestroyNode>;

struct LeafNode final : BackwardOp {
    Status backward(AutogradContext&, const SharedStorage&) const override { return {}; }
};

struct AddNode final : BackwardOp {
    std::size_t lhs_id, rhs_id;
    AddNode(std::size_t l, std::size_t r) : lhs_id(l), rhs_id(r) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};

struct SubNode final : BackwardOp {
    std::size_t lhs_id, rhs_id;
    SubNode(std::size_t l, std::size_t r) : lhs_id(l), rhs_id(r) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};

// The three nodes that keep both operands' storages share one shape.
enum class SavedBinary { Mul, Div, Matmul };

template <SavedBinary op>
struct SavingBinaryNode final : BackwardOp {
    SharedStorage lhs, rhs;
    std::size_t lhs_id, rhs_id;
    SavingBinaryNode(SharedStorage l, SharedStorage r, std::size_t li, std::size_t ri)
        : lhs(std::move(l)), rhs(std::move(r)), lhs_id(li), rhs_id(ri) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};
using MulNode = SavingBinaryNode<SavedBinary::Mul>;
using DivNode = SavingBinaryNode<SavedBinary::Div>;
using MatmulNode = SavingBinaryNode<SavedBinary::Matmul>;
extern template struct SavingBinaryNode<SavedBinary::Mul>;
extern template struct SavingBinaryNode<SavedBinary::Div>;
extern template struct SavingBinaryNode<SavedBinary::Matmul>;

struct ReluNode final : BackwardOp {
    SharedStorage input;
    std::size_t input_id;
    ReluNode(SharedStorage i, std::size_t id) : input(std::move(i)), input_id(id) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};

struct ReshapeNode final : BackwardOp {
    ::engine::cpu::Shape saved_shape;
    std::size_t input_id;
    ReshapeNode(::engine::cpu::Shape s, std::size_t id) : saved_shape(std::move(s)), input_id(id) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};

struct TransposeNode final : BackwardOp {
    std::size_t input_id, dim0, dim1;
    TransposeNode(std::size_t id, std::size_t d0, std::size_t d1)
        : input_id(id), dim0(d0), dim1(d1) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};

// The four scalar nodes; for ScalarDivNode the scalar is the reciprocal of the divisor.
enum class ScalarKind { Add, Sub, Mul, Div };

template <ScalarKind kind>
struct ScalarNode final : BackwardOp {
    std::size_t input_id;
    float scalar;
    ScalarNode(std::size_t id, float s) : input_id(id), scalar(s) {}
    Status backward(AutogradContext& context, const SharedStorage& g) const override;
};
using ScalarAddNode = ScalarNode<ScalarKind::Add>;
using ScalarSubNode = ScalarNode<ScalarKind::Sub>;
using ScalarMulNode = ScalarNode<ScalarKind::Mul>;
using ScalarDivNode = ScalarNode<ScalarKind::Div>;
extern template struct ScalarNode<ScalarKind::Add>;
extern template struct ScalarNode<ScalarKind::Sub>;
extern template struct ScalarNode<ScalarKind::Mul>;
extern template struct ScalarNode<ScalarKind::Div>;

}  // namespace autograd::ops
