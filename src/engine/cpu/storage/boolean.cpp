// Logical operations of bool storages.
#include "engine/cpu/boolean/ops/logical.hpp"
#include "engine/cpu/storage/dispatch.hpp"

namespace engine::cpu::storage {
namespace {

template <class Kernel>
CpuStorage::Result logical(const CpuStorage& a, const CpuStorage& b, Kernel kernel) {
    if (a.dtype() != DType::Bool || b.dtype() != DType::Bool) {
        return std::unexpected(
            runtime::Error::runtime("Logical operations are only supported for Bool data types."));
    }
    return storage_result(kernel(same_type<bool>(a), same_type<bool>(b)));
}

}  // namespace

CpuStorage::Result CpuStorage::logical_and(const CpuStorage& other) const {
    return logical(*this, other, boolean::ops::logical_and);
}
CpuStorage::Result CpuStorage::logical_or(const CpuStorage& other) const {
    return logical(*this, other, boolean::ops::logical_or);
}
CpuStorage::Result CpuStorage::logical_xor(const CpuStorage& other) const {
    return logical(*this, other, boolean::ops::logical_xor);
}

}  // namespace engine::cpu::storage
