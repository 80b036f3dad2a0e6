#pragma once
// CpuStorage: one alternative per element type, in DType order; the alternative is the element
// type. Storages are immutable once built: every operation returns a new one.

#include <Python.h>

#include <span>
#include <string_view>
#include <utility>
#include <variant>

#include "engine/cpu/numeric/backward/wanted.hpp"
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
    explicit CpuStorage(StridedArray<T>&& array) : array_(std::move(array)) {}
    // A storage whose array is built in place from StridedArray<T>'s constructor arguments.
    template <class T, class... Args>
    explicit CpuStorage(std::in_place_type_t<StridedArray<T>> type, Args&&... args)
        : array_(type, std::forward<Args>(args)...) {}

    CpuStorage(CpuStorage&&) noexcept = default;
    CpuStorage& operator=(CpuStorage&&) noexcept = default;
    CpuStorage clone() const {
        return std::visit([](const auto& array) { return CpuStorage(array.clone()); }, array_);
    }

    DType dtype() const { return DType(array_.index()); }
    const Variant& array() const { return array_; }
    // The array of a storage still being built, before anything else can see it.
    template <class T>
    StridedArray<T>& being_built() {
        return std::get<StridedArray<T>>(array_);
    }

    Shape shape() const {
        return std::visit([](const auto& array) { return array.shape; }, array_);
    }
    Strides strides() const {
        return std::visit([](const auto& array) { return array.strides; }, array_);
    }
    std::size_t rank() const {
        return std::visit([](const auto& array) { return array.rank(); }, array_);
    }

    using Result = runtime::Result<CpuStorage>;
    using Pair = runtime::Result<std::pair<CpuStorage, CpuStorage>>;

    // Element-wise arithmetic and comparison with broadcasting.
    Result add(const CpuStorage& other) const;
    Result sub(const CpuStorage& other) const;
    Result mul(const CpuStorage& other) const;
    Result div(const CpuStorage& other) const;
    Result eq(const CpuStorage& other) const;
    Result ge(const CpuStorage& other) const;
    Result gt(const CpuStorage& other) const;
    Result le(const CpuStorage& other) const;
    Result lt(const CpuStorage& other) const;

    // Every element with a float32 scalar, the storage on the left.
    Result scalar_add(float scalar) const;
    Result scalar_sub(float scalar) const;
    Result scalar_mul(float scalar) const;
    Result scalar_eq(float scalar) const;
    Result scalar_ge(float scalar) const;
    Result scalar_gt(float scalar) const;
    Result scalar_le(float scalar) const;
    Result scalar_lt(float scalar) const;

    Result logical_and(const CpuStorage& other) const;
    Result logical_or(const CpuStorage& other) const;
    Result logical_xor(const CpuStorage& other) const;

    Result matmul(const CpuStorage& other) const;
    Result relu() const;

    Result reshape(std::span<const std::size_t> new_shape) const;
    // An axis out of range is a broken invariant and throws.
    CpuStorage transpose(std::size_t dim0, std::size_t dim1) const;
    CpuStorage zeros_like() const;
    CpuStorage ones_like() const;

    // Gradients: the receiver is the saved left operand (or the relu input). `wanted` names the
    // gradients to compute; of the other one the products and matrix products make only the
    // checks, and hand back an empty storage in its place.
    Pair backward_mul(const CpuStorage& grad, const CpuStorage& rhs, numeric::backward::Wanted wanted = {}) const;
    Pair backward_div(const CpuStorage& grad, const CpuStorage& rhs) const;
    Pair backward_matmul(const CpuStorage& grad, const CpuStorage& rhs, numeric::backward::Wanted wanted = {}) const;
    Result backward_relu(const CpuStorage& grad) const;

    // Builds a storage from a NumPy array and one of the seven dtype spellings, copying the
    // elements row-major into a new buffer. The storage never shares memory with the array.
    static runtime::Result<CpuStorage> from_numpy(PyObject* array, std::string_view spelling);

  private:
    Variant array_;
};

}  // namespace engine::cpu::storage
