#pragma once
// A gradient slot of the tape or of a pass: empty, a gradient, or a gradient put off until read.
//
// The leaf registered for an operand that requires no gradient is held by no tensor of its graph,
// so a pass does not compute that leaf's gradient; it keeps how to compute it instead, after
// making all of the computation's checks. Only a tensor kept across clear_graph() or brought from
// another thread can name that leaf, and what it reads is what computing at once would have given.

#include <functional>
#include <memory>
#include <utility>

#include "runtime/error.hpp"
#include "tensor/storage/storage.hpp"

namespace autograd {

using tensor::storage::CpuStorage;
using tensor::storage::SharedStorage;

// Computes a gradient whose checks have already been made: it fails only for lack of memory.
using DeferredGradient = std::function<runtime::Result<CpuStorage>()>;

class GradientSlot {
public:
    GradientSlot() = default;
    GradientSlot(SharedStorage gradient)
        : gradient_(std::move(gradient)) {}  // NOLINT: a gradient is a filled slot
    GradientSlot(DeferredGradient deferred)  // NOLINT: so is one put off
        : deferred_(std::make_shared<const DeferredGradient>(std::move(deferred))) {}

    explicit operator bool() const { return gradient_ || deferred_; }
    bool deferred() const { return !gradient_ && deferred_; }

    // The gradient, computed now when it was put off (the slot keeps it put off).
    runtime::Result<SharedStorage> get() const {
        if (gradient_ || !deferred_) return gradient_;
        auto computed = (*deferred_)();
        if (!computed) return std::unexpected(std::move(computed.error()));
        return tensor::storage::share(std::move(*computed));
    }

    // The gradient of a slot that is not put off, moved out.
    SharedStorage take() { return std::move(gradient_); }

private:
    SharedStorage gradient_;
    std::shared_ptr<const DeferredGradient> deferred_;
};

}  // namespace autograd
