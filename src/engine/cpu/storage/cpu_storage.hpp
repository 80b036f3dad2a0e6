#pragma once
// CpuStorage: one alternative per element type, in DType order; the alternative is the element
// type. Storages are immutable once built: every operation returns a new one.

#include <Python.h>

#include <string_view>
#include <variant>

#include "engine/cpu/numeric/core/float16.hpp"
#include "engine/cpu/strided_array.hpp"
#include "runtime/error.hpp"
#include "tensor/storage/dtype.hpp"

namespace engine::cpu::storage {

using numeric::bfloat16;
using numeric::float16;
using tensor::storage::DType;

class CpuStorage {
  public:
    using Variant = std::variant<StridedArray<float16>, StridedArray<bfloat16>,
                                 StridedArray<float>, StridedArray<bool>>;

    template <class T>
    explicit CpuStorage(StridedArray<T> array) : array_(std::move(array)) {}

    CpuStorage(CpuStorage&&) noexcept = default;
    CpuStorage& operator=(CpuStorage&&) noexcept = default;
    CpuStorage clone() const {
        return std::visit([](const auto& array) { return CpuStorage(array.clone()); }, array_);
    }

    DType dtype() const { return DType(array_.index()); }
    const Variant& array() const { return array_; }

    Shape shape() const {
        return std::visit([](const auto& array) { return array.shape; }, array_);
    }
    Strides strides() const {
        return std::visit([](const auto& array) { return array.strides; }, array_);
    }
    std::size_t rank() const {
        return std::visit([](const auto& array) { return array.rank(); }, array_);
    }

    // Builds a storage from a NumPy array and one of the seven dtype spellings, copying the
    // elements row-major into a new buffer. The storage never shares memory with the array.
    static runtime::Result<CpuStorage> from_numpy(PyObject* array, std::string_view spelling);

  private:
    Variant array_;
};

}  // namespace engine::cpu::storage
