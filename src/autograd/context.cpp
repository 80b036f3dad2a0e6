#include "autograd/context.hpp"

namespace autograd::context {

runtime::Result<void> AutogradContext::accumulate(std::size_t id, GradientSlot contribution) {
    if (id >= input_limit) {
        return std::unexpected(runtime::Error::runtime(
            "backward() reached an input whose node is not on this thread's autograd tape (it was "
            "recorded before clear_graph(), or on another thread)"));
    }
    auto& slot = grads[id];  // input_limit never exceeds the slot count
    if (!slot) {
        slot = std::move(contribution);
        return {};
    }
    auto held = slot.get();
    if (!held) return std::unexpected(std::move(held.error()));
    auto added = contribution.get();
    if (!added) return std::unexpected(std::move(added.error()));
    auto sum = (*held)->cpu().add((*added)->cpu());
    if (!sum) return std::unexpected(std::move(sum.error()));
    slot = tensor::storage::share(std::move(*sum));
    return {};
}

void AutogradContext::set_grad(std::size_t id, GradientSlot gradient) {
    if (id >= grads.size()) grads.resize(id + 1);
    grads[id] = std::move(gradient);
}

}  // namespace autograd::context
