#pragma once
// The core tensor record. node_id is present exactly when requires_grad is true; it indexes the
// tape of the thread that recorded the tensor and is never rewritten.

#include <cstddef>
#include <optional>

#include "tensor/storage/storage.hpp"

namespace tensor::core {

struct Tensor {
    std::optional<std::size_t> node_id;
    storage::SharedStorage storage;
    bool requires_grad = false;

    const storage::CpuStorage& cpu() const { return storage->cpu(); }
};

}  // namespace tensor::core
