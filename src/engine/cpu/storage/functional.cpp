// The activation of storages: relu.
#include "engine/cpu/map.hpp"
#include "engine/cpu/numeric/ops/kernel_bound.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace engine::cpu::storage {

// Each element greater than zero passes; everything else (negatives, both zeros, NaN) becomes +0.
CpuStorage::Result CpuStorage::relu() const {
    return std::visit(
        [](const auto& x) -> Result {
            using T = element_of<decltype(x)>;
            if constexpr (is_numeric<T>) {
                return CpuStorage(
                    map_elements<T>(x, numeric::ops::OnItself<numeric::WherePositive, T>{}));
            } else {
                return std::unexpected(
                    runtime::Error::type("Tensor Dtype not supported for this operation: relu"));
            }
        },
        array_);
}

}  // namespace engine::cpu::storage
