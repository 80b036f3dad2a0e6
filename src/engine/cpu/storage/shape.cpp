// Shape operations of storages: every element type, always a new storage.
#include "engine/cpu/numeric/ops/shape.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace engine::cpu::storage {

namespace ops = numeric::ops;

CpuStorage::Result CpuStorage::reshape(std::span<const std::size_t> new_shape) const {
    return std::visit(
        [&](const auto& x) -> Result {
            auto reshaped = ops::reshape(x, new_shape);
            if (!reshaped) {
                return std::unexpected(runtime::Error::value(
                    runtime::concat("Error while reshape: ", ops::describe(reshaped.error()))));
            }
            return Result(std::in_place, std::move(*reshaped));
        },
        array_);
}

CpuStorage CpuStorage::transpose(std::size_t dim0, std::size_t dim1) const {
    return std::visit([&](const auto& x) { return CpuStorage(ops::transpose(x, dim0, dim1)); }, array_);
}

CpuStorage CpuStorage::zeros_like() const {
    return std::visit([](const auto& x) { return CpuStorage(ops::zeros_like(x)); }, array_);
}

CpuStorage CpuStorage::ones_like() const {
    return std::visit([](const auto& x) { return CpuStorage(ops::ones_like(x)); }, array_);
}

}  // namespace engine::cpu::storage
