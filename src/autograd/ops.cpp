// The gradient rule of every node kind. Contributions are never reduced to their input's shape:
// accumulation broadcasts instead.
#include "autograd/context.hpp"
#include "autograd/ops.hpp"

namespace autograd::ops {
namespace {

using tensor::storage::CpuStorage;

using tensor::storage::share;

Status accumulate(AutogradContext& context, std::size_t id, runtime::Result<CpuStorage>&& contribution) {
    if (!contribution) return std::unexpected(std::move(contribution.error()));
    return context.accumulate(id, share(std::move(*contribution)));
}

// g times factor to input id. A product by 1 would copy g with its element type, values and
// layout, so the input shares g instead: a gradient is immutable, and never holds a signalling
// NaN (the seed is ones, and every other gradient is an arithmetic result or a selection of one).
// A bool g cannot be multiplied, and fails here as the product would.
Status pass_through(AutogradContext& context, std::size_t id, const SharedStorage& g,
                    float factor) {
    const CpuStorage& grad = g->cpu();
    if (grad.dtype() == tensor::storage::DType::Bool) {
        return accumulate(context, id, grad.scalar_mul(factor));  // the product's own error
    }
    if (factor == 1.0f) return context.accumulate(id, g);
    if (!context.wanted(id)) {
        return context.accumulate(
            id, DeferredGradient([g, factor] { return g->cpu().scalar_mul(factor); }));
    }
    return accumulate(context, id, grad.scalar_mul(factor));
}

using Wanted = ::engine::cpu::numeric::backward::Wanted;
using Pair = runtime::Result<std::pair<CpuStorage, CpuStorage>>;

Wanted wanted(const AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id) {
    return {context.wanted(lhs_id), context.wanted(rhs_id)};
}

// Accumulates a pair of contributions, left first; one that is not wanted is accumulated put off,
// as later(left) computes it (whatever the kernel gave in its place is dropped).
template <class Later>
Status both(AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id, Wanted wanted,
            Pair&& gradients, Later later) {
    if (!gradients) return std::unexpected(std::move(gradients.error()));
    auto give = [&](std::size_t id, bool computed, CpuStorage&& gradient, bool left) {
        if (computed) return context.accumulate(id, share(std::move(gradient)));
        return context.accumulate(id, DeferredGradient(later(left)));
    };
    auto status = give(lhs_id, wanted.lhs, std::move(gradients->first), true);
    if (!status) return status;
    return give(rhs_id, wanted.rhs, std::move(gradients->second), false);
}

// Sums and differences hand g on: as it is to the left input, times rhs_factor to the right.
Status pass_to_both(AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id,
                    const SharedStorage& g, float rhs_factor) {
    auto status = pass_through(context, lhs_id, g, 1.0f);
    if (!status) return status;
    return pass_through(context, rhs_id, g, rhs_factor);
}

}  // namespace

Status AddNode::backward(AutogradContext& context, const SharedStorage& g) const {
    return pass_to_both(context, lhs_id, rhs_id, g, 1.0f);
}

Status SubNode::backward(AutogradContext& context, const SharedStorage& g) const {
    return pass_to_both(context, lhs_id, rhs_id, g, -1.0f);
}

template <SavedBinary op>
Status SavingBinaryNode<op>::backward(AutogradContext& context, const SharedStorage& g) const {
    const CpuStorage& saved = lhs->cpu();
    const Wanted want = wanted(context, lhs_id, rhs_id);
    // One of the pair computed again when it is read: (dA, dB) = kernel(A, g, B, left).
    auto again = [&](bool left, auto kernel) {
        return [g, a = lhs, b = rhs, left, kernel]() -> runtime::Result<CpuStorage> {
            auto pair = kernel(a->cpu(), g->cpu(), b->cpu(), left);
            if (!pair) return std::unexpected(std::move(pair.error()));
            return std::move(left ? pair->first : pair->second);
        };
    };
    if constexpr (op == SavedBinary::Mul) {
        // dA = g * B, dB = g * A
        auto later = [&](bool left) {
            return [g, other = left ? rhs : lhs] { return g->cpu().mul(other->cpu()); };
        };
        return both(context, lhs_id, rhs_id, want, saved.backward_mul(g->cpu(), rhs->cpu(), want),
                    later);
    } else if constexpr (op == SavedBinary::Div) {
        // The quotient's kernel computes both gradients in one pass; one that is not wanted is
        // not kept, but computed again if it is read.
        auto later = [&](bool left) {
            return again(left, [](const CpuStorage& a, const CpuStorage& grad, const CpuStorage& b,
                                  bool) { return a.backward_div(grad, b); });
        };
        return both(context, lhs_id, rhs_id, want, saved.backward_div(g->cpu(), rhs->cpu()), later);
    } else {
        auto later = [&](bool left) {
            return again(left, [](const CpuStorage& a, const CpuStorage& grad, const CpuStorage& b,
                                  bool on_left) {
                return a.backward_matmul(grad, b, Wanted{on_left, !on_left});
            });
        };
        return both(context, lhs_id, rhs_id, want,
                    saved.backward_matmul(g->cpu(), rhs->cpu(), want), later);
    }
}

template struct SavingBinaryNode<SavedBinary::Mul>;
template struct SavingBinaryNode<SavedBinary::Div>;
template struct SavingBinaryNode<SavedBinary::Matmul>;

Status ReluNode::backward(AutogradContext& context, const SharedStorage& g) const {
    return accumulate(context, input_id, input->cpu().backward_relu(g->cpu()));
}

Status ReshapeNode::backward(AutogradContext& context, const SharedStorage& g) const {
    return accumulate(context, input_id, g->cpu().reshape(saved_shape));
}

// Swapping the same two axes again restores the input's axis order. An axis beyond the
// gradient's rank (the node's forward step failed, or a kept id brought a gradient of fewer axes)
// is the transpose's broken invariant, as in the forward step.
Status TransposeNode::backward(AutogradContext& context, const SharedStorage& g) const {
    return accumulate(context, input_id, g->cpu().transpose(dim0, dim1));
}

// Addition and subtraction of a scalar pass g on unchanged; multiplication and division (by
// the recorded reciprocal) scale it.
template <ScalarKind kind>
Status ScalarNode<kind>::backward(AutogradContext& context, const SharedStorage& g) const {
    const bool scales = kind == ScalarKind::Mul || kind == ScalarKind::Div;
    return pass_through(context, input_id, g, scales ? scalar : 1.0f);
}

template struct ScalarNode<ScalarKind::Add>;
template struct ScalarNode<ScalarKind::Sub>;
template struct ScalarNode<ScalarKind::Mul>;
template struct ScalarNode<ScalarKind::Div>;

}  // namespace autograd::ops
