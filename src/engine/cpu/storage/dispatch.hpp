#pragma once
// Selecting the kernel instantiated for a storage's element type.

#include <type_traits>

#include "engine/cpu/storage/cpu_storage.hpp"
#include "runtime/text.hpp"

namespace engine::cpu::storage {

template <class Array>
using element_of = typename std::remove_cvref_t<Array>::value_type;

template <class T>
constexpr bool is_numeric = !std::is_same_v<T, bool>;

// The same alternative of another storage of the same element type.
template <class T>
const StridedArray<T>& same_type(const CpuStorage& storage) {
    return std::get<StridedArray<T>>(storage.array());
}

inline runtime::Error dtype_mismatch(const CpuStorage& a, const CpuStorage& b) {
    return runtime::Error::value(runtime::concat(
        "Tensor DType mismatch during binary execution. Cannot operate between ",
        tensor::storage::debug_name(a.dtype()), " and ", tensor::storage::debug_name(b.dtype()), "."));
}

inline runtime::Error bool_arithmetic() {
    return runtime::Error::type(
        "Arithmetic operations are not supported for Bool data types. Cast to a numeric type "
        "first.");
}

// A kernel's array as a storage, or its message as a RuntimeError. The storage is built in its
// place in the result: an array moved once.
template <class Array>
CpuStorage::Result storage_result(runtime::KernelResult<Array>&& result) {
    if (!result) return std::unexpected(runtime::Error::runtime(std::move(result.error())));
    return CpuStorage::Result(std::in_place, std::move(*result));
}

// A driver's result built straight into a storage's result (see OwnArray): no array is moved.
template <class Out>
struct StorageArray {
    using Result = CpuStorage::Result;
    template <class... Args>
    static Result make(Args&&... args) {
        return Result(std::in_place, std::in_place_type<StridedArray<Out>>,
                      std::forward<Args>(args)...);
    }
    static StridedArray<Out>& array(Result& result) { return result->template being_built<Out>(); }
    static Result fail(std::string&& message) {
        return std::unexpected(runtime::Error::runtime(std::move(message)));
    }
};

// A kernel's result as a storage's: built there already, or moved there.
template <class Kernel, class... Args>
CpuStorage::Result storage_of(Kernel&& kernel, const Args&... args) {
    if constexpr (std::is_same_v<decltype(kernel(args...)), CpuStorage::Result>) {
        return kernel(args...);
    } else {
        return storage_result(kernel(args...));
    }
}

// Two numeric storages of one element type: the arithmetic dispatch rule (mismatch first, then
// bool). kernel(a, b) returns KernelResult of an array, or the storage's result itself.
template <class Kernel>
CpuStorage::Result numeric_pair(const CpuStorage& a, const CpuStorage& b, Kernel kernel) {
    if (a.dtype() != b.dtype()) return std::unexpected(dtype_mismatch(a, b));
    return std::visit(
        [&](const auto& x) -> CpuStorage::Result {
            using T = element_of<decltype(x)>;
            if constexpr (is_numeric<T>) {
                return storage_of(kernel, x, same_type<T>(b));
            } else {
                return std::unexpected(bool_arithmetic());
            }
        },
        a.array());
}

}  // namespace engine::cpu::storage
