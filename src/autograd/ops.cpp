// The gradient rule of every node kind. Contributions are never reduced to their input's shape:
// accumulation broadcasts instead.
#include "autograd/context.hpp"
#include "autograd/ops.hpp"
#include "runtime/text.hpp"

namespace autograd::ops {
namespace {

using tensor::storage::CpuStorage;

using tensor::storage::share;

Status accumulate(AutogradContext& context, std::size_t id, runtime::Result<CpuStorage>&& contribution) {
    if (!contribution) return std::unexpected(std::move(contribution.error()));
    return context.accumulate(id, share(std::move(*contribution)));
}

// g times factor to input id. A gradient is immutable, so with a factor of 1 the input shares g
// itself: the same values a product by 1 would give, since a gradient never holds a signalling
// NaN (the seed is ones, and every other gradient is an arithmetic result or a selection of one).
Status pass_through(AutogradContext& context, std::size_t id, const SharedStorage& g,
                    float factor) {
    if (factor == 1.0f) return context.accumulate(id, g);
    return accumulate(context, id, g->cpu().scalar_mul(factor));
}

using Wanted = ::engine::cpu::numeric::backward::Wanted;

Wanted wanted(const AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id) {
    return {context.wanted(lhs_id), context.wanted(rhs_id)};
}

// Accumulates the wanted ones of a pair of contributions, left first.
Status both(AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id, Wanted wanted,
            runtime::Result<std::pair<CpuStorage, CpuStorage>>&& gradients) {
    if (!gradients) return std::unexpected(std::move(gradients.error()));
    if (wanted.lhs) {
        auto status = context.accumulate(lhs_id, share(std::move(gradients->first)));
        if (!status) return status;
    }
    return wanted.rhs ? context.accumulate(rhs_id, share(std::move(gradients->second))) : Status{};
}

// Sums and differences hand g on: as it is to the left input, times rhs_factor to the right.
Status pass_to_both(AutogradContext& context, std::size_t lhs_id, std::size_t rhs_id,
                    const SharedStorage& g, float rhs_factor) {
    const Wanted want = wanted(context, lhs_id, rhs_id);
    if (want.lhs) {
        auto status = pass_through(context, lhs_id, g, 1.0f);
        if (!status) return status;
    }
    return want.rhs ? pass_through(context, rhs_id, g, rhs_factor) : Status{};
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
    if constexpr (op == SavedBinary::Mul) {
        return both(context, lhs_id, rhs_id, want, saved.backward_mul(g->cpu(), rhs->cpu(), want));
    } else if constexpr (op == SavedBinary::Div) {
        return both(context, lhs_id, rhs_id, want, saved.backward_div(g->cpu(), rhs->cpu()));
    } else {
        return both(context, lhs_id, rhs_id, want,
                    saved.backward_matmul(g->cpu(), rhs->cpu(), want));
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

// Swapping the same two axes again restores the input's axis order. The axes were saved before
// the forward step checked them, so a gradient reaching a node whose forward step failed may
// have fewer axes: that is an error of the pass, not a broken invariant.
Status TransposeNode::backward(AutogradContext& context, const SharedStorage& g) const {
    const std::size_t rank = g->cpu().shape().size();
    for (std::size_t axis : {dim0, dim1}) {
        if (axis >= rank) {
            return std::unexpected(runtime::Error::runtime(runtime::concat(
                "index out of bounds: the len is ", rank, " but the index is ", axis)));
        }
    }
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
